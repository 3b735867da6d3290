// InterruptibleLock: waits for a critical section in a way that can be
// called off.
//
// A thread blocked in EnterCriticalSection cannot be released. The host's
// teardowns, though, hold a lock while they stop plug-ins whose stop()
// joins threads that may be waiting for that very lock (a relay, a control
// request). Those waiters take the lock through this class instead: it
// polls the section, yielding at first and then sleeping a millisecond
// between polls, and gives up as soon as the owner raises `abandon`. It
// also gives up when it gets the lock on the thread that raised `abandon`
// (a plug-in calling back from inside its own stop()).
//
// While it waits, `waiting` (when given) counts it, so that an owner that
// releases and retakes the lock in a loop can step aside for it.
#pragma once

#include <atomic>

#include "platform/winapi.h"

class InterruptibleLock {
public:
    InterruptibleLock(CRITICAL_SECTION& section, const std::atomic<bool>& abandon,
                      std::atomic<int>* waiting = nullptr)
        : section_(section), abandon_(abandon), waiting_(waiting) {}
    ~InterruptibleLock() {
        if (held_) LeaveCriticalSection(&section_);
    }
    InterruptibleLock(const InterruptibleLock&) = delete;
    InterruptibleLock& operator=(const InterruptibleLock&) = delete;

    // Takes the section; false (not held) when `abandon` was raised first.
    bool acquire();
    void release();
    bool holds() const { return held_; }

private:
    bool tryOnce();

    CRITICAL_SECTION& section_;
    const std::atomic<bool>& abandon_;
    std::atomic<int>* waiting_;
    bool held_ = false;
};
