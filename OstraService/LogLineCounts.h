// Counts the lines the log file took and the lines it lost, at the disk:
// the file stream writes whole blocks of lines, so counting their line
// ends costs nothing per line logged.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "common/log/LogDisk.h"

struct LogLineCounts {
    std::atomic<std::uint64_t> written{0};  // in blocks the disk took
    std::atomic<std::uint64_t> lost{0};     // in blocks a failed write lost
};

// A LogDisk that passes every call to `disk` and counts into `counts`
// (which must outlive it).
std::unique_ptr<ostra::LogDisk> countingLogDisk(std::unique_ptr<ostra::LogDisk> disk,
                                                LogLineCounts& counts);
