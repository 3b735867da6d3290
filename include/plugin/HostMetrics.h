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

// A number a plug-in object reported (PluginExtension.h).
struct ReportedNumber {
    std::string name;  // as the plug-in said it, without ostraservice_
    double value = 0;
};

// What a plug-in object said of itself at the host's last look.
struct PluginReport {
    // OK, DEGRADED or FAILING as it said; NOT_ANSWERING (asked and silent
    // past the host's deadline); NOT_LOADED (its library did not load);
    // "" when it says nothing (no report in its library, or not started).
    std::string state;
    std::string reason;
    std::vector<ReportedNumber> numbers;

    // The entries of a METRICS item: state, reason, "name=value/...".
    void read(const std::string& stateItem, const std::string& reasonItem,
              const std::string& numbersItem) {
        state = stateItem;
        reason = unescape(reasonItem);
        numbers.clear();
        if (numbersItem.empty()) return;
        for (const std::string& pair : splitList(numbersItem, '/')) {
            std::size_t equals = pair.find('=');
            if (equals == std::string::npos) continue;
            numbers.push_back(
                {pair.substr(0, equals), std::strtod(pair.c_str() + equals + 1, nullptr)});
        }
    }
};

// How a number of that name is to be read, as the first library to say it
// described it.
struct NumberHelp {
    std::string name;
    bool counter = false;  // only grows; false: a gauge
    std::string help;
};

struct DatabaseMetrics {
    std::string name;       // its library as configured; "#2" added to a repeated one
    Count answers[3] = {};  // its processRecord's 0, 1 and 3
    Count faults = 0;       // exceptions out of it
    PluginReport report;    // what it says of itself
};

struct ProtocolMetrics {
    std::string name;
    // RUNNING, STOPPED (by a command), FAILING, or DEGRADED (it runs, but a
    // database library did not load)
    std::string state;
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
    PluginReport report;  // what the protocol plug-in says of itself

    // Why its plug-ins keep it from being healthy, in one line: a database
    // library that did not load, a plug-in that reports FAILING or does not
    // answer. "" when none does.
    std::string trouble() const {
        std::string said;
        auto add = [&said](const std::string& who, const PluginReport& report) {
            std::string what;
            if (report.state == "NOT_LOADED")
                what = "its library " + who + " did not load";
            else if (report.state == "FAILING")
                what = who + " is failing" + (report.reason.empty() ? "" : ": " + report.reason);
            else if (report.state == "NOT_ANSWERING")
                what = who + " does not answer";
            if (what.empty()) return;
            said += (said.empty() ? "" : "; ") + what;
        };
        add("the protocol plug-in", report);
        for (const DatabaseMetrics& database : databases) add(database.name, database.report);
        return said;
    }

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
    std::string version;    // the host's version; "" from older hosts
    Count uptime = 0, logLines = 0, logLinesLost = 0, requests = 0, requestsDeferred = 0;
    bool logLosing = false;             // the log file loses lines now
    std::string configuration;          // the configuration's hash; "" from older hosts
    Count configurationLoaded = 0;      // when it was read
    std::string reloadRefused;          // why the last reload was refused; "" when it was not
    std::vector<double> latencyBounds;  // seconds; one bucket more takes the rest
    std::vector<ProtocolMetrics> protocols;
    std::string controlPlugin;  // the control plug-in's library; "" from older hosts
    PluginReport control;       // what it says of itself
    std::vector<NumberHelp> numberHelp;

    // False when `answer` is no METRICS answer.
    bool read(const Record& answer) {
        if (!answer.has("PROTOCOLS")) return false;
        state = answer.get("ANSWER");
        stopping = std::string(answer.get("HOST")) == "STOPPING";
        version = answer.get("VERSION");
        uptime = toCount(answer.get("UPTIME"));
        logLines = toCount(answer.get("LOG_LINES"));
        logLinesLost = toCount(answer.get("LOG_LINES_LOST"));
        logLosing = std::string(answer.get("LOG_LOSING")) == "1";
        configuration = answer.get("CONFIGURATION");
        configurationLoaded = toCount(answer.get("CONFIGURATION_LOADED"));
        reloadRefused = answer.get("RELOAD_REFUSED");
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
        controlPlugin = answer.get("CONTROL_PLUGIN");
        control.read(answer.get("CONTROL_REPORT"), answer.get("CONTROL_REASON"),
                     answer.get("CONTROL_NUMBERS"));
        numberHelp.clear();
        for (const std::string& item : splitList(answer.get("NUMBER_HELP"), ',')) {
            std::vector<std::string> parts = splitList(item, '/');
            if (parts.size() < 3 || parts[0].empty()) continue;
            numberHelp.push_back({parts[0], parts[1] == "counter", unescape(parts[2])});
        }
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
        std::vector<std::string> states = list("PROTOCOL_REPORTS"),
                                 reasons = list("PROTOCOL_REASONS"),
                                 numbersOf = list("PROTOCOL_NUMBERS");
        std::vector<std::string> databaseStates = list("DATABASE_STATES"),
                                 databaseReasons = list("DATABASE_REASONS"),
                                 databaseNumbers = list("DATABASE_NUMBERS");
        auto at = [](const std::vector<std::string>& items, std::size_t index) {
            return index < items.size() ? items[index] : std::string();
        };
        for (std::size_t index = 0; index < protocols.size(); ++index) {
            ProtocolMetrics& p = protocols[index];
            p.report.read(at(states, index), at(reasons, index), at(numbersOf, index));
            std::vector<std::string> dbStates = splitList(at(databaseStates, index), ';'),
                                     dbReasons = splitList(at(databaseReasons, index), ';'),
                                     dbNumbers = splitList(at(databaseNumbers, index), ';');
            for (std::size_t position = 0; position < p.databases.size(); ++position)
                p.databases[position].report.read(at(dbStates, position), at(dbReasons, position),
                                                  at(dbNumbers, position));
        }
        return true;
    }
};

}  // namespace ostra_metrics
