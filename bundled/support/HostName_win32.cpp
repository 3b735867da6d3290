#include "HostName.h"

#include <windows.h>

namespace bundled_support {

std::string hostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    if (!GetComputerNameA(name, &size)) return "";
    return std::string(name, size);
}

}  // namespace bundled_support
