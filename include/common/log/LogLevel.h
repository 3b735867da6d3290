// Log levels. ERROR is the most important, then INFO, then DEBUG: a log set
// to a level writes messages of that level and of the more important ones.
#pragma once

#include "common/log/liblog_export.h"

enum LogLevel {
    LOG_LEVEL_INFO = 0,   // start, stop and success messages
    LOG_LEVEL_ERROR = 1,  // failures and configuration errors
    LOG_LEVEL_DEBUG = 2,  // trace lines
};

// Whether a log set to `threshold` writes a message of `level`. Levels
// other than the three above count as DEBUG on both sides.
LIBLOG_API bool logLevelPasses(int level, int threshold);

// "INFO", "ERROR", "DEBUG"; "LEVEL" for anything else.
LIBLOG_API const char* logLevelName(int level);
