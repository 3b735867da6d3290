#include "OstraService/MetricsAnswer.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "common/Record.h"

namespace {

using metrics::Count;

void appendCount(std::string& out, Count value) {
    char digits[24];
    int at = sizeof digits;
    do {
        digits[--at] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    out.append(digits + at, sizeof digits - static_cast<size_t>(at));
}

void appendSeconds(std::string& out, metrics::WallClock::time_point when) {
    if (when == metrics::WallClock::time_point()) {
        out += '0';
        return;
    }
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch());
    appendCount(out, static_cast<Count>(seconds.count()));
}

void appendDecimal(std::string& out, double value) {
    char text[32];
    int length = std::snprintf(text, sizeof text, "%.9g", value);
    out.append(text, static_cast<size_t>(length));
}

// Nanoseconds as seconds with up to nine decimals, without the cost of a
// printf per protocol.
void appendNanosecondsAsSeconds(std::string& out, Count nanoseconds) {
    appendCount(out, nanoseconds / 1000000000);
    Count fraction = nanoseconds % 1000000000;
    if (fraction == 0) return;
    char digits[11] = ".000000000";
    for (int at = 9; at >= 1; --at, fraction /= 10)
        digits[at] = static_cast<char>('0' + fraction % 10);
    int length = 10;
    while (digits[length - 1] == '0') --length;
    out.append(digits, static_cast<size_t>(length));
}

// A text in a list: a backslash before every character that separates.
void appendText(std::string& out, const std::string& text) {
    for (char c : text) {
        if (c == '\\' || c == ',' || c == ';' || c == '/') out += '\\';
        out += c;
    }
}

void appendTriple(std::string& out, const Count (&counts)[3]) {
    appendCount(out, counts[0]);
    out += '/';
    appendCount(out, counts[1]);
    out += '/';
    appendCount(out, counts[2]);
}

void appendAnswers(std::string& out, const metrics::AnswerCounts& answers) {
    Count counts[3] = {answers.answered0.read(), answers.answered1.read(),
                       answers.answered3.read()};
    appendTriple(out, counts);
}

// The lists, one item per protocol.
struct Lists {
    std::string names, states, since, records, answers, databaseRecords, databaseAnswers, faults,
        starts, lastFailures, lastFailureTimes, latency, latencySums, databaseNames,
        databaseAnswerLists, databaseFaults;

    void separate() {
        for (std::string* list :
             {&names, &states, &since, &records, &answers, &databaseRecords, &databaseAnswers,
              &faults, &starts, &lastFailures, &lastFailureTimes, &latency, &latencySums,
              &databaseNames, &databaseAnswerLists, &databaseFaults})
            *list += ',';
    }

    void reserve(size_t protocols) {
        for (std::string* list :
             {&names, &states, &since, &records, &answers, &databaseRecords, &databaseAnswers,
              &faults, &starts, &lastFailures, &lastFailureTimes, &latencySums, &databaseNames,
              &databaseAnswerLists, &databaseFaults})
            list->reserve(protocols * 24);
        latency.reserve(protocols * 48);
    }

    void add(const metrics::ProtocolCounters& protocol, bool stopping) {
        const metrics::AnswerCounts& fromDatabases = protocol.databaseAnswers;
        Count databaseAnswered[3] = {fromDatabases.answered0.read(), fromDatabases.answered1.read(),
                                     fromDatabases.answered3.read()};
        appendCount(databaseRecords,
                    databaseAnswered[0] + databaseAnswered[1] + databaseAnswered[2]);
        appendTriple(databaseAnswers, databaseAnswered);
        appendCount(faults, protocol.faults.read());
        // Trailing empty buckets are left out: most records fall into a few.
        Count buckets[metrics::kLatencyBuckets];
        int used = 0;
        for (int bucket = 0; bucket < metrics::kLatencyBuckets; ++bucket) {
            buckets[bucket] = protocol.latency.bucket(bucket);
            if (buckets[bucket] != 0) used = bucket + 1;
        }
        for (int bucket = 0; bucket < used; ++bucket) {
            if (bucket > 0) latency += '/';
            appendCount(latency, buckets[bucket]);
        }
        appendNanosecondsAsSeconds(latencySums, protocol.latency.sumNanoseconds());
        protocol.read([&](const metrics::ProtocolCounters::Guarded& guarded) {
            metrics::ProtocolCounters::Relayed relayed = protocol.relayedLocked();
            appendCount(records, relayed.records());
            Count relayAnswered[3] = {relayed.answered0, relayed.answered1, relayed.answered3};
            appendTriple(answers, relayAnswered);
            appendText(names, guarded.name);
            states +=
                metrics::stateWord(stopping ? metrics::ProtocolState::kStopped : guarded.state);
            appendSeconds(since, guarded.since);
            appendCount(starts, guarded.starts);
            starts += '/';
            appendCount(starts, guarded.failedStarts);
            appendText(lastFailures, guarded.lastFailure);
            appendSeconds(lastFailureTimes, guarded.lastFailureTime);
            for (size_t position = 0; position < guarded.databases.size(); ++position) {
                if (position > 0) {
                    databaseNames += ';';
                    databaseAnswerLists += ';';
                    databaseFaults += ';';
                }
                appendText(databaseNames, guarded.databaseNames[position]);
                appendAnswers(databaseAnswerLists, guarded.databases[position].answers);
                appendCount(databaseFaults, guarded.databases[position].faults.read());
            }
        });
    }
};

}  // namespace

void writeMetrics(const HostNumbers& host,
                  const std::vector<std::shared_ptr<metrics::ProtocolCounters>>& protocols,
                  bool stopping, Record& answer) {
    std::string text;
    auto setCount = [&](const char* key, Count value) {
        text.clear();
        appendCount(text, value);
        answer.set(key, text.c_str());
    };
    answer.set("HOST", stopping ? "STOPPING" : "RUNNING");
    setCount("UPTIME", host.uptimeSeconds);
    setCount("LOG_LINES", host.logLines);
    setCount("LOG_LINES_LOST", host.logLinesLost);
    setCount("REQUESTS", host.requests);
    setCount("REQUESTS_DEFERRED", host.requestsDeferred);
    static const std::string bounds = [] {
        std::string list;
        for (double bound : metrics::kLatencyBounds) {
            if (!list.empty()) list += ',';
            appendDecimal(list, bound);
        }
        return list;
    }();
    answer.set("LATENCY_BOUNDS", bounds.c_str());
    setCount("PROTOCOLS", protocols.size());

    Lists lists;
    lists.reserve(protocols.size());
    for (size_t index = 0; index < protocols.size(); ++index) {
        if (index > 0) lists.separate();
        lists.add(*protocols[index], stopping);
    }
    answer.set("NAMES", lists.names.c_str());
    answer.set("STATES", lists.states.c_str());
    answer.set("SINCE", lists.since.c_str());
    answer.set("RECORDS", lists.records.c_str());
    answer.set("ANSWERS", lists.answers.c_str());
    answer.set("DB_RECORDS", lists.databaseRecords.c_str());
    answer.set("DB_ANSWERS", lists.databaseAnswers.c_str());
    answer.set("FAULTS", lists.faults.c_str());
    answer.set("STARTS", lists.starts.c_str());
    answer.set("LAST_FAILURES", lists.lastFailures.c_str());
    answer.set("LAST_FAILURE_TIMES", lists.lastFailureTimes.c_str());
    answer.set("LATENCY", lists.latency.c_str());
    answer.set("LATENCY_SUMS", lists.latencySums.c_str());
    answer.set("DATABASE_NAMES", lists.databaseNames.c_str());
    answer.set("DATABASE_ANSWERS", lists.databaseAnswerLists.c_str());
    answer.set("DATABASE_FAULTS", lists.databaseFaults.c_str());
}
