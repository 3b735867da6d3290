// CProtocolPlugin: the plug-in named by a "protocols" entry's "dll".
//
// It talks to the outside world (a PBX, a card reader, a socket) and raises
// the records it receives through its EventProc; the host offers each one
// to the protocol's database plug-ins in configuration order until one
// answers 0 or 1, and returns that answer (3 when nobody did).
//
// Order of calls: factory, getLog, setCallback, start; then processRecord
// and isRunning any number of times; then stop and the destructor. A
// plug-in whose start refused stays in place and still gets isRunning,
// stop and the destructor.
//
// Threads and locks: the host calls every operation except processRecord
// while it holds the lock of the protocol that owns the plug-in, on the
// host's thread or the control plug-in's. An event raised by the plug-in's
// own thread meanwhile waits inside the EventProc until that call returns,
// with one exception that keeps the usual pattern safe: while stop() runs,
// events raised by the plug-in are answered 3 at once instead of waiting,
// so a stop() that signals its worker thread and joins it cannot deadlock.
// (A record that a database has already answered 0 or 1 keeps that answer,
// even when the stop began while the database worked: it was taken.)
// An event raised synchronously from inside start() goes through at once
// and finds no database plug-ins yet (answer 3). processRecord is called
// without any host lock, possibly on several threads at once.
//
// Configuration: start() receives the plug-in's own group, a reference into
// the host's configuration tree. The configuration library is not thread
// safe, not even for reading: read the group inside start() (on the host's
// thread, under the host's lock) and keep copies of what you need; never
// read it from your own threads.
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

class CProtocolPlugin {
public:
    virtual ~CProtocolPlugin() {}

    // Stops all activity. After it returns the plug-in raises no event.
    virtual void stop() = 0;

    // Starts working with the protocols entry `entry`. 0: running; any other
    // value: refused.
    virtual int start(Setting& entry) = 0;

    // The procedure and context through which the plug-in raises records.
    virtual void setCallback(EventProc proc, void* context) = 0;

    // Keeps the virtual slots after it in place; the host never calls it.
    virtual void reserved() {}

    // A record raised by one of the protocol's database plug-ins. Return 0 or
    // 1 as the answer, 3 when the record is not supported (anything else
    // counts as 1). `record` is valid for the call only.
    virtual int processRecord(int tag, Record* record) = 0;

    // The plug-in's own log, kept for its whole life. Before any other call
    // the host makes it write to the host's streams with the host's level,
    // name and formatter.
    virtual CLog* getLog() = 0;

    virtual bool isRunning() = 0;
};
