#include "common/log/LogLevel.h"

namespace {
// Rank by importance: smaller is more important.
int importance(int level) {
    switch (level) {
        case LOG_LEVEL_ERROR:
            return 0;
        case LOG_LEVEL_INFO:
            return 1;
        default:
            return 2;
    }
}
}  // namespace

bool logLevelPasses(int level, int threshold) { return importance(level) <= importance(threshold); }

const char* logLevelName(int level) {
    switch (level) {
        case LOG_LEVEL_INFO:
            return "INFO";
        case LOG_LEVEL_ERROR:
            return "ERROR";
        case LOG_LEVEL_DEBUG:
            return "DEBUG";
        default:
            return "LEVEL";
    }
}
