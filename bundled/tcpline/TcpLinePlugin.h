// tcpline: a protocol plug-in that takes records as text lines over TCP.
//
// Configuration keys of its protocols entry (all optional):
//   bind       address to listen on (default "127.0.0.1"; "0.0.0.0": all)
//   port       TCP port (default 7765; 0: any free port, named in the log)
//   maxline    longest accepted line in bytes (default 4096)
//   maxclients connections served at once (default 64); at the limit a
//              newcomer takes the place of the connection idle longest.
//              It must fit the process's descriptor limit with
//              kDescriptorReserve to spare, or the start is refused
//   maxqueue   bytes of unsent replies and events a client may have
//              before it is disconnected (default 1048576)
//   workers    threads that relay lines to the databases (default 16,
//              1 to 256): records of that many connections are stored at
//              once, so a slow record holds up only its own connection
//   idletimeout seconds a connection with nothing in flight may stay
//              silent before it is closed (default 300; 0: never)
//
// Each line a client sends (format in LineCodec.h) becomes one record,
// raised through the host with the client's number as its tag. With a host
// that relays batches, the lines a client has sent ahead (up to 16) are
// raised together, so a database that stores batches commits them at once. The client
// gets one reply line: the host's result code (0, 1 or 3) and the keys the
// databases added or changed. Records the databases raise go to every
// connected client as "EVENT;..." lines; processRecord answers 0 when at
// least one client was connected, 1 when nobody was.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "LineServer.h"
#include "common/log/CLog.h"
#include "plugin/CProtocolPlugin.h"
#include "plugin/PluginExtension.h"

namespace tcpline {

// Descriptors kept for everything else of the process: log files,
// databases, the console and other protocols.
constexpr long kDescriptorReserve = 64;

// Why `maxClients` connections would not fit the process's descriptor
// limit (raised to its hard limit first), or empty when they fit.
std::string clientsBeyondDescriptors(int maxClients);

class TcpLinePlugin : public CProtocolPlugin {
public:
    TcpLinePlugin() = default;
    ~TcpLinePlugin() override;

    void stop() override;
    int start(Setting& entry) override;
    void setCallback(EventProc proc, void* context) override;
    int processRecord(int tag, Record* record) override;
    CLog* getLog() override { return &log_; }
    bool isRunning() override;

    // What its report says (TcpLineReport.h).
    struct Health {
        std::size_t clients = 0;
        unsigned long long lines = 0, refused = 0;
    };
    Health health() const;

    // The host's batch relay (PluginExtension.h), before start(): the
    // lines a pipelining client has waiting are then relayed together.
    void takeBatchRelay(OstraBatchRelay relay, void* context);

private:
    int startServing(Setting& entry);
    // The reply to one client line; never throws.
    std::string relayLine(int clientId, const std::string& line);
    std::string relay(int clientId, const std::string& line);
    // The replies to lines of one client relayed as one batch; never throws.
    std::vector<std::string> relayLines(int clientId, const std::vector<std::string>& lines);
    // Counts a reply in the report's numbers.
    void countReply(const std::string& reply);
    void logLine(int level, int sourceLine, const std::string& text);

    CLog log_;
    EventProc proc_ = nullptr;
    void* context_ = nullptr;
    OstraBatchRelay batchRelay_ = nullptr;
    void* batchContext_ = nullptr;
    LineServer server_;
    std::atomic<bool> started_{false};
    std::atomic<unsigned long long> lines_{0};    // relayed
    std::atomic<unsigned long long> refused_{0};  // of them, answered anything but 0
};

}  // namespace tcpline
