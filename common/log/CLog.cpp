#include "common/log/CLog.h"

#include <algorithm>
#include <utility>

namespace {

// The streams this thread is writing to right now, innermost last. A line
// logged from inside a stream's write() skips these, so a stream is never
// re-entered (which would deadlock on its lock or recurse without end).
constexpr int kMaxNesting = 8;
struct ActiveStreams {
    const logstream* items[kMaxNesting];
    int count = 0;

    bool contains(const logstream* stream) const {
        return std::find(items, items + count, stream) != items + count;
    }
};
thread_local ActiveStreams activeStreams;

class ActiveStreamScope {
public:
    explicit ActiveStreamScope(const logstream* stream) {
        activeStreams.items[activeStreams.count++] = stream;
    }
    ~ActiveStreamScope() { --activeStreams.count; }
};

// Enough for the logs this system builds; longer lists spill to the heap.
constexpr size_t kInlineStreams = 8;

}  // namespace

CLog::CLog() : level_(LOG_LEVEL_DEBUG), formatter_(nullptr) {}

CLog::~CLog() = default;

void CLog::setName(const char* name) {
    std::lock_guard<std::mutex> guard(settingsLock_);
    name_ = name ? name : "";
}

void CLog::setFormatter(CLogFormat* formatter) {
    std::lock_guard<std::mutex> guard(settingsLock_);
    formatter_ = formatter;
}

void CLog::addStream(logstream* stream) {
    if (stream == nullptr) return;
    std::lock_guard<std::mutex> guard(settingsLock_);
    // A stream carried twice would get every line twice; it is carried once.
    if (std::find(streams_.begin(), streams_.end(), stream) == streams_.end())
        streams_.push_back(stream);
}

void CLog::setLevel(int level) { level_.store(level, std::memory_order_relaxed); }

std::string CLog::getName() const {
    std::lock_guard<std::mutex> guard(settingsLock_);
    return name_;
}

CLogFormat* CLog::getFormatter() const {
    std::lock_guard<std::mutex> guard(settingsLock_);
    return formatter_;
}

std::vector<logstream*> CLog::getStreams() const {
    std::lock_guard<std::mutex> guard(settingsLock_);
    return streams_;
}

void CLog::removeAllStreams() {
    std::lock_guard<std::mutex> guard(settingsLock_);
    streams_.clear();
}

void CLog::copySettingsFrom(const CLog& source) {
    if (&source == this) return;
    std::vector<logstream*> streams;
    std::string name;
    CLogFormat* formatter;
    {
        std::lock_guard<std::mutex> guard(source.settingsLock_);
        streams = source.streams_;
        name = source.name_;
        formatter = source.formatter_;
    }
    {
        std::lock_guard<std::mutex> guard(settingsLock_);
        streams_ = std::move(streams);
        name_ = std::move(name);
        formatter_ = formatter;
    }
    setLevel(source.getLevel());
}

void CLog::log(int level, const char* file, int line, const char* text) {
    if (!logLevelPasses(level, getLevel())) return;
    if (activeStreams.count == kMaxNesting) return;

    logstream* inlineTargets[kInlineStreams];
    std::vector<logstream*> spilledTargets;
    logstream** targets = inlineTargets;
    size_t targetCount;
    std::string formatted;
    {
        std::lock_guard<std::mutex> guard(settingsLock_);
        targetCount = streams_.size();
        if (targetCount == 0) return;
        if (targetCount <= kInlineStreams) {
            std::copy(streams_.begin(), streams_.end(), inlineTargets);
        } else {
            spilledTargets = streams_;
            targets = spilledTargets.data();
        }
        if (formatter_ != nullptr) {
            formatter_->format(formatted, level, name_.c_str(), file ? file : "", line,
                               text ? text : "");
        } else {
            formatted = text ? text : "";
        }
    }

    for (size_t i = 0; i < targetCount; ++i) {
        logstream* stream = targets[i];
        if (activeStreams.contains(stream)) continue;
        ActiveStreamScope scope(stream);
        try {
            std::lock_guard<std::mutex> guard(stream->writeLock_);
            stream->write(i + 1 == targetCount ? std::move(formatted) : formatted);
        } catch (...) {
            // A failing stream loses this line; it never takes its caller down.
        }
    }
}
