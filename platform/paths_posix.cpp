#include "platform/paths.h"

namespace ostra {

const char kPathSeparator = '/';
// Linux paths routinely pass Windows' 260 characters; use the kernel's limit.
extern const unsigned kModulePathCapacity = 4096;

}  // namespace ostra
