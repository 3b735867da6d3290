#include "service/CService.h"

CService::CService() : running_(true) {}

CService::~CService() = default;

void CService::onStopRequest() {}

void CService::onShutdownRequest() {}

void CService::onReopenLogRequest() {}

void CService::setName(const char* name) { name_ = name ? name : ""; }

void CService::requestStop() {
    if (running_.exchange(false)) onStopRequest();
}

void CService::stop() { running_.store(false); }

void CService::reportStartFailure(int code) {
    int none = 0;
    startFailure_.compare_exchange_strong(none, code);
}
