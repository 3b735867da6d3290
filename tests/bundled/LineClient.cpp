#include "LineClient.h"

#include <chrono>
#include <mutex>
#include <set>
#include <vector>

bool LineClient::connect(int port) {
    close();
    ostra_net::initialise();
    std::string error;
    socket_ = ostra_net::connectTcp("127.0.0.1", port, error);
    if (connected()) ostra_net::setReceiveTimeout(socket_, 100);
    return connected();
}

std::string LineClient::readLine(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::size_t end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        if (!connected()) return "<closed>";
        if (std::chrono::steady_clock::now() > deadline) return "<timeout>";
        receiveMore();
    }
}

void LineClient::receiveMore() {
    // Waits in poll, not in the receive: under Wine a receive on a
    // connection whose server process was killed before accepting it can
    // wait for ever, whatever its timeout.
    std::vector<ostra_net::PollEntry> entries(1);
    entries[0].socket = socket_;
    entries[0].wantRead = true;
    if (ostra_net::pollSockets(entries, 100) <= 0 || !entries[0].readable) return;
    char buffer[4096];
    long received = ostra_net::receiveSome(socket_, buffer, sizeof buffer);
    if (received > 0)
        pending_.append(buffer, static_cast<std::size_t>(received));
    else if (received == 0 || received == ostra_net::kFailed)
        close();
}

std::string LineClient::readToEnd(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (connected() && std::chrono::steady_clock::now() < deadline) receiveMore();
    std::string text;
    text.swap(pending_);
    return text;
}

void LineClient::close() {
    ostra_net::closeSocket(socket_);
    socket_ = ostra_net::kInvalidSocket;
}

int freePort() {
    // The system may offer a port it has just offered again: two calls in a
    // row once gave a test's protocol and console the same port.
    static std::mutex givenLock;
    static std::set<int> given;
    ostra_net::initialise();
    for (;;) {
        std::string error;
        int port = 0;
        ostra_net::Socket probe = ostra_net::listenTcp("127.0.0.1", 0, 1, &port, error);
        ostra_net::closeSocket(probe);
        std::lock_guard<std::mutex> guard(givenLock);
        if (port == 0 || given.insert(port).second) return port;
    }
}

bool portAccepts(int port) {
    LineClient client;
    return client.connect(port);
}
