// The guide's minimal plug-in reads no keys of its own: its table says so,
// and `check` reports any key in its element beside "dll".
#include "plugin/PluginExtension.h"

namespace {
const OstraSetting kSettings[] = {OSTRA_SETTINGS_END};
}

OSTRA_PLUGIN_EXTENSION(kSettings, nullptr, nullptr)
