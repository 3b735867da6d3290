#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <ctime>
#include <thread>

#include "service/StopSignals.h"
#include "service/SystemdNotify.h"

struct StopSignals::State {
    sigset_t stopSignals;
    sigset_t previousMask;
    std::atomic<bool> done{false};
    std::thread waiter;
};

StopSignals::StopSignals(CService& service, HangUp hangUp) : state_(new State) {
    sigemptyset(&state_->stopSignals);
    sigaddset(&state_->stopSignals, SIGTERM);
    sigaddset(&state_->stopSignals, SIGINT);
    sigaddset(&state_->stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &state_->stopSignals, &state_->previousMask);
    State* state = state_.get();
    state_->waiter = std::thread([state, &service, hangUp] {
        const timespec poll{0, 100 * 1000 * 1000};
        while (!state->done.load()) {
            int signal = sigtimedwait(&state->stopSignals, nullptr, &poll);
            if (signal == SIGHUP && hangUp == HangUp::kReopensLog) {
                service.onReopenLogRequest();
            } else if (signal > 0) {
                systemd::notify("STOPPING=1");
                service.requestStop();
            }
        }
    });
}

StopSignals::~StopSignals() {
    state_->done.store(true);
    state_->waiter.join();
    // A signal that came after the last wait would take its default action
    // (the end of the process) as soon as it is unblocked: it is taken here.
    const timespec none{0, 0};
    while (sigtimedwait(&state_->stopSignals, nullptr, &none) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &state_->previousMask, nullptr);
}
