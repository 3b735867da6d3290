// CControlLogStream: hands every log line to the control plug-in.
//
// The host adds it to its log once a control plug-in is loaded; since every
// protocol and plug-in log carries the host log's streams, lines from every
// thread of the process come through here. Each line goes to the plug-in's
// processLog as a record with "CMD" "CMD_LOG" and "LOG_LINE" holding the
// line between double quotes. Without a plug-in attached, lines are dropped.
//
// Threads: the lock is held from reading the plug-in pointer until
// processLog returns, so setPlugin(nullptr) waits for a line in delivery and
// no line reaches a plug-in after it was detached (the host detaches before
// it stops and deletes the plug-in). Hence nothing done inside processLog
// may wait for the host lock: the host may hold it while it waits here. The
// host sees to that for control requests: one raised while a line is being
// delivered on the same thread (deliveringOnThisThread()) is deferred to
// the run loop (DeferredRequests.h). A line the plug-in logs from inside
// processLog is not handed back to it (the log skips a stream that is
// writing on the same thread).
#pragma once

#include <string>

#include "common/log/CLog.h"
#include "common/log/logstream.h"
#include "platform/winapi.h"
#include "plugin/CControlPlugin.h"

class CControlLogStream : public logstream {
public:
    CControlLogStream();
    ~CControlLogStream();

    // Attaches `plugin` (not owned), or detaches with null. A processLog
    // that throws loses its line and is reported in `faultLog` (its other
    // streams: this one skips lines logged while it writes), naming `dll`.
    void setPlugin(CControlPlugin* plugin, CLog* faultLog = nullptr, const std::string& dll = "");

    void flush() override;
    // Forwards the line; always true.
    bool write(std::string line) override;

    // True on a thread that is inside the plug-in's processLog.
    static bool deliveringOnThisThread();

private:
    CControlPlugin* plugin OSTRA_GUARDED_BY(lock);
    CRITICAL_SECTION lock;
    CLog* faultLog OSTRA_GUARDED_BY(lock);
    std::string dll OSTRA_GUARDED_BY(lock);
    const char quoteChar;
};
