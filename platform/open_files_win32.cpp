#include "platform/open_files.h"

namespace ostra {

long openFileLimit() { return -1; }

}  // namespace ostra
