// flogstream: the log file.
//
// Lines are appended to the file, each followed by the platform's line end.
// They are gathered in memory and written out in blocks: when 64 KiB have
// gathered, when the log writes an ERROR line (CLog flushes its streams
// then, so the ERROR line is on disk when log() returns), and otherwise at
// the latest 50 ms after a line was written, by a thread of the stream's
// own. A crash loses at most the last 50 ms of lines below ERROR, and a
// busy log costs one write to the file per block instead of one per line.
//
// When the next line would take the file past its maximum size, the file
// rotates: name.log becomes name.log.1, name.log.1 becomes name.log.2 and so
// on, up to the configured number of old files; the oldest is dropped. With
// no old files kept the file simply starts again. A maximum of 0 or less
// means no limit. A rename that fails (another process holds the file)
// ends the rotation for now; it is tried again with the first line written
// a second or more later, and meanwhile the file grows. Nothing is ever
// renamed onto a file that still exists, so no line is lost.
//
// A file that cannot be opened or written makes write() return false and
// costs nothing else: the log never stops the program. A file deleted (or
// whose folder is removed) while open is noticed when lines are written
// out, and started again at its path. When a write to the file fails, the
// block it was writing is lost and the file is closed; it is opened again
// at most once a second, so the log resumes by itself when the disk or
// folder comes back. Lines written while it is closed make write() return
// false but are kept, up to one block (64 KiB), and written when it opens
// again; only lines beyond that block are lost.
//
// The disk is reached through ostra::LogDisk (LogDisk.h), so that tests can
// make its calls fail.
//
// Threads: every operation is thread safe and may be called while logs are
// writing; the stream's state has a lock of its own, shared with its thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "common/log/logstream.h"

#include "common/log/LogDisk.h"
#include "platform/thread_annotations.h"

class LIBLOG_API flogstream : public logstream {
public:
    flogstream();
    // Reaches the disk through `disk` (tests); the default is realLogDisk().
    explicit flogstream(std::unique_ptr<ostra::LogDisk> disk);
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
    // Writes out what has gathered and closes the file.
    void close();
    // Writes out what has gathered, closes the file and opens its path again:
    // after logrotate moved the file away, lines go to a new file at the path.
    // False when no path was opened before or the file does not open now (it
    // is then tried again as after a failed write).
    bool reopen();
    bool isOpen();

    // Writes out what has gathered, now.
    void flush() override;
    bool write(std::string line) override;

private:
    // Held for a copy of one line at a time: waiters spin briefly before
    // they sleep, which spares a busy log most sleep-and-wake round trips.
    // A capability for Clang's analysis, like ostra::Mutex.
    class OSTRA_CAPABILITY("mutex") SpinningMutex {
    public:
        void lock() OSTRA_ACQUIRE() {
            for (int spin = 0; spin < 200; ++spin) {
                if (mutex_.try_lock()) return;
                std::this_thread::yield();
            }
            mutex_.lock();
        }
        bool try_lock() OSTRA_TRY_ACQUIRE(true) { return mutex_.try_lock(); }
        void unlock() OSTRA_RELEASE() { mutex_.unlock(); }

    private:
        std::mutex mutex_;
    };
    // Holds stateLock_ for a scope; the flusher waits under it.
    class OSTRA_SCOPED_CAPABILITY StateLock {
    public:
        explicit StateLock(SpinningMutex& mutex) OSTRA_ACQUIRE(mutex) : lock_(mutex) {}
        ~StateLock() OSTRA_RELEASE() {}
        StateLock(const StateLock&) = delete;
        StateLock& operator=(const StateLock&) = delete;
        void wait(std::condition_variable_any& condition) { condition.wait(lock_); }
        template <class Rep, class Period>
        void waitFor(std::condition_variable_any& condition,
                     const std::chrono::duration<Rep, Period>& limit) {
            condition.wait_for(lock_, limit);
        }

    private:
        std::unique_lock<SpinningMutex> lock_;
    };

    // All with stateLock_ held.
    void gather(const std::string& line) OSTRA_REQUIRES(stateLock_);
    bool reopenIfDue() OSTRA_REQUIRES(stateLock_);
    void rotate() OSTRA_REQUIRES(stateLock_);
    void drain() OSTRA_REQUIRES(stateLock_);
    void runFlusher();

    SpinningMutex stateLock_;
    const std::unique_ptr<ostra::LogDisk> disk_ OSTRA_PT_GUARDED_BY(stateLock_);
    std::string path_ OSTRA_GUARDED_BY(stateLock_);
    std::string pending_ OSTRA_GUARDED_BY(stateLock_);
    long long maxBytes_ OSTRA_GUARDED_BY(stateLock_);
    int rotateCount_ OSTRA_GUARDED_BY(stateLock_);
    long long size_ OSTRA_GUARDED_BY(stateLock_);  // of the file, lines gathered included
    std::chrono::steady_clock::time_point nextOpenAttempt_ OSTRA_GUARDED_BY(stateLock_);
    std::chrono::steady_clock::time_point nextRotateAttempt_ OSTRA_GUARDED_BY(stateLock_);

    std::thread flusher_;  // started under stateLock_, joined by the destructor
    std::condition_variable_any flusherWake_;
    bool flushScheduled_ OSTRA_GUARDED_BY(stateLock_);
    bool closing_ OSTRA_GUARDED_BY(stateLock_);
    // A write failed part way; the next block starts a line.
    bool tornLine_ OSTRA_GUARDED_BY(stateLock_);
};
