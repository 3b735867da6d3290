#include "EventLoop.h"

#include <algorithm>

namespace bundled_support {

EventLoop::~EventLoop() { close(); }

bool EventLoop::open(std::string& error) {
    close();
    if (!ostra_net::initialise()) {
        error = "sockets unavailable: " + ostra_net::lastError();
        return false;
    }
    return ostra_net::localSocketPair(wakeReceiver_, wakeSender_, error);
}

void EventLoop::close() {
    ostra_net::closeSocket(wakeReceiver_);
    ostra_net::closeSocket(wakeSender_);
    wakeReceiver_ = wakeSender_ = ostra_net::kInvalidSocket;
}

void EventLoop::wake() {
    // One byte is enough: a full pipe already holds a wake-up.
    const char byte = 1;
    ostra_net::sendSome(wakeSender_, &byte, 1);
}

int EventLoop::step(std::vector<ostra_net::PollEntry>& entries, Clock::time_point deadline,
                    std::string& error) {
    ostra_net::PollEntry wakeUp;
    wakeUp.socket = wakeReceiver_;
    wakeUp.wantRead = true;
    entries.push_back(wakeUp);
    auto wait = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    // Bounded all the same: a clock that jumps cannot make a wait endless.
    int timeoutMs = static_cast<int>(std::clamp<long long>(wait.count(), 0, 60 * 1000));
    int ready = ostra_net::pollSockets(entries, timeoutMs);
    bool woken = entries.back().readable;
    entries.pop_back();
    if (ready < 0) {
        error = "waiting for sockets failed: " + ostra_net::lastError();
        return -1;
    }
    if (woken) {
        char drained[64];
        while (ostra_net::receiveSome(wakeReceiver_, drained, sizeof drained) > 0) {
        }
        --ready;
    }
    return ready;
}

bool AcceptPause::watch(std::vector<ostra_net::PollEntry>& entries, ostra_net::Socket listener,
                        EventLoop::Clock::time_point now) const {
    if (active(now)) return false;
    ostra_net::PollEntry listen;
    listen.socket = listener;
    listen.wantRead = true;
    entries.push_back(listen);
    return true;
}

ostra_net::Socket openListener(const std::string& bind, int port, int* boundPort,
                               std::string& error) {
    if (!ostra_net::initialise()) {
        error = "sockets unavailable: " + ostra_net::lastError();
        return ostra_net::kInvalidSocket;
    }
    return ostra_net::listenTcp(bind, port, 128, boundPort, error);
}

}  // namespace bundled_support
