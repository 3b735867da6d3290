#include "common/log/logstream.h"

logstream::logstream() = default;
logstream::~logstream() = default;

void logstream::flush() {}

namespace liblog_detail {
thread_local int levelOfLineBeingWritten = -1;
}

int logstream::lineLevel() { return liblog_detail::levelOfLineBeingWritten; }
