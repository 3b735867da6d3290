#include "platform/library.h"

namespace ostra {

// The stand-in LoadLibraryA already searches beside the executable first,
// then the dynamic loader's paths, which never include the current folder.
HMODULE loadLibrary(const char* name) { return LoadLibraryA(name); }

}  // namespace ostra
