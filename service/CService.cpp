#include "service/CService.h"

CService::CService() : running_(true) {}

CService::~CService() = default;

void CService::onStopRequest() {}

void CService::onShutdownRequest() {}

void CService::setName(const char* name) { name_ = name ? name : ""; }

void CService::requestStop() {
    if (running_.exchange(false)) onStopRequest();
}

void CService::stop() { running_.store(false); }
