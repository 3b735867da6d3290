#include <cstring>

#include "SystemError.h"

namespace ostra_kit {

std::string systemErrorText(int code) { return code == 0 ? "" : std::strerror(code); }

}  // namespace ostra_kit
