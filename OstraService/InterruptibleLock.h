// InterruptibleLock: waits for a critical section in turn, in a way that
// can be called off.
//
// A thread blocked in EnterCriticalSection cannot be released. The host's
// teardowns, though, hold a lock while they stop plug-ins whose stop()
// joins threads that may be waiting for that very lock (a relay, a control
// request). Those waiters take the lock through this class instead, and
// give up as soon as the owner raises `abandon` (and calls the line's
// wakeAll()). They also give up when they get the lock on the thread that
// raised `abandon` (a plug-in calling back from inside its own stop()).
//
// Waiters are served in the order they came: a newcomer that finds others
// waiting queues behind them instead of snatching the section the moment
// its holder leaves it, so a thread that releases and retakes the section
// in a loop cannot starve a waiter. Only the first in line tries the
// section; it is woken when a holder leaves through a WaitLine-aware path
// (release(), LineGuard) and otherwise looks again every millisecond.
// A thread that already holds the section gets it again at once, as with
// EnterCriticalSection.
//
// While it waits, `waiting` (when given) counts it, so that an owner that
// releases and retakes the lock in a loop can step aside for it.
#pragma once

#include <atomic>
#include <deque>

#include "platform/Mutex.h"
#include "platform/winapi.h"

// The queue of threads waiting for one critical section.
class WaitLine {
public:
    WaitLine() = default;
    WaitLine(const WaitLine&) = delete;
    WaitLine& operator=(const WaitLine&) = delete;

    // The section was just left: the first in line tries it at once.
    void released();
    // Every waiter looks at its `abandon` flag now.
    void wakeAll();

private:
    friend class InterruptibleLock;

    ostra::Mutex mutex_;
    ostra::Condition changed_;
    std::deque<unsigned long long> tickets_ OSTRA_GUARDED_BY(mutex_);
    unsigned long long nextTicket_ OSTRA_GUARDED_BY(mutex_) = 0;
    unsigned long long releases_ OSTRA_GUARDED_BY(mutex_) = 0;
    std::atomic<int> waiters_{0};
};

// Enters a section for a scope and wakes its line when it leaves: for
// holders that never need to be called off (the host's own operations).
class OSTRA_SCOPED_CAPABILITY LineGuard {
public:
    LineGuard(CRITICAL_SECTION& section, WaitLine& line) OSTRA_ACQUIRE(section)
        : section_(section), line_(line) {
        EnterCriticalSection(&section_);
    }
    ~LineGuard() OSTRA_RELEASE() {
        LeaveCriticalSection(&section_);
        line_.released();
    }
    LineGuard(const LineGuard&) = delete;
    LineGuard& operator=(const LineGuard&) = delete;

private:
    CRITICAL_SECTION& section_;
    WaitLine& line_;
};

class OSTRA_SCOPED_CAPABILITY InterruptibleLock {
public:
    InterruptibleLock(CRITICAL_SECTION& section, WaitLine& line, const std::atomic<bool>& abandon,
                      std::atomic<int>* waiting = nullptr) OSTRA_EXCLUDES(section)
        : section_(section), line_(line), abandon_(abandon), waiting_(waiting) {}
    ~InterruptibleLock() OSTRA_RELEASE() { release(); }
    InterruptibleLock(const InterruptibleLock&) = delete;
    InterruptibleLock& operator=(const InterruptibleLock&) = delete;

    // Takes the section; false (not held) when `abandon` was raised first.
    // (Their bodies hold the section on some paths only: not analysed.)
    bool acquire() OSTRA_TRY_ACQUIRE(true) OSTRA_NO_THREAD_SAFETY_ANALYSIS;
    void release() OSTRA_RELEASE() OSTRA_NO_THREAD_SAFETY_ANALYSIS;
    bool holds() const { return held_; }

private:
    bool tryOnce() OSTRA_NO_THREAD_SAFETY_ANALYSIS;
    bool waitInLine() OSTRA_NO_THREAD_SAFETY_ANALYSIS;

    CRITICAL_SECTION& section_;
    WaitLine& line_;
    const std::atomic<bool>& abandon_;
    std::atomic<int>* waiting_;
    bool held_ = false;
};
