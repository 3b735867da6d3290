// CServiceHost: the one service object of the process.
//
// It owns what the running host needs: its own parsed copy of the
// configuration, the process-wide log with its file stream and formatter,
// the stream that hands log lines to the control plug-in, the control
// plug-in, and one CProtocolApp per configured protocol.
//
// serve() is the run sequence: set-up (read the configuration, load the
// control plug-in, create the protocols), wake-up passes until told to stop
// (in service mode when isRunning() turns false; in console mode when the
// stop key is pressed or a stop is requested), then the stop sequence.
//
// The host lock guards the protocol list and every start or stop of the
// protocols, and is the only lock under which the configuration tree is
// read. It is held during set-up, during each wake-up pass, during the stop
// sequence and during each control request. Control requests wait for it
// without blocking the stop sequence: a control plug-in whose stop() joins
// a thread that is waiting to make a request gets that request ignored (it
// returns 0 at once) instead of deadlocking. Between passes the run loop
// steps aside while requests are waiting, so they are served promptly.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <libconfig.h++>
#include <vector>

#include "OstraService/ControlLogStream.h"
#include "OstraService/ProtocolApp.h"
#include "common/log/CLog.h"
#include "common/log/CStdLogFormat.h"
#include "common/log/flogstream.h"
#include "platform/winapi.h"
#include "plugin/CControlPlugin.h"
#include "service/CService.h"

namespace ostra {
class ConsoleKeyboard;
}

class CServiceHost : public CService {
public:
    // In console mode, passes over the protocols are wakeUpWait x 100 ms
    // apart: a second unless the configuration says "wakeupwait". A value
    // below 1 counts as 1, so that the stop key is always watched.
    static constexpr int kDefaultWakeUpWait = 10;
    static constexpr int kStopKey = 'S';

    CServiceHost();
    ~CServiceHost() override;

    // The service body: "Service started", serve(false, 'S'), "Service stopped".
    void run() override;

    // The run sequence; returns once everything is stopped. `console`: end
    // on `stopKey` (compared upper-cased) or a stop request; otherwise end
    // when isRunning() turns false. Runs once per process.
    void serve(bool console, int stopKey);

    // With a path: attaches the log file at `path` (with the size and
    // rotation set before), the formatter and the service name. Always
    // returns the host's log.
    CLog* getLog(const char* path);

    void setLogMaxSize(int megabytes) { logMaxSize = megabytes; }
    void setLogRotate(int count) { logRotate = count; }
    int getLogMaxSize() const { return logMaxSize; }
    int getLogRotate() const { return logRotate; }

    // The control plug-in's EventProc; `context` is the host. Returns 0.
    static int controlEventProc(void* context, void* sender, int tag, Record* record);
    // One control request: STATUS is answered through `sender`, CONTROL
    // START/STOP starts (forced) or stops every protocol. Returns 0.
    int handleControlRecord(CControlPlugin* sender, int tag, Record* record);

private:
    bool setUp();
    void createProtocols(libconfig::Setting& list);
    void wakeProtocols();
    // Console mode: up to wakeUpWait x 100 one-millisecond ticks watching
    // the keyboard (at least 100). True when the run is to end: the stop
    // key, in either case, or a stop request.
    bool watchKeyboard(ostra::ConsoleKeyboard& keyboard, int stopKey);
    void stopSequence();
    std::function<void(const char*)> controlFault(const char* operation);

    std::vector<CProtocolApp*> protocols;
    libconfig::Config config;
    int wakeUpWait;
    CRITICAL_SECTION hostLock;
    CControlLogStream controlStream;
    CLog log;
    CStdLogFormat formatter;
    flogstream fileStream;
    int logMaxSize;
    int logRotate;

    CControlPlugin* control;
    std::string controlDll;
    std::atomic<bool> stopping;
    std::atomic<int> requestsWaiting;
};
