// The one export of a plug-in library.
//
//   OSTRA_PLUGIN_FACTORY
//   {
//       return new MyDatabasePlugin;   // or nullptr when it cannot be made
//   }
//
// expands to the undecorated `CreateClassInstance(const char* dllName)`. The
// host calls it once for every plug-in object it needs, with the library
// name from the configuration; every call must return a new object, which
// the host owns and later deletes through the interface's virtual
// destructor. The library itself is never unloaded.
#pragma once

#ifdef _WIN32
#define OSTRA_PLUGIN_EXPORT extern "C" __declspec(dllexport)
#else
#define OSTRA_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#define OSTRA_PLUGIN_FACTORY OSTRA_PLUGIN_EXPORT void* CreateClassInstance(const char* dllName)

// The factory's type, as the host looks it up.
typedef void* (*PluginFactory)(const char* dllName);
