// Loading a plug-in library.
#pragma once

// Loads the library `dllName` exactly as the configuration names it (no
// directory or extension is added; a bare name is looked for beside the
// executable first), finds its export CreateClassInstance and returns what
// that factory returns for `dllName`. Null when the library cannot be
// loaded, lacks the export, or the factory returns null.
//
// The caller owns the object and deletes it through the interface of the
// kind it asked for. The library is never unloaded; loading the same name
// again maps it once and makes a new object. Keeps no state and writes no
// message; safe to call from any thread.
void* loadPlugin(const char* dllName);
