#include "OstraService/JournalStream.h"

#include <cstdio>

#include "common/log/LogLevel.h"
#include "platform/console_output.h"

bool JournalStream::wanted() { return ostra::goesToJournal(stderr); }

bool JournalStream::write(std::string line) {
    int level = lineLevel();
    if (level != LOG_LEVEL_ERROR && level != LOG_LEVEL_INFO) return true;
    line.insert(0, level == LOG_LEVEL_ERROR ? "<3>" : "<6>");
    line += '\n';
    // One write a line: the journal reads a line's priority from its start.
    bool written = std::fwrite(line.data(), 1, line.size(), stderr) == line.size();
    return std::fflush(stderr) == 0 && written;
}
