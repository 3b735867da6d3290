#include "OstraService/InterruptibleLock.h"

#include <chrono>
#include <thread>

namespace {
// How long a waiter only yields between polls before it sleeps between
// them: short waits (a relay's turn, a wake-up pass) stay fast, long ones
// (a plug-in loading its libraries) cost no CPU.
constexpr std::chrono::milliseconds kYieldingPhase(5);
}  // namespace

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
    if (held_ || tryOnce()) return true;
    if (waiting_ != nullptr) waiting_->fetch_add(1);
    const auto yieldUntil = std::chrono::steady_clock::now() + kYieldingPhase;
    bool sleeping = false;
    for (unsigned poll = 0; !abandon_.load() && !tryOnce(); ++poll) {
        if (sleeping) {
            Sleep(1);
        } else {
            std::this_thread::yield();
            sleeping = poll % 64 == 63 && std::chrono::steady_clock::now() >= yieldUntil;
        }
    }
    if (waiting_ != nullptr) waiting_->fetch_sub(1);
    return held_;
}

void InterruptibleLock::release() {
    if (!held_) return;
    held_ = false;
    LeaveCriticalSection(&section_);
}
