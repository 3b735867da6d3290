#include <atomic>

#include "platform/winapi.h"
#include "service/StopSignals.h"

namespace {
std::atomic<CService*> consoleService{nullptr};

BOOL WINAPI onConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            if (CService* service = consoleService.load()) {
                service->requestStop();
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}
}  // namespace

struct StopSignals::State {};

StopSignals::StopSignals(CService& service) : state_(new State) {
    consoleService.store(&service);
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

StopSignals::~StopSignals() {
    SetConsoleCtrlHandler(onConsoleControl, FALSE);
    consoleService.store(nullptr);
}
