#include "common/log/CLog.h"

#include <algorithm>
#include <utility>

namespace liblog_detail {
extern thread_local int levelOfLineBeingWritten;  // logstream.cpp
}

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

}  // namespace

namespace {
thread_local LogLineFilter* threadFilter = nullptr;
}  // namespace

ThreadLogFilter::ThreadLogFilter(LogLineFilter* filter) : outer_(threadFilter) {
    threadFilter = filter;
}

ThreadLogFilter::~ThreadLogFilter() { threadFilter = outer_; }

CLog::CLog() : level_(LOG_LEVEL_DEBUG) {
    versions_.emplace_back(new Settings);
    settings_.store(versions_.back().get());
}

CLog::~CLog() = default;

template <typename Change>
void CLog::change(Change&& apply) {
    ostra::MutexLock guard(changeLock_);
    std::unique_ptr<Settings> next(new Settings(current()));
    apply(*next);
    settings_.store(next.get(), std::memory_order_release);
    versions_.push_back(std::move(next));
}

void CLog::setName(const char* name) {
    change([name](Settings& s) { s.name = name ? name : ""; });
}

void CLog::setFormatter(CLogFormat* formatter) {
    change([formatter](Settings& s) { s.formatter = formatter; });
}

void CLog::addStream(logstream* stream) {
    if (stream == nullptr) return;
    // A stream carried twice would get every line twice; it is carried once.
    change([stream](Settings& s) {
        if (std::find(s.streams.begin(), s.streams.end(), stream) == s.streams.end())
            s.streams.push_back(stream);
    });
}

void CLog::setLevel(int level) { level_.store(level, std::memory_order_relaxed); }

std::string CLog::getName() const { return current().name; }

CLogFormat* CLog::getFormatter() const { return current().formatter; }

std::vector<logstream*> CLog::getStreams() const { return current().streams; }

void CLog::removeAllStreams() {
    change([](Settings& s) { s.streams.clear(); });
}

void CLog::copySettingsFrom(const CLog& source) {
    if (&source == this) return;
    const Settings& from = source.current();
    change([&from](Settings& s) { s = from; });
    setLevel(source.getLevel());
}

void CLog::log(int level, const char* file, int line, const char* text) {
    const Settings& settings = current();
    if (settings.streams.empty()) return;
    if (!logLevelPasses(level, getLevel())) return;
    if (activeStreams.count == kMaxNesting) return;
    if (threadFilter != nullptr &&
        !threadFilter->pass(level, file ? file : "", line, text ? text : ""))
        return;

    // Formatted outside every lock: threads logging at once only meet at the
    // streams.
    std::string formatted;
    if (settings.formatter != nullptr) {
        formatted.reserve(128);
        settings.formatter->format(formatted, level, settings.name.c_str(), file ? file : "", line,
                                   text ? text : "");
    } else {
        formatted = text ? text : "";
    }

    // Restored afterwards: a stream's write() may itself log.
    const int outerLevel = liblog_detail::levelOfLineBeingWritten;
    liblog_detail::levelOfLineBeingWritten = level;
    const size_t count = settings.streams.size();
    for (size_t i = 0; i < count; ++i) {
        logstream* stream = settings.streams[i];
        if (activeStreams.contains(stream)) continue;
        ActiveStreamScope scope(stream);
        try {
            if (stream->serialisesItself_) {
                stream->write(i + 1 == count ? std::move(formatted) : formatted);
            } else {
                std::lock_guard<std::mutex> guard(stream->writeLock_);
                stream->write(i + 1 == count ? std::move(formatted) : formatted);
            }
            if (level == LOG_LEVEL_ERROR) stream->flush();
        } catch (...) {
            // A failing stream loses this line; it never takes its caller down.
        }
    }
    liblog_detail::levelOfLineBeingWritten = outerLevel;
}
