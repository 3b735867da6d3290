// CDatabasePlugin: the plug-in named by an element of a protocol's
// "databases" list.
//
// It answers the records its protocol plug-in raises (processRecord) and may
// raise records of its own, which the host hands to the protocol plug-in.
//
// Order of calls: factory, getLog, setType, setCallback, start; then
// processRecord and isRunning any number of times; then stop and the
// destructor. A plug-in whose start refused is destroyed at once, without
// stop.
//
// Threads and locks: as for CProtocolPlugin. Every operation but
// processRecord runs under the protocol's lock; processRecord runs without
// it, on the thread of the protocol plug-in that raised the record, possibly
// on several threads at once. While stop() runs, events the plug-in raises
// are answered 3 at once, so a stop() may join a thread that raises events.
//
// Configuration: start() receives the plug-in's own element of "databases",
// a reference into the host's configuration tree, which is not thread safe:
// read it inside start() and keep copies; never read it from other threads.
//
// Exceptions must not leave any operation.
#pragma once

#include "plugin/EventProc.h"

class CLog;
class Record;
namespace libconfig {
class Setting;
}
using libconfig::Setting;

// Type codes of the protocol a database plug-in serves.
enum ProtocolType {
    PROTOCOL_KEYCARD = 0,
    PROTOCOL_PBX = 1,
    PROTOCOL_INTERNET_PRISTUP = 2,
    PROTOCOL_PAYTV = 3,
};

class CDatabasePlugin {
public:
    virtual ~CDatabasePlugin() {}

    // Starts working with the databases element `entry`. 0: running; any
    // other value: refused (the plug-in is then destroyed without stop()).
    virtual int start(Setting& entry) = 0;

    // Stops all activity. After it returns the plug-in raises no event.
    virtual void stop() = 0;

    // The procedure and context through which the plug-in raises records.
    virtual void setCallback(EventProc proc, void* context) = 0;

    // The type code of the protocol served (ProtocolType), before start().
    virtual void setType(int typeCode) = 0;

    virtual bool isRunning() = 0;

    // Keeps the virtual slots after it in place; the host never calls it.
    virtual void reserved() {}

    // A record raised by the protocol plug-in. Return 0 or 1 as the answer;
    // 3 (or anything else) passes the record on to the next database
    // plug-in. `record` is valid for the call only; changes made to it are
    // seen by the next database plug-in and by the protocol plug-in.
    virtual int processRecord(int tag, Record* record) = 0;

    // The plug-in's own log, kept for its whole life. Before any other call
    // the host makes it write to the host's streams.
    virtual CLog* getLog() = 0;
};
