#include "TcpLinePlugin.h"

#include <libconfig.h++>

#include "LineCodec.h"
#include "StrictSettings.h"
#include "common/Record.h"
#include "plugin/PluginExport.h"

namespace tcpline {

TcpLinePlugin::~TcpLinePlugin() { server_.stop(); }

void TcpLinePlugin::setCallback(EventProc proc, void* context) {
    proc_ = proc;
    context_ = context;
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
    bundled_support::StrictSettings keys(entry, "tcpline");
    settings.bind = keys.text("bind", settings.bind);
    settings.port = static_cast<int>(keys.integer("port", 7765, 0, 65535));
    settings.maxLineBytes = static_cast<std::size_t>(keys.integer("maxline", 4096, 16, 1 << 24));
    settings.maxQueuedBytes =
        static_cast<std::size_t>(keys.integer("maxqueue", 1 << 20, 1024, 1 << 30));
    settings.maxClients =
        static_cast<int>(keys.integer("maxclients", settings.maxClients, 1, 65536));
    if (!keys.fault().empty()) {
        logLine(LOG_LEVEL_ERROR, __LINE__, keys.fault());
        return 1;
    }
    std::string error;
    bool listening = server_.start(
        settings,
        [this](int clientId, const std::string& line) { return relayLine(clientId, line); },
        [this](const std::string& text) { logLine(LOG_LEVEL_INFO, __LINE__, "tcpline: " + text); },
        error);
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
    try {
        return relay(clientId, line);
    } catch (const std::exception& failure) {
        return "ERROR;REASON=" + escapeField(failure.what());
    }
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
