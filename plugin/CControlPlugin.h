// CControlPlugin: the host's remote control, named by the "control" group's
// "dll".
//
// Requests go to the host through the EventProc given by setCallback, as a
// record whose "CMD" is "STATUS" or "CONTROL" (with "TYPE" "START" or
// "STOP"). A STATUS request is answered synchronously, before the EventProc
// returns, through this object's processRecord with the request's tag: a
// copy of the request whose "CMD" is "ANSWER" and whose "ANSWER" is
// "STARTED" or "STOPPED". Every log line of the process arrives through
// processLog as a record with "CMD" "CMD_LOG" and "LOG_LINE" holding the
// line in double quotes.
//
// Order of calls: factory, setCallback, start; then processRecord (answers)
// and processLog (log lines); then stop and the destructor.
//
// Threads and locks: setCallback, start, stop, the destructor and
// processRecord run under the host's lock. processLog runs on whatever
// thread writes a log line, one call at a time, while the host holds the
// stream's lock: it must return quickly and must never wait for the host
// (never raise a request from inside processLog, never wait for a thread
// that does). Queue the line and return. Lines the plug-in logs from inside
// processLog do not come back to it.
//
// Configuration: start() receives the "control" group, a reference into the
// host's configuration tree, which is not thread safe: read it inside
// start() and keep copies.
//
// Exceptions must not leave any operation.
#pragma once

#include "plugin/EventProc.h"

class Record;
namespace libconfig {
class Setting;
}
using libconfig::Setting;

class CControlPlugin {
public:
    virtual ~CControlPlugin() {}

    // The answer to a STATUS request, with the request's tag. The result is
    // not examined.
    virtual int processRecord(int tag, Record* record) = 0;

    // One log line. The result is not examined.
    virtual int processLog(Record* record) = 0;

    // The procedure and context through which the plug-in raises requests.
    virtual void setCallback(EventProc proc, void* context) = 0;

    // Starts with the "control" group. The result is not examined.
    virtual int start(Setting& group) = 0;

    // Stops all activity: no request is raised after it returns.
    virtual void stop() = 0;
};
