#include "LogRing.h"

namespace webcontrol {

void LogRing::setCapacity(std::size_t capacity) {
    ostra::MutexLock guard(mutex_);
    capacity_ = capacity ? capacity : 1;
    while (lines_.size() > capacity_) lines_.pop_front();
}

void LogRing::push(std::string text) {
    ostra::MutexLock guard(mutex_);
    while (lines_.size() >= capacity_) lines_.pop_front();
    lines_.push_back(Line{++lastNumber_, std::move(text)});
}

std::vector<LogRing::Line> LogRing::linesAfter(std::uint64_t after, std::size_t maxBytes) {
    ostra::MutexLock guard(mutex_);
    std::vector<Line> found;
    if (lines_.empty() || after >= lastNumber_) return found;
    // Numbers are consecutive: the first line wanted is found by its number.
    std::uint64_t first = lines_.front().number;
    std::size_t at = after < first ? 0 : static_cast<std::size_t>(after - first + 1);
    std::size_t bytes = 0;
    for (; at < lines_.size() && (found.empty() || bytes < maxBytes); ++at) {
        bytes += lines_[at].text.size();
        found.push_back(lines_[at]);
    }
    return found;
}

}  // namespace webcontrol
