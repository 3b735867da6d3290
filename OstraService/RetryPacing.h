// RetryPacing: when a protocol whose start failed is tried again.
//
// The first retry comes a second after the failure, each later one twice
// as long after the one before, never more than 30 s apart (1, 2, 4, 8,
// 16, 30, 30, ... seconds). A database that refuses, a library that is
// missing or a port another program holds then costs an attempt a few
// times a minute instead of on every pass of the run loop, and the
// protocol still comes up by itself once the cause is gone. A start that
// works, or a stop, begins the count again.
//
// due() may be asked on any thread without a lock (the wake-up pass asks
// it before it takes the app lock); failed() and reset() are called under
// the app lock.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>

class RetryPacing {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds kFirstDelay{1000};
    static constexpr std::chrono::milliseconds kLongestDelay{30000};

    bool due(Clock::time_point now) const {
        return now.time_since_epoch().count() >= dueAt_.load(std::memory_order_relaxed);
    }

    // An attempt failed at `now`: the next one is due a longer delay later.
    void failed(Clock::time_point now) {
        const Clock::duration first = kFirstDelay;
        const Clock::duration longest = kLongestDelay;
        delay_ = delay_ == Clock::duration::zero() ? first : std::min(delay_ * 2, longest);
        dueAt_.store((now + delay_).time_since_epoch().count(), std::memory_order_relaxed);
    }

    // The next attempt is due at once, and the delays start from the first.
    void reset() {
        delay_ = Clock::duration::zero();
        dueAt_.store(std::numeric_limits<Clock::rep>::min(), std::memory_order_relaxed);
    }

private:
    std::atomic<Clock::rep> dueAt_{std::numeric_limits<Clock::rep>::min()};
    Clock::duration delay_{Clock::duration::zero()};
};
