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
// The caller owns the object and deletes it through the interface of the
// kind it asked for. The library is never unloaded; loading the same name
// again maps it once and makes a new object. Keeps no state and writes no
// message; safe to call from any thread.
void* loadPlugin(const char* dllName);

// Why the calling thread's last loadPlugin returned null: the operating
// system's reason (a missing library or one of its dependencies), the
// missing export, the factory's null or its exception. Empty after success.
std::string lastPluginLoadFailure();
