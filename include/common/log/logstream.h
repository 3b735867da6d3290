// logstream: where a CLog delivers its finished lines.
//
// A CLog calls write() with one line (without line end) per message, and
// flush() after an ERROR line. Streams are shared by many logs, called from
// many threads: CLog serialises the write() calls to each stream (holding
// writeLock()), so an implementation sees one write() at a time and needs
// no lock of its own for it. flush() is called without that lock; a stream
// that holds lines back guards them with a lock of its own. A write() may itself
// log; those lines reach the log's other streams, never the stream that is
// writing on that thread (so nothing recurses without end).
//
// Streams are not owned by the logs that carry them: whoever adds a stream
// keeps it alive as long as any log carries it. The destructor is not
// virtual; streams are never deleted through this class.
#pragma once

#include <mutex>
#include <string>

#include "common/log/liblog_export.h"

class LIBLOG_API logstream {
public:
    logstream();
    logstream(const logstream&) = delete;
    logstream& operator=(const logstream&) = delete;

    // Pushes out whatever the stream holds back. Default: nothing.
    // Called without the write lock.
    virtual void flush();
    // Delivers one line. False when it could not be delivered.
    virtual bool write(std::string line) = 0;

    // Inside write(): the level of the line being delivered (LOG_LEVEL_*),
    // for a stream that treats levels differently. -1 elsewhere.
    static int lineLevel();

protected:
    ~logstream();

    // A stream that guards its own state against concurrent write() calls
    // says so here (in its constructor); CLog then leaves writeLock() alone
    // for it, which spares every line a second lock.
    void serialisesItself() { serialisesItself_ = true; }

    // Held by CLog around each write(); derived streams take it in their
    // own operations that change what write() uses. (A plain std::mutex,
    // not annotated: what it guards is the derived stream's, and streams
    // outside this tree take it by this type.)
    std::mutex& writeLock() { return writeLock_; }

private:
    friend class CLog;
    std::mutex writeLock_;
    bool serialisesItself_ = false;
};
