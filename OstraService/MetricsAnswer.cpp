#include "OstraService/MetricsAnswer.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "common/Record.h"

namespace {

std::string unixSeconds(metrics::WallClock::time_point when) {
    if (when == metrics::WallClock::time_point()) return "0";
    return std::to_string(
        std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch()).count());
}

std::string answerTriple(metrics::Count answered0, metrics::Count answered1,
                         metrics::Count answered3) {
    return std::to_string(answered0) + "," + std::to_string(answered1) + "," +
           std::to_string(answered3);
}

std::string decimal(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

// "P3_" + key, "P3_D2_" + key.
class Keys {
public:
    explicit Keys(std::string prefix) : prefix_(std::move(prefix)) {}
    void set(Record& record, const char* key, const std::string& value) {
        name_.assign(prefix_).append(key);
        record.set(name_.c_str(), value.c_str());
    }

private:
    std::string prefix_;
    std::string name_;
};

}  // namespace

void writeMetrics(const HostNumbers& host, const std::vector<metrics::ProtocolSnapshot>& protocols,
                  Record& answer) {
    answer.set("UPTIME", std::to_string(host.uptimeSeconds).c_str());
    answer.set("LOG_LINES", std::to_string(host.logLines).c_str());
    answer.set("LOG_LINES_LOST", std::to_string(host.logLinesLost).c_str());
    answer.set("REQUESTS", std::to_string(host.requests).c_str());
    answer.set("REQUESTS_DEFERRED", std::to_string(host.requestsDeferred).c_str());
    std::string bounds;
    for (double bound : metrics::kLatencyBounds)
        bounds += (bounds.empty() ? "" : ",") + decimal(bound);
    answer.set("LATENCY_BOUNDS", bounds.c_str());
    answer.set("PROTOCOLS", std::to_string(protocols.size()).c_str());

    for (std::size_t index = 0; index < protocols.size(); ++index) {
        const metrics::ProtocolSnapshot& protocol = protocols[index];
        Keys keys("P" + std::to_string(index + 1) + "_");
        keys.set(answer, "NAME", protocol.name);
        keys.set(answer, "STATE", metrics::stateWord(protocol.state));
        keys.set(answer, "SINCE", unixSeconds(protocol.since));
        keys.set(answer, "RECORDS", std::to_string(protocol.records));
        keys.set(answer, "ANSWERS",
                 answerTriple(protocol.answered0, protocol.answered1, protocol.answered3));
        keys.set(answer, "DB_RECORDS", std::to_string(protocol.databaseRecords));
        keys.set(answer, "DB_ANSWERS",
                 answerTriple(protocol.databaseAnswered0, protocol.databaseAnswered1,
                              protocol.databaseAnswered3));
        keys.set(answer, "FAULTS", std::to_string(protocol.faults));
        keys.set(answer, "STARTS", std::to_string(protocol.starts));
        keys.set(answer, "FAILED_STARTS", std::to_string(protocol.failedStarts));
        keys.set(answer, "LAST_FAILURE", protocol.lastFailure);
        keys.set(answer, "LAST_FAILURE_TIME", unixSeconds(protocol.lastFailureTime));
        std::string latency;
        for (int bucket = 0; bucket < metrics::kLatencyBuckets; ++bucket)
            latency += (bucket == 0 ? "" : ",") + std::to_string(protocol.latency[bucket]);
        keys.set(answer, "LATENCY", latency);
        keys.set(answer, "LATENCY_SUM", decimal(protocol.latencySum));
        keys.set(answer, "DATABASES", std::to_string(protocol.databases.size()));
        for (std::size_t position = 0; position < protocol.databases.size(); ++position) {
            const metrics::ProtocolSnapshot::Database& database = protocol.databases[position];
            Keys databaseKeys("P" + std::to_string(index + 1) + "_D" +
                              std::to_string(position + 1) + "_");
            databaseKeys.set(answer, "NAME", database.name);
            databaseKeys.set(
                answer, "ANSWERS",
                answerTriple(database.answered0, database.answered1, database.answered3));
            databaseKeys.set(answer, "FAULTS", std::to_string(database.faults));
        }
    }
}
