// DeferredRequests: control requests the host cannot serve on the thread
// that raised them, kept for the run loop.
//
// A control plug-in may raise STATUS or CONTROL from inside processLog, or
// from inside the processRecord that answers an earlier STATUS. Serving
// such a request there would wait for the host lock on a thread that the
// lock's holder may be waiting for (a relay thread logging while a
// protocol's stop() joins it; the run sequence logging "Service started"
// while the line is being delivered), or recurse without end. The host
// copies the request here instead and the run loop serves it between
// passes, on its own thread, at most a few milliseconds later. STATUS is
// then answered through processRecord as usual.
//
// The queue holds at most kCapacity requests; further ones are dropped (a
// plug-in that asks on every log line gets an answer now and then, not an
// ever longer backlog). Thread safe.
#pragma once

#include <atomic>
#include <deque>
#include <functional>

#include "common/Record.h"
#include "platform/Mutex.h"
#include "plugin/CControlPlugin.h"

class DeferredRequests {
public:
    static constexpr size_t kCapacity = 64;

    struct Request {
        CControlPlugin* sender;
        int tag;
        Record record;
    };

    // Keeps a copy of `record`; false when the queue is full and it was dropped.
    bool push(CControlPlugin* sender, int tag, const Record& record);

    // Takes every request queued so far and hands each to `serve`, in
    // order, outside the queue's lock. Costs one atomic load when empty.
    void drain(const std::function<void(Request&)>& serve);

private:
    ostra::Mutex lock_;
    std::deque<Request> requests_ OSTRA_GUARDED_BY(lock_);
    std::atomic<size_t> size_{0};
};
