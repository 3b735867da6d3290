#include "common/log/logstream.h"

logstream::logstream() = default;
logstream::~logstream() = default;

void logstream::flush() {}
