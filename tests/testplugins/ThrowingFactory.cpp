// A library whose factory throws.
#include <stdexcept>

#include "plugin/PluginExport.h"

OSTRA_PLUGIN_FACTORY { throw std::runtime_error("factory out of order"); }
