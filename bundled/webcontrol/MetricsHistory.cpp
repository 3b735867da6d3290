#include "MetricsHistory.h"

namespace webcontrol {

void MetricsHistory::add(const HostMetrics& numbers, Clock::time_point at) {
    Sample sample;
    sample.at = at;
    for (const ProtocolMetrics& protocol : numbers.protocols)
        sample.protocols[protocol.name] = {protocol.records,
                                           protocol.answers[1] + protocol.answers[2]};
    ostra::MutexLock guard(mutex_);
    samples_.push_back(std::move(sample));
    while (samples_.size() > kSamples) samples_.pop_front();
}

std::vector<double> MetricsHistory::recordsPerSecond(const std::string& protocol) const {
    ostra::MutexLock guard(mutex_);
    std::vector<double> rates;
    for (std::size_t index = 1; index < samples_.size(); ++index) {
        const Sample& before = samples_[index - 1];
        const Sample& after = samples_[index];
        auto was = before.protocols.find(protocol);
        auto is = after.protocols.find(protocol);
        double seconds = std::chrono::duration<double>(after.at - before.at).count();
        if (was == before.protocols.end() || is == after.protocols.end() || seconds <= 0 ||
            is->second.records < was->second.records) {
            rates.push_back(0);
            continue;
        }
        rates.push_back(static_cast<double>(is->second.records - was->second.records) / seconds);
    }
    return rates;
}

MetricsHistory::Window MetricsHistory::last(const std::string& protocol,
                                            std::chrono::seconds span) const {
    ostra::MutexLock guard(mutex_);
    Window window;
    if (samples_.empty()) return window;
    const Sample& newest = samples_.back();
    auto now = newest.protocols.find(protocol);
    if (now == newest.protocols.end()) return window;
    // The oldest sample still inside the span.
    const Sample* oldest = &newest;
    for (auto sample = samples_.rbegin(); sample != samples_.rend(); ++sample) {
        if (newest.at - sample->at > span) break;
        oldest = &*sample;
    }
    auto then = oldest->protocols.find(protocol);
    if (then == oldest->protocols.end()) return window;
    if (now->second.records >= then->second.records)
        window.records = now->second.records - then->second.records;
    if (now->second.notStored >= then->second.notStored)
        window.notStored = now->second.notStored - then->second.notStored;
    return window;
}

}  // namespace webcontrol
