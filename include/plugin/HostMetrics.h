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

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "common/Record.h"

namespace ostra_metrics {

using Count = std::uint64_t;
// More bounds than any host writes: a longer list is cut here.
constexpr std::size_t kMostLatencyBounds = 64;

// `text` cut at every `separator` that no backslash keeps; the pieces keep
// their backslashes, for a list inside a list.
inline std::vector<std::string> splitList(std::string_view text, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '\\')
            ++at;  // the next character is kept, whatever it is
        else if (text[at] == separator) {
            pieces.emplace_back(text.substr(start, at - start));
            start = at + 1;
        }
    }
    pieces.emplace_back(text.substr(start < text.size() ? start : text.size()));
    return pieces;
}

// A piece of a list as the text it stands for.
inline std::string unescape(std::string_view piece) {
    std::string text;
    text.reserve(piece.size());
    for (std::size_t at = 0; at < piece.size(); ++at) {
        if (piece[at] == '\\' && at + 1 < piece.size()) ++at;
        text += piece[at];
    }
    return text;
}

// The same pieces as views into `text`, which must outlive them: reading
// an answer this way makes no string for a piece that is only a number.
inline std::vector<std::string_view> splitViews(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] == '\\')
            ++at;
        else if (text[at] == separator) {
            pieces.push_back(text.substr(start, at - start));
            start = at + 1;
        }
    }
    pieces.push_back(text.substr(start < text.size() ? start : text.size()));
    return pieces;
}

// The digits a piece starts with; 0 when none.
inline Count toCount(std::string_view text) {
    Count value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}
inline long long toSigned(std::string_view text) {
    long long value = 0;
    std::from_chars(text.data(), text.data() + text.size(), value);
    return value;
}
inline double toNumber(std::string_view text) {
    char buffer[64];
    const std::size_t length = text.size() < sizeof buffer - 1 ? text.size() : sizeof buffer - 1;
    text.copy(buffer, length);
    buffer[length] = '\0';
    return std::strtod(buffer, nullptr);
}

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
    void read(std::string_view stateItem, std::string_view reasonItem,
              std::string_view numbersItem) {
        state = std::string(stateItem);
        reason = unescape(reasonItem);
        numbers.clear();
        if (numbersItem.empty()) return;
        for (std::string_view pair : splitViews(numbersItem, '/')) {
            std::size_t equals = pair.find('=');
            if (equals == std::string_view::npos) continue;
            numbers.push_back(
                {std::string(pair.substr(0, equals)), toNumber(pair.substr(equals + 1))});
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
        // Views into the answer's values, which stay as they are meanwhile.
        using View = std::string_view;
        auto list = [&](const char* key) { return splitViews(answer.get(key), ','); };
        auto each = [&](const char* key, auto&& take) {
            std::vector<View> items = list(key);
            for (std::size_t index = 0; index < protocols.size() && index < items.size(); ++index)
                take(protocols[index], items[index]);
        };
        auto numbers = [](View item, Count* into, std::size_t size) {
            std::size_t index = 0;
            for (View part : splitViews(item, '/')) {
                if (index == size) break;
                into[index++] = toCount(part);
            }
        };
        each("NAMES", [](ProtocolMetrics& p, View s) { p.name = unescape(s); });
        each("STATES", [](ProtocolMetrics& p, View s) { p.state = std::string(s); });
        each("SINCE", [](ProtocolMetrics& p, View s) { p.since = toSigned(s); });
        each("RECORDS", [](ProtocolMetrics& p, View s) { p.records = toCount(s); });
        each("ANSWERS", [&](ProtocolMetrics& p, View s) { numbers(s, p.answers, 3); });
        each("DB_RECORDS", [](ProtocolMetrics& p, View s) { p.databaseRecords = toCount(s); });
        each("DB_ANSWERS", [&](ProtocolMetrics& p, View s) { numbers(s, p.databaseAnswers, 3); });
        each("FAULTS", [](ProtocolMetrics& p, View s) { p.faults = toCount(s); });
        each("STARTS", [&](ProtocolMetrics& p, View s) {
            Count both[2] = {};
            numbers(s, both, 2);
            p.starts = both[0];
            p.failedStarts = both[1];
        });
        each("LAST_FAILURES", [](ProtocolMetrics& p, View s) { p.lastFailure = unescape(s); });
        each("LAST_FAILURE_TIMES",
             [](ProtocolMetrics& p, View s) { p.lastFailureTime = toSigned(s); });
        each("LATENCY", [&](ProtocolMetrics& p, View s) {
            p.latency.assign(latencyBounds.size() + 1, 0);
            if (!s.empty()) numbers(s, p.latency.data(), p.latency.size());
        });
        each("LATENCY_SUMS", [](ProtocolMetrics& p, View s) { p.latencySum = toNumber(s); });
        each("DATABASE_NAMES", [](ProtocolMetrics& p, View s) {
            if (s.empty()) return;
            for (View name : splitViews(s, ';')) {
                p.databases.emplace_back();
                p.databases.back().name = unescape(name);
            }
        });
        each("DATABASE_ANSWERS", [&](ProtocolMetrics& p, View s) {
            std::vector<View> items = splitViews(s, ';');
            for (std::size_t index = 0; index < p.databases.size() && index < items.size(); ++index)
                numbers(items[index], p.databases[index].answers, 3);
        });
        each("DATABASE_FAULTS", [](ProtocolMetrics& p, View s) {
            std::vector<View> items = splitViews(s, ';');
            for (std::size_t index = 0; index < p.databases.size() && index < items.size(); ++index)
                p.databases[index].faults = toCount(items[index]);
        });
        std::vector<View> states = list("PROTOCOL_REPORTS"), reasons = list("PROTOCOL_REASONS"),
                          numbersOf = list("PROTOCOL_NUMBERS");
        std::vector<View> databaseStates = list("DATABASE_STATES"),
                          databaseReasons = list("DATABASE_REASONS"),
                          databaseNumbers = list("DATABASE_NUMBERS");
        auto at = [](const std::vector<View>& items, std::size_t index) {
            return index < items.size() ? items[index] : View();
        };
        for (std::size_t index = 0; index < protocols.size(); ++index) {
            ProtocolMetrics& p = protocols[index];
            p.report.read(at(states, index), at(reasons, index), at(numbersOf, index));
            if (p.databases.empty()) continue;
            std::vector<View> dbStates = splitViews(at(databaseStates, index), ';'),
                              dbReasons = splitViews(at(databaseReasons, index), ';'),
                              dbNumbers = splitViews(at(databaseNumbers, index), ';');
            for (std::size_t position = 0; position < p.databases.size(); ++position)
                p.databases[position].report.read(at(dbStates, position), at(dbReasons, position),
                                                  at(dbNumbers, position));
        }
        return true;
    }
};

}  // namespace ostra_metrics
