// Loading a plug-in library.
#pragma once

#include "platform/winapi.h"

namespace ostra {

// Loads `name`, never to be unloaded.
// Windows: never from the current folder (a service's is the system
// folder, a console user's may be anywhere). A name without a folder is
// looked for beside the executable, in the system's folders, then in
// PATH's folders; a relative name with a
// folder (plugins\x.dll) is taken from beside the executable. The
// libraries a plug-in needs are found beside it, beside the executable, in
// the system's folders and on PATH.
// Linux: a name without a '/' is looked for beside the executable, then by
// the dynamic loader's search; a name with one is used as given.
// Null on failure; describeLastError() then says why, in the operating
// system's words.
HMODULE loadLibrary(const char* name);

}  // namespace ostra
