#include "OstraService/JournalStream.h"

#include <cstdio>
#include <cstdlib>

#include "common/log/LogLevel.h"

bool JournalStream::wanted() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    return stream != nullptr && *stream != '\0';
}

bool JournalStream::write(std::string line) {
    int level = lineLevel();
    if (level != LOG_LEVEL_ERROR && level != LOG_LEVEL_INFO) return true;
    line.insert(0, level == LOG_LEVEL_ERROR ? "<3>" : "<6>");
    line += '\n';
    // One write a line: the journal reads a line's priority from its start.
    bool written = std::fwrite(line.data(), 1, line.size(), stderr) == line.size();
    return std::fflush(stderr) == 0 && written;
}
