// The exports of a plug-in library.
//
//   OSTRA_PLUGIN_KIND(database)        // or protocol, or control
//   OSTRA_PLUGIN_FACTORY
//   {
//       return new MyDatabasePlugin;   // or nullptr when it cannot be made
//   }
//
// OSTRA_PLUGIN_FACTORY expands to the undecorated
// `CreateClassInstance(const char* dllName)`. The host calls it once for
// every plug-in object it needs, with the library name from the
// configuration; every call must return a new object, which the host owns
// and later deletes through the interface's virtual destructor. The library
// itself is never unloaded.
//
// OSTRA_PLUGIN_KIND is optional but recommended: it exports
// `OstraPluginKind`, which names the interface the factory's objects
// implement. The host then refuses the library, with a line saying why,
// when the configuration names it where another kind belongs (a database
// library as a protocol, say), instead of calling it through the wrong
// interface. A library without it is judged by the run-time type
// information of the object its factory makes, and refused the same way;
// only an object built without type information (-fno-rtti) is trusted.
#pragma once

#ifdef _WIN32
#define OSTRA_PLUGIN_EXPORT extern "C" __declspec(dllexport)
#else
#define OSTRA_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#define OSTRA_PLUGIN_FACTORY OSTRA_PLUGIN_EXPORT void* CreateClassInstance(const char* dllName)

// The kinds, as OstraPluginKind names them.
#define OSTRA_PLUGIN_KIND_control "control"
#define OSTRA_PLUGIN_KIND_protocol "protocol"
#define OSTRA_PLUGIN_KIND_database "database"

// `kind` is one of control, protocol, database (anything else does not compile).
#define OSTRA_PLUGIN_KIND(kind) \
    OSTRA_PLUGIN_EXPORT const char* OstraPluginKind() { return OSTRA_PLUGIN_KIND_##kind; }

// The exports' types, as the host looks them up.
typedef void* (*PluginFactory)(const char* dllName);
typedef const char* (*PluginKindExport)();
