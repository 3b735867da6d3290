// StopSignals: the ways an operator ends a foreground process become a stop
// request, so that the run goes through its normal stop sequence.
//
// Linux: SIGTERM and SIGINT are blocked in every thread and taken by one
// thread of this object's own (create it on the main thread before any
// other thread starts, so that every later thread inherits the mask).
// SIGHUP is taken there too: under a service manager it is what logrotate
// sends, and reopens the log (CService::onReopenLogRequest) without ending
// the run; in a console it means the terminal has gone, and stops the run.
// Windows: Ctrl+C, Ctrl+Break, and closing the console window, logging
// off or shutting down; for those three the handler holds Windows back
// (4.5 s at most) until this object goes, which is after the stop sequence.
#pragma once

#include <memory>

#include "service/CService.h"

class StopSignals {
public:
    enum class HangUp { kReopensLog, kStops };
    explicit StopSignals(CService& service, HangUp hangUp = HangUp::kReopensLog);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct State;
    std::unique_ptr<State> state_;
};
