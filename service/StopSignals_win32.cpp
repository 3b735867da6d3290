#include <atomic>

#include "platform/winapi.h"
#include "service/StopSignals.h"

namespace {
std::atomic<CService*> consoleService{nullptr};

// Set once the run that watches the signals has ended (its stop sequence
// included). Made once and never closed: a handler may still wait on it.
HANDLE runEnded() {
    static HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event;
}

// Windows ends the process a few seconds after a close, logoff or shutdown
// event, or at once when the handler returns: wait for the stop sequence,
// within the time Windows allows.
constexpr DWORD kEndingWaitMs = 4500;

BOOL WINAPI onConsoleControl(DWORD event) {
    CService* service = consoleService.load();
    if (service == nullptr) return FALSE;
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            service->requestStop();
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            service->requestStop();
            WaitForSingleObject(runEnded(), kEndingWaitMs);
            return TRUE;
        default:
            return FALSE;
    }
}
}  // namespace

struct StopSignals::State {};

StopSignals::StopSignals(CService& service, HangUp) : state_(new State) {
    ResetEvent(runEnded());
    consoleService.store(&service);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

StopSignals::~StopSignals() {
    SetEvent(runEnded());
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
    consoleService.store(nullptr);
}
