#include "platform/paths.h"

namespace ostra {

const char kPathSeparator = '\\';
// The module file name is read into 256 characters, at most 255 filled.
extern const unsigned kModulePathCapacity = 256;

}  // namespace ostra
