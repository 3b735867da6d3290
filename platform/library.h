// Loading a plug-in library.
#pragma once

#include "platform/winapi.h"

namespace ostra {

// Loads `name`, never to be unloaded. A name without a directory is looked
// for beside the executable, then in the system's own folders; never in the
// current folder (a service's is the system folder, a console user's may be
// anywhere). A name with a directory is used as given, and the libraries it
// needs are looked for beside it. Null on failure; describeLastError() then
// says why, in the operating system's words.
HMODULE loadLibrary(const char* name);

}  // namespace ostra
