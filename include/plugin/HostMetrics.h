// HostMetrics: the host's answer to a METRICS request (CControlPlugin.h),
// read into numbers. Header only: a control plug-in includes it and links
// nothing more.
//
//   Record answer;  // what processRecord received for the request
//   ostra_metrics::HostMetrics metrics;
//   if (metrics.read(answer))
//       for (const auto& protocol : metrics.protocols) use(protocol.name, protocol.records);
//
// The answer's lists hold one item per protocol, in configuration order,
// separated by ','; a protocol's databases are separated by ';' and the
// numbers of one item by '/'. In texts (names, failures) a backslash keeps
// the character after it, so a name may hold any of them.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "common/Record.h"

namespace ostra_metrics {

using Count = std::uint64_t;
// More bounds than any host writes: a longer list is cut here.
constexpr std::size_t kMostLatencyBounds = 64;

// `text` cut at every `separator` that no backslash keeps; the pieces keep
// their backslashes, for a list inside a list.
inline std::vector<std::string> splitList(const std::string& text, char separator) {
    std::vector<std::string> pieces(1);
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '\\' && at + 1 < text.size()) {
            pieces.back() += text[at];
            pieces.back() += text[++at];
        } else if (text[at] == separator) {
            pieces.emplace_back();
        } else {
            pieces.back() += text[at];
        }
    }
    return pieces;
}

// A piece of a list as the text it stands for.
inline std::string unescape(const std::string& piece) {
    std::string text;
    for (std::size_t at = 0; at < piece.size(); ++at) {
        if (piece[at] == '\\' && at + 1 < piece.size()) ++at;
        text += piece[at];
    }
    return text;
}

inline Count toCount(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 10); }

struct DatabaseMetrics {
    std::string name;       // its library as configured; "#2" added to a repeated one
    Count answers[3] = {};  // its processRecord's 0, 1 and 3
    Count faults = 0;       // exceptions out of it
};

struct ProtocolMetrics {
    std::string name;
    std::string state;          // RUNNING, STOPPED (by a command) or FAILING
    long long since = 0;        // when it entered the state (Unix seconds)
    Count records = 0;          // raised by the protocol plug-in
    Count answers[3] = {};      // 0, 1 and 3, as the relay answered them
    Count databaseRecords = 0;  // raised by its database plug-ins
    Count databaseAnswers[3] = {};
    Count faults = 0;  // exceptions out of the protocol plug-in
    Count starts = 0, failedStarts = 0;
    std::string lastFailure;  // the last failed start's reason; "" when none
    long long lastFailureTime = 0;
    std::vector<Count> latency;  // records per latency bucket, not cumulative
    double latencySum = 0;       // seconds in the databases' processRecord
    std::vector<DatabaseMetrics> databases;

    // The bucket bound below which `share` (0..1) of the timed records
    // fall (infinity for the last bucket); negative when none was timed.
    double latencyQuantile(double share, const std::vector<double>& bounds) const {
        Count total = 0;
        for (Count bucket : latency) total += bucket;
        if (total == 0) return -1;
        if (!(share > 0)) share = 0;
        if (share > 1) share = 1;
        Count wanted = static_cast<Count>(share * static_cast<double>(total) + 0.5);
        if (wanted == 0) wanted = 1;
        Count seen = 0;
        for (std::size_t index = 0; index < latency.size(); ++index) {
            seen += latency[index];
            if (seen >= wanted && index < bounds.size()) return bounds[index];
        }
        return std::numeric_limits<double>::infinity();
    }
};

struct HostMetrics {
    std::string state;      // STARTED or STOPPED, as STATUS answers
    bool stopping = false;  // the host's stop sequence has begun
    Count uptime = 0, logLines = 0, logLinesLost = 0, requests = 0, requestsDeferred = 0;
    std::vector<double> latencyBounds;  // seconds; one bucket more takes the rest
    std::vector<ProtocolMetrics> protocols;

    // False when `answer` is no METRICS answer.
    bool read(const Record& answer) {
        if (!answer.has("PROTOCOLS")) return false;
        state = answer.get("ANSWER");
        stopping = std::string(answer.get("HOST")) == "STOPPING";
        uptime = toCount(answer.get("UPTIME"));
        logLines = toCount(answer.get("LOG_LINES"));
        logLinesLost = toCount(answer.get("LOG_LINES_LOST"));
        requests = toCount(answer.get("REQUESTS"));
        requestsDeferred = toCount(answer.get("REQUESTS_DEFERRED"));
        latencyBounds.clear();
        for (const std::string& bound : splitList(answer.get("LATENCY_BOUNDS"), ','))
            if (!bound.empty() && latencyBounds.size() < kMostLatencyBounds)
                latencyBounds.push_back(std::strtod(bound.c_str(), nullptr));
        // As many as the names say, whatever the count claims.
        std::size_t count = splitList(answer.get("NAMES"), ',').size();
        if (toCount(answer.get("PROTOCOLS")) < count)
            count = static_cast<std::size_t>(toCount(answer.get("PROTOCOLS")));
        protocols.assign(count, ProtocolMetrics());
        if (protocols.empty()) return true;
        auto list = [&](const char* key) { return splitList(answer.get(key), ','); };
        auto each = [&](const char* key, auto&& take) {
            std::vector<std::string> items = list(key);
            for (std::size_t index = 0; index < protocols.size() && index < items.size(); ++index)
                take(protocols[index], items[index]);
        };
        auto numbers = [](const std::string& item, Count* into, std::size_t size) {
            std::vector<std::string> parts = splitList(item, '/');
            for (std::size_t index = 0; index < size && index < parts.size(); ++index)
                into[index] = toCount(parts[index]);
        };
        each("NAMES", [](ProtocolMetrics& p, const std::string& s) { p.name = unescape(s); });
        each("STATES", [](ProtocolMetrics& p, const std::string& s) { p.state = s; });
        each("SINCE", [](ProtocolMetrics& p, const std::string& s) {
            p.since = std::strtoll(s.c_str(), nullptr, 10);
        });
        each("RECORDS", [](ProtocolMetrics& p, const std::string& s) { p.records = toCount(s); });
        each("ANSWERS",
             [&](ProtocolMetrics& p, const std::string& s) { numbers(s, p.answers, 3); });
        each("DB_RECORDS",
             [](ProtocolMetrics& p, const std::string& s) { p.databaseRecords = toCount(s); });
        each("DB_ANSWERS",
             [&](ProtocolMetrics& p, const std::string& s) { numbers(s, p.databaseAnswers, 3); });
        each("FAULTS", [](ProtocolMetrics& p, const std::string& s) { p.faults = toCount(s); });
        each("STARTS", [&](ProtocolMetrics& p, const std::string& s) {
            Count both[2] = {};
            numbers(s, both, 2);
            p.starts = both[0];
            p.failedStarts = both[1];
        });
        each("LAST_FAILURES",
             [](ProtocolMetrics& p, const std::string& s) { p.lastFailure = unescape(s); });
        each("LAST_FAILURE_TIMES", [](ProtocolMetrics& p, const std::string& s) {
            p.lastFailureTime = std::strtoll(s.c_str(), nullptr, 10);
        });
        each("LATENCY", [&](ProtocolMetrics& p, const std::string& s) {
            p.latency.assign(latencyBounds.size() + 1, 0);
            if (s.empty()) return;
            std::vector<std::string> buckets = splitList(s, '/');
            for (std::size_t index = 0; index < buckets.size() && index < p.latency.size(); ++index)
                p.latency[index] = toCount(buckets[index]);
        });
        each("LATENCY_SUMS", [](ProtocolMetrics& p, const std::string& s) {
            p.latencySum = std::strtod(s.c_str(), nullptr);
        });
        each("DATABASE_NAMES", [](ProtocolMetrics& p, const std::string& s) {
            if (s.empty()) return;
            for (const std::string& name : splitList(s, ';')) {
                p.databases.emplace_back();
                p.databases.back().name = unescape(name);
            }
        });
        each("DATABASE_ANSWERS", [&](ProtocolMetrics& p, const std::string& s) {
            std::vector<std::string> items = splitList(s, ';');
            for (std::size_t index = 0; index < p.databases.size() && index < items.size(); ++index)
                numbers(items[index], p.databases[index].answers, 3);
        });
        each("DATABASE_FAULTS", [](ProtocolMetrics& p, const std::string& s) {
            std::vector<std::string> items = splitList(s, ';');
            for (std::size_t index = 0; index < p.databases.size() && index < items.size(); ++index)
                p.databases[index].faults = toCount(items[index]);
        });
        return true;
    }
};

}  // namespace ostra_metrics
