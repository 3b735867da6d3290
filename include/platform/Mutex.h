// Mutex: std::mutex made visible to Clang's thread-safety analysis, with
// its scoped holder and a condition to wait on under it. libstdc++'s own
// mutex carries no annotations, so members guarded by one would go
// unchecked; declare them OSTRA_GUARDED_BY a Mutex instead. The one
// definition for the host and the bundled plug-ins alike (it needs only
// the C++ library, so it is part of the kit).
//
//   ostra::Mutex lock_;
//   std::deque<Job> jobs_ OSTRA_GUARDED_BY(lock_);
//   ...
//   ostra::MutexLock hold(lock_);
//   while (jobs_.empty()) changed_.wait(hold);
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

namespace ostra {

class OSTRA_CAPABILITY("mutex") Mutex {
public:
    void lock() OSTRA_ACQUIRE() { mutex_.lock(); }
    void unlock() OSTRA_RELEASE() { mutex_.unlock(); }

private:
    friend class MutexLock;
    std::mutex mutex_;
};

class OSTRA_SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) OSTRA_ACQUIRE(mutex) : lock_(mutex.mutex_) {}
    ~MutexLock() OSTRA_RELEASE() {}
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // Lets go for a while (a slow call made without the lock) and takes it again.
    void unlock() OSTRA_RELEASE() { lock_.unlock(); }
    void lock() OSTRA_ACQUIRE() { lock_.lock(); }
    // Releases the mutex while it waits; holds it again on return.
    void wait(std::condition_variable& condition) { condition.wait(lock_); }
    template <class Rep, class Period>
    void waitFor(std::condition_variable& condition,
                 const std::chrono::duration<Rep, Period>& limit) {
        condition.wait_for(lock_, limit);
    }
    template <class Clock, class Duration>
    bool waitUntil(std::condition_variable& condition,
                   const std::chrono::time_point<Clock, Duration>& deadline) {
        return condition.wait_until(lock_, deadline) == std::cv_status::no_timeout;
    }

private:
    std::unique_lock<std::mutex> lock_;
};

// Waits under a MutexLock; the lock is held again when a wait returns.
// Callers loop on their own condition around wait(), in code the analysis
// sees holding the lock (a predicate lambda would hide it).
class Condition {
public:
    void notifyOne() { condition_.notify_one(); }
    void notifyAll() { condition_.notify_all(); }
    void wait(MutexLock& hold) { hold.wait(condition_); }
    // The same, returning after `limit` at the latest.
    template <class Rep, class Period>
    void waitFor(MutexLock& hold, const std::chrono::duration<Rep, Period>& limit) {
        hold.waitFor(condition_, limit);
    }
    // The same until `deadline`; false when it came without a notification.
    template <class Clock, class Duration>
    bool waitUntil(MutexLock& hold, const std::chrono::time_point<Clock, Duration>& deadline) {
        return hold.waitUntil(condition_, deadline);
    }

private:
    std::condition_variable condition_;
};

}  // namespace ostra
