// A plug-in library that needs another library which is not shipped beside
// it: it cannot be loaded at all.
#include "plugin/PluginExport.h"

int dependencyFunction();

OSTRA_PLUGIN_FACTORY { return dependencyFunction() ? nullptr : nullptr; }
