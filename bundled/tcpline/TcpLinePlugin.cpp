#include "TcpLinePlugin.h"

#include <algorithm>
#include <chrono>
#include <libconfig.h++>

#include "LineCodec.h"
#include "StrictSettings.h"
#include "TcpLineExtension.h"
#include "common/Record.h"
#include "plugin/PluginExport.h"

namespace tcpline {

TcpLinePlugin::~TcpLinePlugin() { server_.stop(); }

std::string clientsBeyondDescriptors(int maxClients) {
    const long limit = ostra_net::openDescriptorLimit();
    if (limit < 0 || maxClients + kDescriptorReserve <= limit) return std::string();
    return "tcpline: \"maxclients\" is " + std::to_string(maxClients) + "; the process may open " +
           std::to_string(limit) + " files and sockets, so at most " +
           std::to_string(std::max(0L, limit - kDescriptorReserve)) +
           " fit (raise the limit, LimitNOFILE= in the service's unit)";
}

void TcpLinePlugin::setCallback(EventProc proc, void* context) {
    proc_ = proc;
    context_ = context;
}

void TcpLinePlugin::takeBatchRelay(OstraBatchRelay relay, void* context) {
    batchRelay_ = relay;
    batchContext_ = context;
}

int TcpLinePlugin::start(Setting& entry) {
    try {
        return startServing(entry);
    } catch (const std::exception& failure) {
        logLine(LOG_LEVEL_ERROR, __LINE__, std::string("tcpline: ") + failure.what());
        return 1;
    }
}

int TcpLinePlugin::startServing(Setting& entry) {
    // The configuration tree is only ours to read here, on the host's thread.
    LineServerSettings settings;
    bundled_support::StrictSettings keys(entry, "tcpline", kSettings);
    settings.bind = keys.text("bind");
    settings.port = static_cast<int>(keys.integer("port"));
    settings.maxLineBytes = static_cast<std::size_t>(keys.integer("maxline"));
    settings.maxQueuedBytes = static_cast<std::size_t>(keys.integer("maxqueue"));
    settings.maxClients = static_cast<int>(keys.integer("maxclients"));
    settings.workers = static_cast<int>(keys.integer("workers"));
    settings.idleTimeout = std::chrono::seconds(keys.integer("idletimeout"));
    std::string fault = keys.fault();
    if (fault.empty()) fault = clientsBeyondDescriptors(settings.maxClients);
    if (!fault.empty()) {
        logLine(LOG_LEVEL_ERROR, __LINE__, fault);
        return 1;
    }
    std::string error;
    LineServer::BatchHandler batches;
    if (batchRelay_ != nullptr)
        batches = [this](int clientId, const std::vector<std::string>& lines) {
            return relayLines(clientId, lines);
        };
    bool listening = server_.start(
        settings,
        [this](int clientId, const std::string& line) { return relayLine(clientId, line); },
        [this](const std::string& text) { logLine(LOG_LEVEL_INFO, __LINE__, "tcpline: " + text); },
        error, batches);
    if (!listening) {
        logLine(LOG_LEVEL_ERROR, __LINE__, "tcpline: " + error);
        return 1;
    }
    started_ = true;
    logLine(LOG_LEVEL_INFO, __LINE__,
            "tcpline: listening on " + settings.bind + ":" + std::to_string(server_.port()));
    return 0;
}

void TcpLinePlugin::stop() {
    // Joins the server thread; a relay it is inside answers at once while
    // the host stops us, so this never waits for the host.
    started_ = false;
    server_.stop();
}

bool TcpLinePlugin::isRunning() { return started_ && server_.isServing(); }

int TcpLinePlugin::processRecord(int tag, Record* record) {
    if (!record) return 3;
    try {
        int reached = server_.broadcast(formatLine("EVENT", *record));
        return reached > 0 ? 0 : 1;
    } catch (const std::exception& failure) {
        logLine(LOG_LEVEL_ERROR, __LINE__,
                std::string("tcpline: event not sent: ") + failure.what());
        return 1;
    }
}

std::string TcpLinePlugin::relayLine(int clientId, const std::string& line) {
    std::string reply;
    try {
        reply = relay(clientId, line);
    } catch (const std::exception& failure) {
        reply = "ERROR;REASON=" + escapeField(failure.what());
    }
    countReply(reply);
    return reply;
}

void TcpLinePlugin::countReply(const std::string& reply) {
    lines_.fetch_add(1, std::memory_order_relaxed);
    if (reply.empty() || reply[0] != '0' || (reply.size() > 1 && reply[1] != ';'))
        refused_.fetch_add(1, std::memory_order_relaxed);
}

std::vector<std::string> TcpLinePlugin::relayLines(int clientId,
                                                   const std::vector<std::string>& lines) {
    std::vector<std::string> replies(lines.size());
    try {
        // A line that does not parse is answered in its place; the others
        // go to the host together.
        std::vector<Record> records;
        std::vector<std::size_t> positions;
        records.reserve(lines.size());
        for (std::size_t i = 0; i < lines.size(); ++i) {
            Record record;
            std::string error;
            if (!parseRecordLine(lines[i], record, error)) {
                replies[i] = "ERROR;REASON=" + escapeField(error);
                continue;
            }
            records.push_back(std::move(record));
            positions.push_back(i);
        }
        if (!records.empty()) {
            const std::vector<Record> sent = records;
            std::vector<Record*> raised;
            for (Record& record : records) raised.push_back(&record);
            std::vector<int> answers(records.size(), 3);
            int relayed =
                batchRelay_(batchContext_, static_cast<CProtocolPlugin*>(this), clientId,
                            raised.data(), answers.data(), static_cast<int>(raised.size()));
            const std::size_t done = static_cast<std::size_t>(
                std::max(1, std::min(relayed, static_cast<int>(records.size()))));
            for (std::size_t k = 0; k < done; ++k)
                replies[positions[k]] =
                    formatChanges(std::to_string(answers[k]), sent[k], records[k]);
            // Lines after the last record relayed are raised at the next turn.
            if (done < records.size()) replies.resize(positions[done]);
        }
    } catch (const std::exception& failure) {
        for (std::string& reply : replies)
            if (reply.empty()) reply = "ERROR;REASON=" + escapeField(failure.what());
    }
    for (const std::string& reply : replies) countReply(reply);
    return replies;
}

TcpLinePlugin::Health TcpLinePlugin::health() const {
    Health health;
    health.clients = server_.clientCount();
    health.lines = lines_.load(std::memory_order_relaxed);
    health.refused = refused_.load(std::memory_order_relaxed);
    return health;
}

std::string TcpLinePlugin::relay(int clientId, const std::string& line) {
    Record record;
    std::string error;
    if (!parseRecordLine(line, record, error)) return "ERROR;REASON=" + escapeField(error);
    if (!proc_) return "3";
    Record sent(record);
    int result = proc_(context_, static_cast<CProtocolPlugin*>(this), clientId, &record);
    return formatChanges(std::to_string(result), sent, record);
}

void TcpLinePlugin::logLine(int level, int sourceLine, const std::string& text) {
    log_.log(level, "tcpline", sourceLine, text.c_str());
}

}  // namespace tcpline

OSTRA_PLUGIN_KIND(protocol)

OSTRA_PLUGIN_FACTORY {
    return static_cast<CProtocolPlugin*>(new (std::nothrow) tcpline::TcpLinePlugin);
}
