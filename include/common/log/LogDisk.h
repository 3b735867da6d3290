// LogDisk: what the log file stream asks of the disk, and nothing more.
//
// flogstream works through this interface so that tests can put a wrapper
// in between that makes chosen calls fail (a rename refused because another
// process holds the file, a write that fails half way, a reopen that
// fails), the way the disk would. Everything else uses realLogDisk().
//
// One LogDisk serves one stream: it holds that stream's one open file. The
// stream calls it under its own lock, one call at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "common/log/liblog_export.h"

namespace ostra {

class LIBLOG_API LogDisk {
public:
    virtual ~LogDisk();

    // Opens `path` for appending (creating it), closing the file open before.
    // False when it cannot; the disk then holds no open file.
    virtual bool open(const std::string& path) = 0;
    virtual bool isOpen() const = 0;
    // Size in bytes of the open file, or -1.
    virtual long long size() const = 0;
    // Writes all of `data` to the open file, or returns false (some of it
    // may have been written).
    virtual bool write(const char* data, size_t length) = 0;
    virtual void close() = 0;

    // Renames `from` to `to`, replacing `to` if it exists.
    virtual bool rename(const std::string& from, const std::string& to) = 0;
    virtual bool remove(const std::string& path) = 0;
    virtual bool exists(const std::string& path) = 0;
};

// The operating system's files: appended to, never inherited by child
// processes, shared for rename and delete on Windows (platform/logfile.h).
LIBLOG_API std::unique_ptr<LogDisk> realLogDisk();

}  // namespace ostra
