// A sender of control requests that keeps the answer it gets: the status
// channel's, and that of tests and benchmarks asking the host as a control
// plug-in would. The answer arrives on the asking thread, before the
// request returns, so it needs no lock.
#pragma once

#include "common/Record.h"
#include "plugin/CControlPlugin.h"

class KeptAnswer : public CControlPlugin {
public:
    int processRecord(int, Record* record) override {
        if (record != nullptr) answer = *record;
        return 0;
    }
    int processLog(Record*) override { return 0; }
    void setCallback(EventProc, void*) override {}
    int start(Setting&) override { return 0; }
    void stop() override {}

    Record answer;
};
