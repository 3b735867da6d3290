// Windows: the folder's existence and whether a file can be made in it.
// A Windows service has no sandbox beyond its account's rights.
#include "OstraService/ConfigCheck.h"
#include "platform/os_error.h"
#include "platform/winapi.h"

namespace config_check {

std::string folderRefusal(const std::string& folder) {
    DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return "does not exist";
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return "is not a folder";
    // Access rights are only told by trying: a file made and removed at once.
    char probe[MAX_PATH];
    if (GetTempFileNameA(folder.c_str(), "chk", 0, probe) == 0)
        return "cannot be written: " + ostra::describeLastError();
    DeleteFileA(probe);
    return "";
}

std::string sandboxRefusal(const std::string&, const std::string&) { return ""; }

bool serviceManagerMakes(const std::string&, const std::string&) { return false; }

}  // namespace config_check
