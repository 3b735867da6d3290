// LogRing: the last log lines, numbered, for the console's live log.
//
// push() is what the control plug-in's processLog does: it copies the line
// in under a short lock; it never waits for a reader, a socket or the host.
// When the ring is full the oldest line goes. Readers look for news on the
// web server's thread and never wait either.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/Mutex.h"

namespace webcontrol {

class LogRing {
public:
    struct Line {
        std::uint64_t number;  // 1 for the first line ever pushed
        std::string text;
    };

    explicit LogRing(std::size_t capacity) : capacity_(capacity ? capacity : 1) {}

    // Keeps at most `capacity` lines from now on (at least one).
    void setCapacity(std::size_t capacity);

    void push(std::string text);

    // The lines numbered above `after` that are still held, oldest first,
    // as many as make up `maxBytes` of text (at least one when there is
    // one).
    std::vector<Line> linesAfter(std::uint64_t after, std::size_t maxBytes);

private:
    ostra::Mutex mutex_;
    std::size_t capacity_ OSTRA_GUARDED_BY(mutex_);
    std::deque<Line> lines_ OSTRA_GUARDED_BY(mutex_);
    std::uint64_t lastNumber_ OSTRA_GUARDED_BY(mutex_) = 0;
};

}  // namespace webcontrol
