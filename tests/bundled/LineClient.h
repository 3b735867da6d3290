// A tcpline client for tests: blocking sends, line reads with a deadline.
#pragma once

#include <string>

#include "Net.h"

class LineClient {
public:
    LineClient() = default;
    explicit LineClient(int port) { connect(port); }
    ~LineClient() { close(); }
    LineClient(const LineClient&) = delete;
    LineClient& operator=(const LineClient&) = delete;
    LineClient(LineClient&& other) noexcept
        : socket_(other.socket_), pending_(std::move(other.pending_)) {
        other.socket_ = ostra_net::kInvalidSocket;
    }

    bool connect(int port);
    bool connected() const { return socket_ != ostra_net::kInvalidSocket; }
    bool send(const std::string& bytes) { return ostra_net::sendAll(socket_, bytes); }
    // The next line without its line end; "<timeout>" or "<closed>" instead.
    std::string readLine(int timeoutMs = 10000);
    // Everything until the peer closes, or what came within `timeoutMs`.
    std::string readToEnd(int timeoutMs = 5000);
    // Sends `line` and a line end, and reads the reply.
    std::string ask(const std::string& line) {
        return send(line + "\n") ? readLine() : "<send failed>";
    }
    void close();
    // Shuts the sending side: the peer reads the end of the input.
    void finishSending() { ostra_net::shutdownSending(socket_); }

private:
    // Appends what arrives within the receive timeout; closes at the end.
    void receiveMore();

    ostra_net::Socket socket_ = ostra_net::kInvalidSocket;
    std::string pending_;
};

// A TCP port on 127.0.0.1 that nobody listens on right now, and that this
// process has not been given before.
int freePort();

// Whether something accepts connections on 127.0.0.1:`port`.
bool portAccepts(int port);
