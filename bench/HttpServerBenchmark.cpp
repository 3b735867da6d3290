// The web console's server: how long a request on a kept-alive connection
// waits, against the same request on a connection of its own.
#include <benchmark/benchmark.h>

#include <string>

#include "../bundled/webcontrol/HttpServer.h"
#include "Net.h"

namespace {

using webcontrol::HttpRequest;
using webcontrol::HttpResponse;
using webcontrol::HttpServer;

// The server with a handler that answers at once: what remains is the
// server's own hand-over from the worker back to the connection.
struct ServedHere {
    HttpServer server;
    ServedHere() {
        std::string error;
        server.start(
            webcontrol::HttpServerSettings(),
            [](const HttpRequest&) {
                HttpResponse response;
                response.body = "{\"state\":\"STARTED\"}";
                return response;
            },
            error);
    }
};

const std::string kRequest = "GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// Reads one answer (its head and the body its Content-Length gives).
bool readAnswer(ostra_net::Socket socket, std::string& pending) {
    char buffer[4096];
    for (;;) {
        std::size_t headEnd = pending.find("\r\n\r\n");
        if (headEnd != std::string::npos) {
            std::size_t length = std::stoul(pending.substr(pending.find("Content-Length: ") + 16));
            std::size_t end = headEnd + 4 + length;
            if (pending.size() >= end) {
                pending.erase(0, end);
                return true;
            }
        }
        long got = ostra_net::receiveSome(socket, buffer, sizeof buffer);
        if (got <= 0) return false;
        pending.append(buffer, static_cast<std::size_t>(got));
    }
}

void BM_Http_KeptAliveRequest(benchmark::State& state) {
    ServedHere served;
    std::string error, pending;
    ostra_net::Socket socket = ostra_net::connectTcp("127.0.0.1", served.server.port(), error);
    for (auto _ : state) {
        ostra_net::sendAll(socket, kRequest);
        if (!readAnswer(socket, pending)) state.SkipWithError("no answer");
    }
    ostra_net::closeSocket(socket);
}

void BM_Http_RequestOnAFreshConnection(benchmark::State& state) {
    ServedHere served;
    std::string error, pending;
    for (auto _ : state) {
        ostra_net::Socket socket = ostra_net::connectTcp("127.0.0.1", served.server.port(), error);
        ostra_net::sendAll(socket, kRequest);
        if (!readAnswer(socket, pending)) state.SkipWithError("no answer");
        ostra_net::closeSocket(socket);
        pending.clear();
    }
}

void BM_Http_50PipelinedRequests(benchmark::State& state) {
    ServedHere served;
    std::string error, pending, fifty;
    for (int i = 0; i < 50; ++i) fifty += kRequest;
    ostra_net::Socket socket = ostra_net::connectTcp("127.0.0.1", served.server.port(), error);
    for (auto _ : state) {
        ostra_net::sendAll(socket, fifty);
        for (int i = 0; i < 50; ++i)
            if (!readAnswer(socket, pending)) state.SkipWithError("no answer");
    }
    ostra_net::closeSocket(socket);
}

}  // namespace

BENCHMARK(BM_Http_KeptAliveRequest)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Http_RequestOnAFreshConnection)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Http_50PipelinedRequests)->UseRealTime()->Unit(benchmark::kMillisecond);
