#include "HostName.h"

#include <unistd.h>

namespace bundled_support {

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

}  // namespace bundled_support
