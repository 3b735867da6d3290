// A mutex Clang's thread-safety analysis sees (libstdc++'s std::mutex
// carries no annotations), and its scoped holder.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

namespace ostra_sqlite {

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

    void lock() OSTRA_ACQUIRE() { lock_.lock(); }
    void unlock() OSTRA_RELEASE() { lock_.unlock(); }
    // Releases the mutex while it waits; holds it again on return.
    void wait(std::condition_variable& condition) { condition.wait(lock_); }

private:
    std::unique_lock<std::mutex> lock_;
};

}  // namespace ostra_sqlite
