// The file underneath the log: append-only, closed on exec (never inherited
// by child processes) and, on Windows, shared so that other processes may
// read, rename or delete it while the service holds it open.
#pragma once

#include <cstddef>
#include <string>

namespace ostra {

// Line end of log files: "\r\n" on Windows, "\n" elsewhere.
extern const char* const kLogLineEnd;

class LogFile {
public:
    LogFile() = default;
    ~LogFile() { close(); }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Opens (creating it if needed) for appending. False when it cannot.
    bool open(const std::string& path);
    bool isOpen() const { return handle_ != kClosed; }
    // Current size of the open file in bytes, or -1.
    long long size() const;
    // Writes all of `data` or returns false.
    bool write(const char* data, size_t length);
    void close();

    // Renames `from` to `to`, replacing `to` if it exists.
    static bool renameFile(const std::string& from, const std::string& to);
    static bool removeFile(const std::string& path);
    static bool exists(const std::string& path);

private:
    static constexpr long long kClosed = -1;
    long long handle_ = kClosed;  // a file descriptor or a HANDLE
};

}  // namespace ostra
