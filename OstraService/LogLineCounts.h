// Counts the lines the log file took and the lines it lost, at the disk:
// the file stream writes whole blocks of lines, so counting their line
// ends costs nothing per line logged.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/log/LogDisk.h"

struct LogLineCounts {
    std::atomic<std::uint64_t> written{0};  // in blocks the disk took
    std::atomic<std::uint64_t> lost{0};     // in blocks a failed write lost
    std::atomic<bool> losing{false};        // the last write failed
};

// Told once when the file starts losing lines (`losing`, after a write
// that went through or none) and once when it takes them again. Called
// from inside the log's write, under its lock: it must not log.
using LogLossNotice = void (*)(bool losing, const std::string& path, std::uint64_t lost);

// A LogDisk that passes every call to `disk` and counts into `counts`
// (which must outlive it).
std::unique_ptr<ostra::LogDisk> countingLogDisk(std::unique_ptr<ostra::LogDisk> disk,
                                                LogLineCounts& counts,
                                                LogLossNotice notice = nullptr);

// The notice the host gives: one line on standard error (the journal, at
// error priority, under systemd) and, on Windows, an Application event.
void noticeLogLoss(bool losing, const std::string& path, std::uint64_t lost);
