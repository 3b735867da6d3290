#include "OstraService/ReportSampler.h"

ReportSampler::ReportSampler(Protocols protocols, std::shared_ptr<reports::ReportSlot> control,
                             std::shared_ptr<reports::NumberCatalog> catalog)
    : protocols_(std::move(protocols)), control_(std::move(control)), catalog_(std::move(catalog)) {
    thread_ = std::thread([this] { run(); });
}

ReportSampler::~ReportSampler() {
    {
        ostra::MutexLock guard(lock_);
        stopping_ = true;
    }
    wake_.notifyAll();
    thread_.join();
    if (!pass_.thread.joinable()) return;
    // A pass held up in a report past the deadline is left: it owns what it reads.
    while (!pass_.done->load() && reports::Clock::now() - pass_.began <= reports::kDeadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (pass_.done->load())
        pass_.thread.join();
    else
        pass_.thread.detach();
}

void ReportSampler::askAll(const Protocols& protocols, reports::ReportSlot* control,
                           reports::NumberCatalog& catalog) {
    std::vector<reports::ReportSlot*> slots;
    for (const auto& counters : protocols) {
        slots.clear();
        counters->slots(slots);
        for (reports::ReportSlot* slot : slots) slot->ask(catalog);
    }
    if (control != nullptr) control->ask(catalog);
}

void ReportSampler::startPass() {
    pass_.done = std::make_shared<std::atomic<bool>>(false);
    pass_.began = reports::Clock::now();
    pass_.thread = std::thread(
        [protocols = protocols_, control = control_, catalog = catalog_, done = pass_.done] {
            askAll(protocols, control.get(), *catalog);
            done->store(true);
        });
}

void ReportSampler::run() {
    ostra::MutexLock guard(lock_);
    while (!stopping_) {
        if (pass_.thread.joinable()) {
            if (pass_.done->load())
                pass_.thread.join();
            else if (reports::Clock::now() - pass_.began > reports::kDeadline)
                pass_.thread.detach();
        }
        if (!pass_.thread.joinable()) startPass();
        const auto next = std::chrono::steady_clock::now() + kPeriod;
        while (!stopping_ && wake_.waitUntil(guard, next)) {
        }
    }
}
