// flogstream: the log file.
//
// Lines are appended to the file, each followed by the platform's line end.
// When the next line would take the file past its maximum size, the file
// rotates: name.log becomes name.log.1, name.log.1 becomes name.log.2 and so
// on, up to the configured number of old files; the oldest is dropped. With
// no old files kept the file simply starts again. A maximum of 0 or less
// means no limit.
//
// A file that cannot be opened or written makes write() return false and
// costs nothing else: the log never stops the program. While the file is
// not open, write() tries to open it again at most once a second, so the log
// resumes by itself when the disk or folder comes back.
//
// Threads: CLog serialises write(); the other operations take the same
// lock, so they may be called while logs are writing.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "common/log/logstream.h"

namespace ostra {
class LogFile;
}

class LIBLOG_API flogstream : public logstream {
public:
    flogstream();
    ~flogstream();  // not virtual: never deleted through logstream

    // Maximum file size in megabytes (1 MB = 1,048,576 bytes); set before
    // open(). 0 or less: no limit.
    void setMaxSizeM(long megabytes);
    // The same in bytes, for callers that need finer sizes.
    void setMaxSizeBytes(long long bytes);
    // How many old files rotation keeps (name.1 .. name.N). Default 7.
    void setRotate(int count);

    // Opens `path` for appending, closing any file opened before. The stream
    // remembers the path even when opening fails. False on failure.
    bool open(const char* path);
    void close();
    bool isOpen();

    void flush() override;
    bool write(std::string line) override;

private:
    bool reopenIfDue();
    void rotate();

    std::unique_ptr<ostra::LogFile> file_;
    std::string path_;
    long long maxBytes_;
    int rotateCount_;
    long long size_;
    std::chrono::steady_clock::time_point nextOpenAttempt_;
    std::chrono::steady_clock::time_point nextRotateAttempt_;
};
