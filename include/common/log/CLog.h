// CLog: a named log that formats messages and hands them to its streams.
//
// A log holds a list of streams and a formatter, neither owned: the host
// owns them and shares them among many logs (its own, each protocol's and
// each plug-in's), which copy them from one another. A new log has no
// streams and no formatter, writes nothing and never fails, and its level
// is DEBUG (it writes everything).
//
// Threads: log() and setLevel() may be called from any thread at any time.
// The other setters change the log's configuration; they are safe against
// concurrent log() calls, which use either the old or the new settings and
// take no lock to read them. A log without streams costs a load and a
// compare per call: trace calls may stay in hot paths. After an ERROR line
// the log flushes its streams.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "common/log/CLogFormat.h"
#include "common/log/LogLevel.h"
#include "common/log/logstream.h"
#include "platform/Mutex.h"

// A filter a caller puts in front of every log for the lines one thread
// writes for a while (the host: the lines of a start attempt that repeats
// a failure). pass() is called with each line that the log's level lets
// through, with the log's call arguments, before it is formatted; false
// drops it. It must not log.
class LIBLOG_API LogLineFilter {
public:
    virtual bool pass(int level, const char* file, int line, const char* text) = 0;

protected:
    ~LogLineFilter() = default;
};

// Puts `filter` in front of every log on the calling thread for this
// object's life (scopes nest; the innermost filter alone is asked).
class LIBLOG_API ThreadLogFilter {
public:
    explicit ThreadLogFilter(LogLineFilter* filter);
    ~ThreadLogFilter();
    ThreadLogFilter(const ThreadLogFilter&) = delete;
    ThreadLogFilter& operator=(const ThreadLogFilter&) = delete;

private:
    LogLineFilter* outer_;
};

class LIBLOG_API CLog {
public:
    CLog();
    virtual ~CLog();
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    void setName(const char* name);
    // Keeps the pointer. Without a formatter a line is the text alone.
    void setFormatter(CLogFormat* formatter);
    // Appends `stream`, keeping the pointer. The stream need not be open.
    void addStream(logstream* stream);
    void setLevel(int level);

    // Formats the message and hands the line to every stream, unless the
    // log's level filters it out. `file` and `line` name the call site.
    void log(int level, const char* file, int line, const char* text);

    // What protocol applications copy from one log into another.
    std::string getName() const;
    CLogFormat* getFormatter() const;
    int getLevel() const { return level_.load(std::memory_order_relaxed); }
    std::vector<logstream*> getStreams() const;
    void removeAllStreams();
    // Makes this log carry `source`'s streams (the same objects, in the same
    // order), level, name and formatter.
    void copySettingsFrom(const CLog& source);

private:
    // What log() reads. A change makes a changed copy and publishes it; log()
    // reads the current copy without any lock. Copies are freed with the
    // log: a log changes a handful of times in its life (set-up, hand-over).
    struct Settings {
        std::string name;
        CLogFormat* formatter = nullptr;
        std::vector<logstream*> streams;
    };
    template <typename Change>
    void change(Change&& apply);
    const Settings& current() const { return *settings_.load(std::memory_order_acquire); }

    std::atomic<int> level_;
    std::atomic<const Settings*> settings_;
    ostra::Mutex changeLock_;  // one change at a time
    std::vector<std::unique_ptr<Settings>> versions_ OSTRA_GUARDED_BY(changeLock_);
};
