// The keys of webcontrol's control group, as the plug-in reads them and as
// it shows them to the host (WebControlExtension.cpp).
#pragma once

#include "plugin/PluginExtension.h"

namespace webcontrol {
extern const OstraSetting kSettings[];
}
