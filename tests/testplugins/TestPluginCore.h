// What the three scriptable test plug-ins share: the journal, the
// behaviour read from the plug-in's configuration group, the callback, the
// plug-in's own log, and a worker thread that raises events.
//
// Keys of the plug-in's group (all optional):
//   id               label in the journal and the registry (default "#serial")
//   startResult      what start() returns (default 0)
//   refuseWhile      a file's path: start() returns 1 while it exists (a
//                    port held by another program, say, until it is freed)
//   running          what isRunning() answers after a start (default true)
//   answer           what processRecord() returns (default 0)
//   eventTag         tag of the events the plug-in raises (default 0)
//   raiseOnStart     events raised synchronously inside start() (default 0)
//   request          "CMD" of those events, for a control plug-in
//   workerEvents     events raised from the plug-in's own thread after a
//                    successful start; -1 raises until stop() (default 0)
//   workerIntervalMs pause between two worker events (default 0)
//   logOnStart       text logged through the plug-in's log inside start()
//   logOnRecord      text logged through it inside processRecord()
//   quietEvents      true: worker event results are counted, not journaled
//   processDelayMs   how long processRecord() takes (default 0)
//   quietLogs        control plug-in: log lines are counted, not journaled
//   journal          false: calls after start() are not journaled (benchmarks)
//   trail            false: processRecord() leaves the record alone
//   throwIn          operations that throw std::runtime_error, e.g.
//                    "start,processRecord" (start, stop, processRecord,
//                    isRunning, processLog)
//   readMissingKey   true: start() reads a key that is not there, and the
//                    configuration library's exception leaves start()
//   stopDelayMs      how long stop() takes once started (default 0)
//   logRequests      control plug-in: each log line it receives raises the
//                    next of these requests from inside processLog, e.g.
//                    "STATUS,CONTROL:STOP,CONTROL:START" (cycling)
//   requestOnAnswer  control plug-in: true raises the next of those from
//                    inside processRecord as well
// stop() signals the worker and joins it: the pattern most plug-ins use.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TestJournal.h"
#include "common/log/CLog.h"
#include "plugin/EventProc.h"

namespace libconfig {
class Setting;
}

class TestPluginCore : public TestPluginHandle {
public:
    // `kind` names the plug-in kind in the journal; `sender` is the plug-in
    // object as the host knows it, passed as sender with every event.
    TestPluginCore(const char* kind, void* sender);
    ~TestPluginCore();

    void note(const std::string& call, const std::string& detail = std::string());

    void setCallback(EventProc proc, void* context);
    // Reads the behaviour keys; raises the start events; starts the worker
    // when the start is accepted. Returns the configured start result.
    int start(libconfig::Setting& group);
    // Signals the worker and joins it.
    void stop();

    // Journals the record, appends this plug-in's label to its "TRAIL" key,
    // logs logOnRecord, and returns the configured answer.
    int processRecord(int tag, Record* record);

    int raise(int tag, Record* record) override;

    // Throws when the configuration says `operation` is to throw.
    void maybeThrow(const char* operation) const;
    // Raises the next of the "logRequests", if any.
    void raiseLogRequest();
    bool requestOnAnswer() const { return requestOnAnswer_; }

    CLog& log() { return log_; }
    bool isRunning() const { return started_ && reportRunning_; }
    const std::string& label() const { return label_; }
    int eventsRaised() const { return eventsRaised_.load(); }
    bool quietLogs() const { return quietLogs_; }

private:
    void runWorker();
    Record makeEvent(int sequence) const;

    const char* kind_;
    void* sender_;
    int serial_;
    std::string label_;
    CLog log_;

    std::mutex callbackLock_;
    EventProc proc_ = nullptr;
    void* context_ = nullptr;

    bool started_ = false;
    int startResult_ = 0;
    bool reportRunning_ = true;
    int answer_ = 0;
    int eventTag_ = 0;
    int raiseOnStart_ = 0;
    std::string request_;
    int workerEvents_ = 0;
    int workerIntervalMs_ = 0;
    bool quietEvents_ = false;
    int processDelayMs_ = 0;
    bool quietLogs_ = false;
    std::atomic<bool> journal_{true};
    bool trail_ = true;
    std::string throwIn_;
    std::string logOnStart_;
    std::string logOnRecord_;
    int stopDelayMs_ = 0;
    int startDelayMs_ = 0;
    bool requestOnAnswer_ = false;
    std::vector<std::pair<std::string, std::string>> logRequests_;  // CMD, TYPE
    std::atomic<unsigned> nextLogRequest_{0};

    std::thread worker_;
    std::mutex workerLock_;
    std::condition_variable workerWake_;
    bool stopRequested_ = false;
    std::atomic<int> eventsRaised_{0};
};
