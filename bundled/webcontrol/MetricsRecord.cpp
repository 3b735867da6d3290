#include "MetricsRecord.h"

#include <cstdlib>
#include <limits>

#include "common/Record.h"

namespace webcontrol {

namespace {

Count count(const char* text) { return std::strtoull(text, nullptr, 10); }

// "a,b,c" into up to `size` numbers.
void counts(const char* text, Count* out, std::size_t size) {
    for (std::size_t index = 0; index < size; ++index) {
        char* end = nullptr;
        out[index] = std::strtoull(text, &end, 10);
        if (*end != ',') return;
        text = end + 1;
    }
}

template <typename Number, typename Convert>
std::vector<Number> list(const char* text, Convert convert) {
    std::vector<Number> values;
    while (*text != '\0') {
        char* end = nullptr;
        values.push_back(convert(text, &end));
        if (end == text) break;
        text = *end == ',' ? end + 1 : end;
    }
    return values;
}

class Keys {
public:
    Keys(const Record& record, std::string prefix) : record_(record), prefix_(std::move(prefix)) {}
    const char* name(const char* key) {
        name_.assign(prefix_).append(key);
        return name_.c_str();
    }
    const char* operator[](const char* key) { return record_.get(name(key)); }

private:
    const Record& record_;
    std::string prefix_, name_;
};

}  // namespace

double ProtocolNumbers::latencyQuantile(double share, const std::vector<double>& bounds) const {
    Count total = 0;
    for (Count bucket : latency) total += bucket;
    if (total == 0) return -1;
    Count wanted = static_cast<Count>(share * static_cast<double>(total) + 0.5);
    if (wanted == 0) wanted = 1;
    Count seen = 0;
    for (std::size_t index = 0; index < latency.size(); ++index) {
        seen += latency[index];
        if (seen >= wanted)
            return index < bounds.size() ? bounds[index] : std::numeric_limits<double>::infinity();
    }
    return std::numeric_limits<double>::infinity();
}

bool readMetrics(const Record& answer, HostNumbers& numbers) {
    if (!answer.has("PROTOCOLS")) return false;
    numbers.state = answer.get("ANSWER");
    numbers.uptime = count(answer.get("UPTIME"));
    numbers.logLines = count(answer.get("LOG_LINES"));
    numbers.logLinesLost = count(answer.get("LOG_LINES_LOST"));
    numbers.requests = count(answer.get("REQUESTS"));
    numbers.requestsDeferred = count(answer.get("REQUESTS_DEFERRED"));
    numbers.latencyBounds =
        list<double>(answer.get("LATENCY_BOUNDS"),
                     [](const char* text, char** end) { return std::strtod(text, end); });
    Count protocols = count(answer.get("PROTOCOLS"));
    numbers.protocols.clear();
    for (Count index = 1;
         index <= protocols && answer.has(("P" + std::to_string(index) + "_NAME").c_str());
         ++index) {
        Keys keys(answer, "P" + std::to_string(index) + "_");
        ProtocolNumbers protocol;
        protocol.name = keys["NAME"];
        protocol.state = keys["STATE"];
        protocol.since = std::strtoll(keys["SINCE"], nullptr, 10);
        protocol.records = count(keys["RECORDS"]);
        counts(keys["ANSWERS"], protocol.answers, 3);
        protocol.databaseRecords = count(keys["DB_RECORDS"]);
        counts(keys["DB_ANSWERS"], protocol.databaseAnswers, 3);
        protocol.faults = count(keys["FAULTS"]);
        protocol.starts = count(keys["STARTS"]);
        protocol.failedStarts = count(keys["FAILED_STARTS"]);
        protocol.lastFailure = keys["LAST_FAILURE"];
        protocol.lastFailureTime = std::strtoll(keys["LAST_FAILURE_TIME"], nullptr, 10);
        protocol.latency = list<Count>(keys["LATENCY"], [](const char* text, char** end) {
            return std::strtoull(text, end, 10);
        });
        protocol.latencySum = std::strtod(keys["LATENCY_SUM"], nullptr);
        Count databases = count(keys["DATABASES"]);
        for (Count position = 1; position <= databases; ++position) {
            Keys databaseKeys(answer,
                              "P" + std::to_string(index) + "_D" + std::to_string(position) + "_");
            if (!answer.has(databaseKeys.name("NAME"))) break;
            ProtocolNumbers::Database database;
            database.name = databaseKeys["NAME"];
            counts(databaseKeys["ANSWERS"], database.answers, 3);
            database.faults = count(databaseKeys["FAULTS"]);
            protocol.databases.push_back(std::move(database));
        }
        numbers.protocols.push_back(std::move(protocol));
    }
    return true;
}

}  // namespace webcontrol
