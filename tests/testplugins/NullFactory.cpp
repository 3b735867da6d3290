// A library whose factory never makes an object.
#include "plugin/PluginExport.h"

OSTRA_PLUGIN_FACTORY { return nullptr; }
