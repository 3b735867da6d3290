// Loading a plug-in library.
#pragma once

#include <string>

// Loads the library `dllName` exactly as the configuration names it (no
// directory or extension is added; a bare name is looked for beside the
// executable, then in the system folders, never in the current folder),
// finds its export CreateClassInstance and returns what that factory
// returns for `dllName`. Null when the library cannot be loaded, lacks the
// export, or the factory returns null or throws.
//
// With `kind` ("control", "protocol" or "database"), a library that says
// through its optional export OstraPluginKind that it makes another kind is
// refused before its factory is called. For a library that says nothing,
// the object its factory made is checked by its run-time type information
// (PluginType.h): one of another plug-in kind is destroyed through its own
// interface's virtual destructor (so by its library's own code) and refused
// the same way; one of no plug-in kind cannot be destroyed safely and is
// left alone; one built without type information is taken to be of the
// kind asked for. A library refused this way is remembered: later loads of
// it for that kind are refused with the same reason without calling its
// factory. The pointer returned is the object's interface of that kind.
//
// The caller owns the object and deletes it through the interface of the
// kind it asked for. The library is never unloaded; loading the same name
// again maps it once and makes a new object. Writes no message; safe to
// call from any thread.
void* loadPlugin(const char* dllName, const char* kind = nullptr);

// Why the calling thread's last loadPlugin returned null.
enum class PluginLoadError {
    kNone,          // it did not fail
    kNoName,        // no library name
    kNotLoaded,     // the system would not load the library (missing, a dependency, ...)
    kNoFactory,     // no export CreateClassInstance
    kWrongKind,     // OstraPluginKind names another kind
    kFactoryThrew,  // the factory threw
    kNoObject,      // the factory returned null
};
PluginLoadError lastPluginLoadError();

// The same in words: the operating system's reason for kNotLoaded, the
// exception's text for kFactoryThrew, and so on. Empty after success.
std::string lastPluginLoadFailure();

struct OstraExtension;

// The extension (PluginExtension.h) of the library `dllName`, loaded as
// loadPlugin loads it; null when the library cannot be loaded or does not
// export OstraPluginExtension, or says a version of 0. The table lives as
// long as the process (libraries are never unloaded). Read only the fields
// its `version` has. Makes no object; safe to call from any thread.
const OstraExtension* pluginExtension(const char* dllName);
