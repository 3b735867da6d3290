// Text for the operator at a console.
#pragma once

#include <cstdio>
#include <string>

namespace ostra {

// Writes `text`, message bytes (Windows-1250 on Windows), to `stream`
// (stdout or stderr) and flushes it. On a Windows console it is converted
// so that the console shows the right letters whatever its code page (852
// on a Croatian one); to a file or a pipe, and on Linux, the bytes go out
// unchanged.
void writeText(std::FILE* stream, const std::string& text);

// Whether `stream` (stdout or stderr) is a terminal or a console that an
// operator watches, rather than a file, a pipe or the journal.
bool isInteractive(std::FILE* stream);

// Whether `stream` (stdout or stderr) is connected to the systemd journal.
// systemd names the stream it connected in JOURNAL_STREAM ("<device>:<inode>");
// a child of the service inherits the variable while its own stream may be
// a pipe or a file, so the numbers must be those of `stream`. Never on
// Windows.
bool goesToJournal(std::FILE* stream);

}  // namespace ostra
