#include "OstraService/DeferredRequests.h"

bool DeferredRequests::push(CControlPlugin* sender, int tag, const Record& record) {
    ostra::MutexLock guard(lock_);
    if (requests_.size() >= kCapacity) return false;
    requests_.push_back(Request{sender, tag, record});
    size_.store(requests_.size());
    return true;
}

void DeferredRequests::drain(const std::function<void(Request&)>& serve) {
    if (size_.load() == 0) return;
    std::deque<Request> taken;
    {
        ostra::MutexLock guard(lock_);
        taken.swap(requests_);
        size_.store(0);
    }
    for (Request& request : taken) serve(request);
}
