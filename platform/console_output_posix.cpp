#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdlib>

#include "platform/console_output.h"

namespace ostra {

void writeText(std::FILE* stream, const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

bool isInteractive(std::FILE* stream) { return isatty(fileno(stream)) == 1; }

bool goesToJournal(std::FILE* stream) {
    const char* named = std::getenv("JOURNAL_STREAM");
    uintmax_t device = 0, inode = 0;
    if (named == nullptr || std::sscanf(named, "%" SCNuMAX ":%" SCNuMAX, &device, &inode) != 2)
        return false;
    struct stat info;
    return fstat(fileno(stream), &info) == 0 && static_cast<uintmax_t>(info.st_dev) == device &&
           static_cast<uintmax_t>(info.st_ino) == inode;
}

}  // namespace ostra
