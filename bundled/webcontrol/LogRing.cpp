#include "LogRing.h"

namespace webcontrol {

void LogRing::setCapacity(std::size_t capacity) {
    std::lock_guard<std::mutex> guard(mutex_);
    capacity_ = capacity ? capacity : 1;
    while (lines_.size() > capacity_) lines_.pop_front();
}

void LogRing::push(std::string text) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        while (lines_.size() >= capacity_) lines_.pop_front();
        lines_.push_back(Line{++lastNumber_, std::move(text)});
    }
    changed_.notify_all();
}

std::vector<LogRing::Line> LogRing::linesAfter(std::uint64_t after,
                                               std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return closed_ || lastNumber_ > after; });
    std::vector<Line> found;
    for (const Line& line : lines_)
        if (line.number > after) found.push_back(line);
    return found;
}

void LogRing::close() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

void LogRing::reopen() {
    std::lock_guard<std::mutex> guard(mutex_);
    closed_ = false;
}

}  // namespace webcontrol
