#include "OstraService/MetricsAnswer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>

#include "OstraService/ListText.h"
#include "common/Record.h"

// The numbers are taken in one pass (each protocol's under its lock) into
// plain rows, then each list is written from the rows through a local
// pointer into a buffer sized for its longest possible text. Writing the
// sixteen lists side by side instead, a piece at a time, cost twice as much:
// every append went through a pointer kept in memory.
namespace {

using metrics::Count;

struct ProtocolRow {
    Count relayed[3];     // the relay's answers 0, 1, 3 to the protocol's records
    Count toDatabase[3];  // the protocol's answers to the databases' records
    Count faults;
    Count starts, failedStarts;
    Count since, lastFailureTime;  // seconds since the epoch, 0 for never
    metrics::ProtocolState state;
    Count latencySum;
    std::size_t databases;
};

struct DatabaseRow {
    Count answers[3];
    Count faults;
};

Count secondsOf(metrics::WallClock::time_point when) {
    if (when == metrics::WallClock::time_point()) return 0;
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch());
    return static_cast<Count>(seconds.count());
}

char* putTriple(char* at, const Count (&counts)[3]) {
    at = putCount(at, counts[0]);
    *at++ = '/';
    at = putCount(at, counts[1]);
    *at++ = '/';
    return putCount(at, counts[2]);
}

// Nanoseconds as seconds with up to nine decimals, without the cost of a
// printf per protocol.
char* putNanosecondsAsSeconds(char* at, Count nanoseconds) {
    at = putCount(at, nanoseconds / 1000000000);
    Count fraction = nanoseconds % 1000000000;
    if (fraction == 0) return at;
    char digits[11] = ".000000000";
    for (int place = 9; place >= 1; --place, fraction /= 10)
        digits[place] = static_cast<char>('0' + fraction % 10);
    int length = 10;
    while (digits[length - 1] == '0') --length;
    std::copy(digits, digits + length, at);
    return at + length;
}

// The texts (and the histograms, of varying length) are written while the
// numbers are taken; the rows keep the other numbers.
struct Snapshot {
    std::vector<ProtocolRow> protocols;
    std::vector<DatabaseRow> databases;  // every protocol's, in order
    ListText names, lastFailures, latency, databaseNames;
    // The reports, copied as the slots keep them (already list text).
    std::string protocolStates, protocolReasons, protocolNumbers;
    std::string databaseStates, databaseReasons, databaseNumbers;
    reports::Clock::time_point now = reports::Clock::now();

    explicit Snapshot(std::size_t count)
        : names(count * 8), lastFailures(count * 2), latency(count * 8), databaseNames(count * 16) {
        protocols.reserve(count);
        databases.reserve(count * 2);
        protocolStates.reserve(count * 4);
        databaseStates.reserve(count * 32);
        databaseNumbers.reserve(count * 512);
        databaseReasons.reserve(count * 128);
        protocolReasons.reserve(count * 4);
        protocolNumbers.reserve(count * 16);
    }

    void add(const metrics::ProtocolCounters& counters, bool stopping) {
        if (!protocols.empty()) {
            names.put(',');
            lastFailures.put(',');
            latency.put(',');
            databaseNames.put(',');
            for (std::string* list : {&protocolStates, &protocolReasons, &protocolNumbers,
                                      &databaseStates, &databaseReasons, &databaseNumbers})
                *list += ',';
        }
        counters.protocolReport.appendTo(protocolStates, protocolReasons, protocolNumbers, now);
        ProtocolRow row;  // every field is set below
        const metrics::AnswerCounts& fromDatabases = counters.databaseAnswers;
        row.toDatabase[0] = fromDatabases.answered0.read();
        row.toDatabase[1] = fromDatabases.answered1.read();
        row.toDatabase[2] = fromDatabases.answered3.read();
        row.faults = counters.faults.read();
        addLatency(counters.latency);
        row.latencySum = counters.latency.sumNanoseconds();
        counters.read([&](const metrics::ProtocolCounters::Guarded& guarded) {
            metrics::ProtocolCounters::Relayed relayed = counters.relayedLocked();
            row.relayed[0] = relayed.answered0;
            row.relayed[1] = relayed.answered1;
            row.relayed[2] = relayed.answered3;
            row.state = stopping ? metrics::ProtocolState::kStopped : guarded.state;
            row.since = secondsOf(guarded.since);
            row.starts = guarded.starts;
            row.failedStarts = guarded.failedStarts;
            row.lastFailureTime = secondsOf(guarded.lastFailureTime);
            row.databases = guarded.databases.size();
            names.putText(guarded.name);
            lastFailures.putText(guarded.lastFailure);
            for (size_t position = 0; position < guarded.databases.size(); ++position) {
                if (position > 0) {
                    databaseNames.put(';');
                    databaseStates += ';';
                    databaseReasons += ';';
                    databaseNumbers += ';';
                }
                databaseNames.putText(guarded.databaseNames[position]);
                const metrics::DatabaseCounters& database = guarded.databases[position];
                database.report.appendTo(databaseStates, databaseReasons, databaseNumbers, now);
                databases.push_back(
                    {{database.answers.answered0.read(), database.answers.answered1.read(),
                      database.answers.answered3.read()},
                     database.faults.read()});
            }
        });
        protocols.push_back(row);
    }

    // Trailing empty buckets are left out: most records fall into a few.
    void addLatency(const metrics::LatencyHistogram& histogram) {
        Count buckets[metrics::kLatencyBuckets];
        int used = 0;
        for (int bucket = 0; bucket < metrics::kLatencyBuckets; ++bucket) {
            buckets[bucket] = histogram.bucket(bucket);
            if (buckets[bucket] != 0) used = bucket + 1;
        }
        for (int bucket = 0; bucket < used; ++bucket) {
            if (bucket > 0) latency.put('/');
            latency.putCount(buckets[bucket]);
        }
    }
};

// Writes one list into `buffer` (room for `itemBytes` per protocol and
// `databaseBytes` per database) and sets it under `key`.
class ListWriter {
public:
    ListWriter(const Snapshot& snapshot, Record& answer) : snapshot_(snapshot), answer_(answer) {}

    // `write(at, row)` writes a protocol's item and returns where it ended.
    template <typename Write>
    void set(const char* key, std::size_t itemBytes, Write write) {
        char* at = room(snapshot_.protocols.size() * (itemBytes + 1));
        bool first = true;
        for (const ProtocolRow& row : snapshot_.protocols) {
            if (!first) *at++ = ',';  // an item may be empty
            first = false;
            at = write(at, row);
        }
        finish(at);
        answer_.set(key, buffer_.get());
    }

    // `write(at, database)` writes a database's item: items of one protocol
    // are separated by ';'.
    template <typename Write>
    void setPerDatabase(const char* key, std::size_t itemBytes, Write write) {
        char* at = room(snapshot_.protocols.size() + snapshot_.databases.size() * (itemBytes + 1));
        const DatabaseRow* database = snapshot_.databases.data();
        bool first = true;
        for (const ProtocolRow& row : snapshot_.protocols) {
            if (!first) *at++ = ',';
            first = false;
            for (std::size_t position = 0; position < row.databases; ++position, ++database) {
                if (position > 0) *at++ = ';';
                at = write(at, *database);
            }
        }
        finish(at);
        answer_.set(key, buffer_.get());
    }

private:
    char* room(std::size_t bytes) {
        if (size_ < bytes + 1) {
            buffer_.reset(new char[bytes + 1]);  // not zeroed: only what is written is read
            size_ = bytes + 1;
        }
        return buffer_.get();
    }
    static void finish(char* at) { *at = '\0'; }

    const Snapshot& snapshot_;
    Record& answer_;
    std::unique_ptr<char[]> buffer_;
    std::size_t size_ = 0;
};

}  // namespace

void writeMetrics(const HostNumbers& host,
                  const std::vector<std::shared_ptr<metrics::ProtocolCounters>>& protocols,
                  bool stopping, Record& answer, const HostReports& reports) {
    auto setCount = [&](const char* key, Count value) {
        char text[kCountDigits + 1];
        *putCount(text, value) = '\0';
        answer.set(key, text);
    };
    answer.set("HOST", stopping ? "STOPPING" : "RUNNING");
    answer.set("VERSION", OSTRA_VERSION_TEXT);
    setCount("UPTIME", host.uptimeSeconds);
    setCount("LOG_LINES", host.logLines);
    setCount("LOG_LINES_LOST", host.logLinesLost);
    answer.set("LOG_LOSING", host.logLosing ? "1" : "0");
    setCount("REQUESTS", host.requests);
    setCount("REQUESTS_DEFERRED", host.requestsDeferred);
    answer.set("CONFIGURATION", host.configuration.c_str());
    setCount("CONFIGURATION_LOADED", static_cast<Count>(host.configurationLoaded));
    answer.set("RELOAD_REFUSED", host.reloadRefused.c_str());
    static const std::string bounds = [] {
        std::string list;
        for (double bound : metrics::kLatencyBounds) {
            if (!list.empty()) list += ',';
            char text[32];
            int length = std::snprintf(text, sizeof text, "%.9g", bound);
            list.append(text, static_cast<size_t>(length));
        }
        return list;
    }();
    answer.set("LATENCY_BOUNDS", bounds.c_str());
    setCount("PROTOCOLS", protocols.size());

    Snapshot snapshot(protocols.size());
    for (const auto& counters : protocols) snapshot.add(*counters, stopping);

    constexpr std::size_t kTriple = 3 * kCountDigits + 2;
    ListWriter lists(snapshot, answer);
    answer.set("NAMES", snapshot.names.c_str());
    lists.set("STATES", 8, [](char* at, const ProtocolRow& row) {
        const char* word = metrics::stateWord(row.state);
        std::size_t length = std::char_traits<char>::length(word);
        return std::copy(word, word + length, at);
    });
    lists.set("SINCE", kCountDigits,
              [](char* at, const ProtocolRow& row) { return putCount(at, row.since); });
    lists.set("RECORDS", kCountDigits, [](char* at, const ProtocolRow& row) {
        return putCount(at, row.relayed[0] + row.relayed[1] + row.relayed[2]);
    });
    lists.set("ANSWERS", kTriple,
              [](char* at, const ProtocolRow& row) { return putTriple(at, row.relayed); });
    lists.set("DB_RECORDS", kCountDigits, [](char* at, const ProtocolRow& row) {
        return putCount(at, row.toDatabase[0] + row.toDatabase[1] + row.toDatabase[2]);
    });
    lists.set("DB_ANSWERS", kTriple,
              [](char* at, const ProtocolRow& row) { return putTriple(at, row.toDatabase); });
    lists.set("FAULTS", kCountDigits,
              [](char* at, const ProtocolRow& row) { return putCount(at, row.faults); });
    lists.set("STARTS", 2 * kCountDigits + 1, [](char* at, const ProtocolRow& row) {
        at = putCount(at, row.starts);
        *at++ = '/';
        return putCount(at, row.failedStarts);
    });
    answer.set("LAST_FAILURES", snapshot.lastFailures.c_str());
    lists.set("LAST_FAILURE_TIMES", kCountDigits,
              [](char* at, const ProtocolRow& row) { return putCount(at, row.lastFailureTime); });
    answer.set("LATENCY", snapshot.latency.c_str());
    lists.set("LATENCY_SUMS", kCountDigits + 10, [](char* at, const ProtocolRow& row) {
        return putNanosecondsAsSeconds(at, row.latencySum);
    });
    answer.set("DATABASE_NAMES", snapshot.databaseNames.c_str());
    lists.setPerDatabase("DATABASE_ANSWERS", kTriple, [](char* at, const DatabaseRow& database) {
        return putTriple(at, database.answers);
    });
    lists.setPerDatabase(
        "DATABASE_FAULTS", kCountDigits,
        [](char* at, const DatabaseRow& database) { return putCount(at, database.faults); });

    answer.set("PROTOCOL_REPORTS", snapshot.protocolStates.c_str());
    answer.set("PROTOCOL_REASONS", snapshot.protocolReasons.c_str());
    answer.set("PROTOCOL_NUMBERS", snapshot.protocolNumbers.c_str());
    answer.set("DATABASE_STATES", snapshot.databaseStates.c_str());
    answer.set("DATABASE_REASONS", snapshot.databaseReasons.c_str());
    answer.set("DATABASE_NUMBERS", snapshot.databaseNumbers.c_str());
    std::string help;
    if (reports.catalog != nullptr) reports.catalog->appendTo(help);
    answer.set("NUMBER_HELP", help.c_str());
    if (reports.control != nullptr) {
        std::string state, reason, numbers;
        reports.control->appendTo(state, reason, numbers, snapshot.now);
        answer.set("CONTROL_PLUGIN", reports.controlDll.c_str());
        answer.set("CONTROL_REPORT", state.c_str());
        answer.set("CONTROL_REASON", reason.c_str());
        answer.set("CONTROL_NUMBERS", numbers.c_str());
    }
}
