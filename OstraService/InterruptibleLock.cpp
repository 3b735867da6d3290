#include "OstraService/InterruptibleLock.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "platform/critical_section.h"

namespace {
// The first in line looks at the section again this often when its holder
// left without telling the line (a plain CSync).
constexpr std::chrono::milliseconds kHeadPoll(1);
// The others look at `abandon` this often in case nobody wakes them.
constexpr std::chrono::milliseconds kQueuedPoll(10);
// Before it sleeps, the first in line tries this often, yielding between
// tries: most holds are short (a relay's bookkeeping, a STATUS answer).
constexpr int kEagerTries = 16;
}  // namespace

void WaitLine::released() {
    if (waiters_.load() == 0) return;
    {
        ostra::MutexLock guard(mutex_);
        ++releases_;
    }
    changed_.notifyAll();
}

void WaitLine::wakeAll() {
    if (waiters_.load() == 0) return;
    { ostra::MutexLock guard(mutex_); }
    changed_.notifyAll();
}

bool InterruptibleLock::tryOnce() {
    if (abandon_.load() || !TryEnterCriticalSection(&section_)) return false;
    if (abandon_.load()) {  // the owner tearing down is this very thread
        LeaveCriticalSection(&section_);
        return false;
    }
    held_ = true;
    return true;
}

bool InterruptibleLock::acquire() {
    if (held_) return true;
    // Nobody waiting, or this thread holds the section already: no turn to wait for.
    if ((line_.waiters_.load() == 0 || ostra::enteredByThisThread(section_)) && tryOnce())
        return true;
    if (abandon_.load()) return false;
    if (waiting_ != nullptr) waiting_->fetch_add(1);
    line_.waiters_.fetch_add(1);
    bool got = waitInLine();
    line_.waiters_.fetch_sub(1);
    if (waiting_ != nullptr) waiting_->fetch_sub(1);
    return got;
}

bool InterruptibleLock::waitInLine() {
    ostra::MutexLock guard(line_.mutex_);
    const unsigned long long ticket = line_.nextTicket_++;
    line_.tickets_.push_back(ticket);
    while (!abandon_.load()) {
        if (line_.tickets_.front() != ticket) {
            // Woken early or late alike: the loop looks again.
            line_.changed_.waitFor(guard, kQueuedPoll);
            continue;
        }
        const unsigned long long seen = line_.releases_;
        guard.unlock();
        for (int attempt = 0; attempt < kEagerTries && !tryOnce(); ++attempt)
            std::this_thread::yield();
        guard.lock();
        if (held_) break;
        if (line_.releases_ == seen && !abandon_.load()) line_.changed_.waitFor(guard, kHeadPoll);
    }
    line_.tickets_.erase(std::find(line_.tickets_.begin(), line_.tickets_.end(), ticket));
    guard.unlock();
    line_.changed_.notifyAll();  // the next in line, if this one was first
    return held_;
}

void InterruptibleLock::release() {
    if (!held_) return;
    held_ = false;
    LeaveCriticalSection(&section_);
    line_.released();
}
