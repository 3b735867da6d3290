#include "Exposition.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <string_view>

#include "Utf8.h"

namespace webcontrol {

const char* const kExpositionContentType = "text/plain; version=0.0.4; charset=utf-8";

namespace {

using ostra_metrics::DatabaseMetrics;

const char* const kCodeLabels[] = {"code=\"0\"", "code=\"1\"", "code=\"3\""};

std::string number(double value) {
    char text[32];
    if (value == std::floor(value) && std::fabs(value) < 9.0e15) {
        // Most numbers are whole: written without printf's cost.
        char* end = std::to_chars(text, text + sizeof text, static_cast<long long>(value)).ptr;
        return std::string(text, end);
    }
    // As printf's "%.9g" writes it, without its locale and format parsing.
    char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::general, 9).ptr;
    return std::string(text, end);
}

class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}

    void family(const char* name, const char* type, const char* help) {
        out_ += "# HELP ";
        out_ += name;
        out_ += ' ';
        out_ += help;
        out_ += "\n# TYPE ";
        out_ += name;
        out_ += ' ';
        out_ += type;
        out_ += '\n';
    }
    // name{labels,more} value; the labels already escaped, without braces.
    // Written straight into the page: a sample costs no string of its own.
    void sample(const char* name, std::string_view labels, std::string_view more,
                std::string_view value) {
        out_ += name;
        if (!labels.empty() || !more.empty()) {
            out_ += '{';
            out_ += labels;
            if (!labels.empty() && !more.empty()) out_ += ',';
            out_ += more;
            out_ += '}';
        }
        out_ += ' ';
        out_ += value;
        out_ += '\n';
    }
    void sample(const char* name, std::string_view labels, std::string_view more, Count value) {
        char digits[24];
        char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        sample(name, labels, more,
               std::string_view(digits, static_cast<std::size_t>(end - digits)));
    }
    void sample(const char* name, std::string_view labels, Count value) {
        sample(name, labels, std::string_view(), value);
    }
    void sample(const char* name, std::string_view labels, const std::string& value) {
        sample(name, labels, std::string_view(), std::string_view(value));
    }
    void raw(const std::string& lines) { out_ += lines; }

private:
    std::string& out_;
};

std::string label(const char* name, const std::string& escapedValue) {
    return std::string(name) + "=\"" + escapedValue + "\"";
}

// Host text as the exposition takes it: UTF-8, with backslash and line
// feed escaped, and the double quote too in a label's value.
std::string escapedText(const std::string& text, bool inLabel) {
    std::string escaped;
    for (char c : bundled_support::hostTextToUtf8(text)) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '"' && inLabel)
            escaped += "\\\"";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

// A plug-in's help as a HELP line takes it.
std::string helpText(const std::string& text) { return escapedText(text, false); }

// Up while the protocol runs and the database neither failed to load nor
// reports FAILING or is silent past the host's deadline.
bool databaseUp(const ProtocolMetrics& protocol, const DatabaseMetrics& database) {
    const std::string& state = database.report.state;
    return (protocol.state == "RUNNING" || protocol.state == "DEGRADED") &&
           (state.empty() || state == "OK" || state == "DEGRADED");
}

// What the plug-ins say of themselves: each database's up, then each
// number the plug-ins report as a family of its own, ostraservice_<name>,
// its samples labelled by protocol and database (a protocol plug-in's by
// protocol, the control plug-in's by plugin).
void exposeReports(Writer& write, const HostMetrics& numbers,
                   const std::vector<std::string>& protocolLabels,
                   const std::vector<std::vector<std::string>>& databaseLabels) {
    const auto& protocols = numbers.protocols;
    write.family("ostraservice_database_up", "gauge",
                 "1 while the database's protocol runs and the database neither failed to load "
                 "nor reports failing, else 0.");
    for (std::size_t index = 0; index < protocols.size(); ++index)
        for (std::size_t position = 0; position < protocols[index].databases.size(); ++position)
            write.sample("ostraservice_database_up", databaseLabels[index][position],
                         Count(databaseUp(protocols[index], protocols[index].databases[position])));

    // Samples gathered per family in one pass, then written family by family.
    std::map<std::string, std::size_t> family;
    std::vector<std::string> samples(numbers.numberHelp.size());
    for (std::size_t index = 0; index < numbers.numberHelp.size(); ++index)
        family.emplace(numbers.numberHelp[index].name, index);
    auto gather = [&](const ostra_metrics::PluginReport& report, const std::string& labels) {
        for (const ostra_metrics::ReportedNumber& reported : report.numbers) {
            auto found = family.find(reported.name);
            if (found == family.end()) continue;
            std::string& into = samples[found->second];
            into += "ostraservice_";
            into += reported.name;
            into += '{';
            into += labels;
            into += "} ";
            into += number(reported.value);
            into += '\n';
        }
    };
    for (std::size_t index = 0; index < protocols.size(); ++index) {
        gather(protocols[index].report, protocolLabels[index]);
        for (std::size_t position = 0; position < protocols[index].databases.size(); ++position)
            gather(protocols[index].databases[position].report, databaseLabels[index][position]);
    }
    if (!numbers.controlPlugin.empty())
        gather(numbers.control, label("plugin", labelValue(numbers.controlPlugin)));
    for (std::size_t index = 0; index < numbers.numberHelp.size(); ++index) {
        if (samples[index].empty()) continue;
        const ostra_metrics::NumberHelp& help = numbers.numberHelp[index];
        const std::string name = "ostraservice_" + help.name;
        write.family(name.c_str(), help.counter ? "counter" : "gauge",
                     helpText(help.help.empty() ? help.name : help.help).c_str());
        write.raw(samples[index]);
    }
}

// Two protocols of one name would make one series twice, which Prometheus
// refuses: the second is "#2", and so on, skipping a "#n" that is the name
// of another protocol, so that every protocol's label is its own.
std::vector<std::string> distinctProtocolLabels(const HostMetrics& numbers) {
    std::set<std::string> names, used;
    for (const ProtocolMetrics& protocol : numbers.protocols) names.insert(protocol.name);
    std::vector<std::string> labels;
    for (const ProtocolMetrics& protocol : numbers.protocols) {
        std::string name = protocol.name;
        for (int same = 2; used.count(name) != 0; ++same) {
            name = protocol.name + "#" + std::to_string(same);
            if (names.count(name) != 0) name = protocol.name;  // another's own name: next
        }
        used.insert(name);
        labels.push_back(label("protocol", labelValue(name)));
    }
    return labels;
}

}  // namespace

std::string labelValue(const std::string& text) { return escapedText(text, true); }

std::string exposition(const HostMetrics& numbers) {
    std::string out;
    out.reserve(512 + numbers.protocols.size() * 8192);
    Writer write(out);
    write.family("ostraservice_uptime_seconds", "gauge", "Seconds since the host started.");
    write.sample("ostraservice_uptime_seconds", "", numbers.uptime);
    write.family("ostraservice_log_lines_total", "counter", "Lines written to the log file.");
    write.sample("ostraservice_log_lines_total", "", numbers.logLines);
    write.family("ostraservice_log_lines_lost_total", "counter",
                 "Lines the log file lost to failed writes.");
    write.sample("ostraservice_log_lines_lost_total", "", numbers.logLinesLost);
    write.family("ostraservice_control_requests_total", "counter", "Control requests served.");
    write.sample("ostraservice_control_requests_total", "", numbers.requests);
    write.family("ostraservice_control_requests_deferred_total", "counter",
                 "Control requests deferred to the host's run loop.");
    write.sample("ostraservice_control_requests_deferred_total", "", numbers.requestsDeferred);

    write.family("ostraservice_build_info", "gauge", "1, labelled with the host's version.");
    write.sample("ostraservice_build_info", label("version", labelValue(numbers.version)),
                 Count(1));

    if (!numbers.configuration.empty()) {
        write.family("ostraservice_configuration_info", "gauge",
                     "1, labelled with the hash of the configuration in force.");
        write.sample("ostraservice_configuration_info",
                     label("hash", labelValue(numbers.configuration)), Count(1));
        write.family("ostraservice_configuration_loaded_timestamp_seconds", "gauge",
                     "When the configuration in force was read (Unix seconds).");
        write.sample("ostraservice_configuration_loaded_timestamp_seconds", "",
                     numbers.configurationLoaded);
        write.family("ostraservice_configuration_last_reload_successful", "gauge",
                     "0 when the last reload was refused, 1 otherwise.");
        write.sample("ostraservice_configuration_last_reload_successful", "",
                     Count(numbers.reloadRefused.empty() ? 1 : 0));
    }

    std::vector<std::string> protocolLabels = distinctProtocolLabels(numbers);
    const auto& protocols = numbers.protocols;
    // Each database's labels, made once for its every family.
    std::vector<std::vector<std::string>> databaseLabels(protocols.size());
    for (std::size_t index = 0; index < protocols.size(); ++index)
        for (const DatabaseMetrics& database : protocols[index].databases)
            databaseLabels[index].push_back(protocolLabels[index] + "," +
                                            label("database", labelValue(database.name)));
    auto perProtocol = [&](const char* name, const char* type, const char* help, auto value) {
        write.family(name, type, help);
        for (std::size_t index = 0; index < protocols.size(); ++index)
            write.sample(name, protocolLabels[index], value(protocols[index]));
    };
    perProtocol("ostraservice_protocol_up", "gauge", "1 while the protocol runs, else 0.",
                [](const ProtocolMetrics& p) { return Count(p.state == "RUNNING"); });
    write.family("ostraservice_protocol_state", "gauge",
                 "1 for the protocol's state: running, degraded (a database library did "
                 "not load), stopped (by a command) or failing.");
    static const char* const kStates[] = {"RUNNING", "DEGRADED", "STOPPED", "FAILING"};
    static const char* const kStateLabels[] = {"state=\"running\"", "state=\"degraded\"",
                                               "state=\"stopped\"", "state=\"failing\""};
    for (std::size_t index = 0; index < protocols.size(); ++index)
        for (int state = 0; state < 4; ++state)
            write.sample("ostraservice_protocol_state", protocolLabels[index], kStateLabels[state],
                         Count(protocols[index].state == kStates[state]));
    perProtocol("ostraservice_protocol_state_since_timestamp_seconds", "gauge",
                "When the protocol entered its state (Unix time).",
                [](const ProtocolMetrics& p) { return Count(p.since); });
    perProtocol("ostraservice_records_total", "counter", "Records the protocol plug-in raised.",
                [](const ProtocolMetrics& p) { return p.records; });
    // A counter per protocol and answer code.
    auto perCode = [&](const char* name, const char* help, auto counts) {
        write.family(name, "counter", help);
        for (std::size_t index = 0; index < protocols.size(); ++index)
            for (int code = 0; code < 3; ++code)
                write.sample(name, protocolLabels[index], kCodeLabels[code],
                             counts(protocols[index])[code]);
    };
    perCode("ostraservice_record_answers_total",
            "What the relay answered the protocol's records, by code (0 stored, 1 refused, 3 "
            "not supported).",
            [](const ProtocolMetrics& p) { return p.answers; });
    write.family("ostraservice_database_answers_total", "counter",
                 "What each database's processRecord answered, by code.");
    for (std::size_t index = 0; index < protocols.size(); ++index)
        for (std::size_t position = 0; position < protocols[index].databases.size(); ++position)
            for (int code = 0; code < 3; ++code)
                write.sample("ostraservice_database_answers_total", databaseLabels[index][position],
                             kCodeLabels[code], protocols[index].databases[position].answers[code]);
    perProtocol("ostraservice_database_records_total", "counter",
                "Records the database plug-ins raised towards the protocol.",
                [](const ProtocolMetrics& p) { return p.databaseRecords; });
    perCode("ostraservice_database_record_answers_total",
            "What the protocol answered the databases' records, by code.",
            [](const ProtocolMetrics& p) { return p.databaseAnswers; });
    perProtocol("ostraservice_protocol_faults_total", "counter",
                "Exceptions out of the protocol plug-in, contained by the host.",
                [](const ProtocolMetrics& p) { return p.faults; });
    write.family("ostraservice_database_faults_total", "counter",
                 "Exceptions out of a database plug-in, contained by the host.");
    for (std::size_t index = 0; index < protocols.size(); ++index)
        for (std::size_t position = 0; position < protocols[index].databases.size(); ++position)
            write.sample("ostraservice_database_faults_total", databaseLabels[index][position],
                         protocols[index].databases[position].faults);
    perProtocol("ostraservice_start_attempts_total", "counter",
                "Attempts to start the protocol's plug-ins.",
                [](const ProtocolMetrics& p) { return p.starts; });
    perProtocol("ostraservice_start_failures_total", "counter", "Start attempts that failed.",
                [](const ProtocolMetrics& p) { return p.failedStarts; });
    perProtocol("ostraservice_last_start_failure_timestamp_seconds", "gauge",
                "When a start attempt last failed (Unix time; 0: never).",
                [](const ProtocolMetrics& p) { return Count(p.lastFailureTime); });

    const char* histogram = "ostraservice_database_latency_seconds";
    write.family(histogram, "histogram",
                 "Time one record spent in the databases' processRecord (a thread's first "
                 "record, then one in 16).");
    // The buckets' labels, the same for every protocol.
    std::vector<std::string> bucketLabels;
    for (double bound : numbers.latencyBounds) bucketLabels.push_back(label("le", number(bound)));
    bucketLabels.push_back("le=\"+Inf\"");
    for (std::size_t index = 0; index < protocols.size(); ++index) {
        const ProtocolMetrics& protocol = protocols[index];
        Count cumulative = 0;
        for (std::size_t bucket = 0; bucket < protocol.latency.size(); ++bucket) {
            cumulative += protocol.latency[bucket];
            write.sample("ostraservice_database_latency_seconds_bucket", protocolLabels[index],
                         bucketLabels[std::min(bucket, bucketLabels.size() - 1)], cumulative);
        }
        if (protocol.latency.size() <= numbers.latencyBounds.size())  // no +Inf bucket given
            write.sample("ostraservice_database_latency_seconds_bucket", protocolLabels[index],
                         bucketLabels.back(), cumulative);
        write.sample("ostraservice_database_latency_seconds_sum", protocolLabels[index],
                     number(protocol.latencySum));
        write.sample("ostraservice_database_latency_seconds_count", protocolLabels[index],
                     cumulative);
    }
    exposeReports(write, numbers, protocolLabels, databaseLabels);
    return out;
}

}  // namespace webcontrol
