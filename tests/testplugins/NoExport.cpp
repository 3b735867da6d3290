// A library that loads but has no CreateClassInstance.
#include "plugin/PluginExport.h"

OSTRA_PLUGIN_EXPORT int SomethingElse() { return 42; }
