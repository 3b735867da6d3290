// EventLoop: what the one thread that owns a server's sockets waits for.
//
// Each turn the owner lists the sockets it wants to hear from (a listener
// it has paused is simply left out) and the nearest moment it has
// something to do; step() returns when a socket is ready, when that moment
// comes, or as soon as another thread calls wake() (an answer is ready, a
// line was queued, the server is stopping). No fixed tick: an idle server
// sleeps until something happens.
//
// Threads: step() on the owning thread only; wake() from any thread, any
// number of times (wake-ups that come together are one).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "Net.h"

namespace bundled_support {

class EventLoop {
public:
    using Clock = std::chrono::steady_clock;

    EventLoop() = default;
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    // Makes the wake-up (a connected pair of local sockets). False with
    // `error` set when it cannot be had.
    bool open(std::string& error);
    void close();

    // Any thread: the step in progress, or the next one, returns at once.
    void wake();

    // Waits for the readiness `entries` ask for, until `deadline` or a
    // wake(); fills in their readable and writable flags. The number of
    // ready entries (0 when the deadline came or it was woken), or -1 when
    // waiting failed, with `error` saying why.
    int step(std::vector<ostra_net::PollEntry>& entries, Clock::time_point deadline,
             std::string& error);

private:
    ostra_net::Socket wakeReceiver_ = ostra_net::kInvalidSocket;
    ostra_net::Socket wakeSender_ = ostra_net::kInvalidSocket;
};

// A server's listening socket: the platform's sockets made usable, then
// `bind`:`port` listened on (port 0: any free port, told in `boundPort`).
ostra_net::Socket openListener(const std::string& bind, int port, int* boundPort,
                               std::string& error);

// Accepting that failed for want of descriptors is tried again only after
// a pause: the listener stays readable, and polling it meanwhile would spin.
class AcceptPause {
public:
    static constexpr std::chrono::milliseconds kPause{500};
    bool active(EventLoop::Clock::time_point now) const { return now < until_; }
    // Asks `entries` to watch `listener` for newcomers unless accepting is
    // paused at `now`; whether it did.
    bool watch(std::vector<ostra_net::PollEntry>& entries, ostra_net::Socket listener,
               EventLoop::Clock::time_point now) const;
    void begin(EventLoop::Clock::time_point now) { until_ = now + kPause; }
    EventLoop::Clock::time_point until() const { return until_; }

private:
    EventLoop::Clock::time_point until_{};
};

}  // namespace bundled_support
