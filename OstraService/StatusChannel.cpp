#include "OstraService/StatusChannel.h"

#include <cstdlib>
#include <vector>

#include "common/Record.h"
#include "common/log/CLog.h"
#include "platform/local_time.h"
#include "plugin/HostMetrics.h"

namespace {
const char kSource[] = "OstraService";
const char kWireTag[] = "OSTRA-STATUS ";

// Unix seconds as local time; "-" for 0 (never).
std::string when(long long seconds) { return seconds == 0 ? "-" : ostra::localTimeText(seconds); }

std::string answers(const ostra_metrics::Count (&counts)[3]) {
    return std::to_string(counts[0]) + "/" + std::to_string(counts[1]) + "/" +
           std::to_string(counts[2]);
}

using Row = std::vector<std::string>;

// Columns padded to their widest cell; the last one is not padded.
std::string table(const std::vector<Row>& rows) {
    std::vector<size_t> widths;
    for (const Row& row : rows)
        for (size_t column = 0; column < row.size(); ++column) {
            if (widths.size() <= column) widths.push_back(0);
            if (row[column].size() > widths[column]) widths[column] = row[column].size();
        }
    std::string text;
    for (const Row& row : rows) {
        std::string line;
        for (size_t column = 0; column < row.size(); ++column) {
            line += row[column];
            if (column + 1 < row.size())
                line += std::string(widths[column] - row[column].size() + 2, ' ');
        }
        text += line + "\n";
    }
    return text;
}

}  // namespace

StatusReply statusReply(const std::string& serviceName, bool stopping, const Record& metrics) {
    StatusReply reply;
    reply.exitCode = stopping ? kStatusNotRunning : kStatusRunning;
    ostra_metrics::HostMetrics numbers;
    numbers.read(metrics);
    const size_t count = numbers.protocols.size();
    std::vector<Row> rows{
        {"PROTOCOL", "STATE", "SINCE", "RECORDS", "ANSWERS 0/1/3", "LAST FAILURE"}};
    std::string troubles;
    for (const ostra_metrics::ProtocolMetrics& protocol : numbers.protocols) {
        const bool stopped = protocol.state == "STOPPED";
        const std::string trouble = stopped ? std::string() : protocol.trouble();
        if (!trouble.empty()) troubles += protocol.name + ": " + trouble + "\n";
        if ((protocol.state == "FAILING" || protocol.state == "DEGRADED" || !trouble.empty()) &&
            !stopping)
            reply.exitCode = kStatusFailing;
        rows.push_back({protocol.name, protocol.state, when(protocol.since),
                        std::to_string(protocol.records), answers(protocol.answers),
                        protocol.lastFailure.empty()
                            ? "-"
                            : when(protocol.lastFailureTime) + " " + protocol.lastFailure});
    }
    if (!numbers.reloadRefused.empty())
        troubles += "reload refused: " + numbers.reloadRefused + "\n";
    if (numbers.logLosing)
        troubles += "log: the log file cannot be written; " + std::to_string(numbers.logLinesLost) +
                    " lines lost so far\n";
    reply.text = serviceName + ": " + (stopping ? "stopping" : "running") + ", up " +
                 std::to_string(numbers.uptime) + " s, " + std::to_string(count) +
                 (count == 1 ? " protocol\n" : " protocols\n") + "configuration " +
                 numbers.configuration + ", loaded " +
                 when(static_cast<long long>(numbers.configurationLoaded)) + "\n" + table(rows) +
                 troubles;
    return reply;
}

std::string encodeStatusReply(const StatusReply& reply) {
    return kWireTag + std::to_string(reply.exitCode) + " " + std::to_string(reply.text.size()) +
           "\n" + reply.text;
}

bool decodeStatusReply(const std::string& received, StatusReply& reply) {
    const size_t lineEnd = received.find('\n');
    if (received.compare(0, sizeof kWireTag - 1, kWireTag) != 0 || lineEnd == std::string::npos)
        return false;
    const std::string head = received.substr(sizeof kWireTag - 1, lineEnd - (sizeof kWireTag - 1));
    char* rest = nullptr;
    const long code = std::strtol(head.c_str(), &rest, 10);
    if (rest == head.c_str() || *rest != ' ') return false;
    char* end = nullptr;
    const unsigned long long length = std::strtoull(rest + 1, &end, 10);
    if (end == rest + 1 || *end != '\0' || received.size() - lineEnd - 1 != length) return false;
    reply.exitCode = static_cast<int>(code);
    reply.text = received.substr(lineEnd + 1);
    return true;
}

StatusChannel::StatusChannel(CLog& log, const std::string& serviceName,
                             std::function<std::string()> reply, const char* purpose) {
    const std::string address = ostra::localChannelServingAddress(serviceName, purpose);
    std::string whyNot;
    switch (server_.open(address, whyNot)) {
        case ostra::LocalChannelServer::OpenResult::kOpened:
            thread_ = std::thread([this, reply] { server_.serve(reply, kSendLimit); });
            return;
        case ostra::LocalChannelServer::OpenResult::kInUse:
            whyNot = "another running host of the name " + serviceName + " serves " + address;
            break;
        case ostra::LocalChannelServer::OpenResult::kFailed:
            break;
    }
    log.log(LOG_LEVEL_ERROR, kSource, __LINE__,
            ("No " + std::string(purpose) + " channel (`" + purpose +
             "` will not reach this host): " + whyNot)
                .c_str());
}

StatusChannel::~StatusChannel() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
}
