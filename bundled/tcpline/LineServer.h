// LineServer: a TCP server that reads lines from its clients on one thread
// of its own and answers each with one line.
//
// Every client is served without blocking: a client that sends slowly, stops
// reading or vanishes costs the others nothing. Limits keep a client from
// growing the server without bound:
//   - a line longer than maxLineBytes is answered "ERROR;REASON=line longer
//     than N bytes" and skipped up to its end;
//   - a connection beyond maxClients is told "ERROR;REASON=too many
//     connections (limit N)" and closed;
//   - a client whose unsent replies and events pass maxQueuedBytes (it does
//     not read) is disconnected.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>

#include "EventLoop.h"
#include "Net.h"

namespace tcpline {

struct LineServerSettings {
    std::string bind = "127.0.0.1";
    int port = 0;  // 0: any free port
    std::size_t maxLineBytes = 4096;
    int maxClients = 64;
    std::size_t maxQueuedBytes = 1 << 20;
};

class LineServer {
public:
    // Called on the server's thread for each complete line of client
    // `clientId` (numbered from 1 in order of connection); returns the reply
    // line, or an empty string for none. Line ends are added by the server.
    using LineHandler = std::function<std::string(int clientId, const std::string& line)>;
    // Told about connections and disconnections, for the plug-in's log.
    using Notice = std::function<void(const std::string& text)>;

    LineServer() = default;
    ~LineServer();
    LineServer(const LineServer&) = delete;
    LineServer& operator=(const LineServer&) = delete;

    // Listens and starts the server's thread. False with `error` set when
    // the address cannot be had.
    bool start(const LineServerSettings& settings, LineHandler handler, Notice notice,
               std::string& error);
    // Closes the listener and every client and joins the thread. Returns
    // at once, whatever the clients do.
    void stop();

    // True from start() until stop() or a failure of the listener.
    bool isServing() const { return serving_.load(); }
    int port() const { return port_; }

    // Queues `line` for every connected client; the number of clients.
    // Any thread, also from inside the handler.
    int broadcast(const std::string& line);

private:
    struct Client {
        int id = 0;
        ostra_net::Socket socket = ostra_net::kInvalidSocket;
        std::string input;
        std::string output;  // guarded by mutex_
        bool skippingLine = false;
        bool closing = false;  // guarded by mutex_: drop at the next turn
        std::chrono::steady_clock::time_point unsentSince;  // of the oldest queued reply
    };

    void run();
    // False when accepting failed for want of resources.
    bool acceptPending();
    void readFrom(Client& client);
    bool isClosing(Client& client);
    // Relays one line and queues its reply. False once the client is being
    // dropped (it does not read its replies, or sending failed).
    bool handleLine(Client& client, const std::string& line);
    bool reply(Client& client, const std::string& line);
    std::string overlongLineReply() const;
    // Queues under mutex_ held by the caller; marks the client for closing
    // when it is not reading.
    void queueLocked(Client& client, const std::string& line);
    void flushLocked(Client& client);
    void dropClosingClients();

    bundled_support::EventLoop loop_;  // the server thread waits here; broadcast wakes it
    LineServerSettings settings_;
    LineHandler handler_;
    Notice notice_;
    ostra_net::Socket listener_ = ostra_net::kInvalidSocket;
    int port_ = 0;
    int nextClientId_ = 1;

    std::mutex mutex_;  // the client list (changed on the server thread only) and outputs
    std::list<Client> clients_;

    // While the lines of one read are relayed, their replies are held back
    // (server thread only).
    bool holdingReplies_ = false;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> serving_{false};
    std::thread thread_;
};

}  // namespace tcpline
