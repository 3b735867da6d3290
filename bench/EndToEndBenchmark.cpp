// The shipped configuration end to end: a client sends records as lines to
// the real executable (tcpline -> relay -> sqlite commit -> reply), one at
// a time and pipelined, beside the two floors of that path measured in the
// same run: a bare loopback line round trip, and a bare SQLite insert with
// one commit per row on the plug-in's table and settings.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fstream>
#include <iterator>

#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "BareLineServer.h"
#include "BenchSupport.h"
#include "HostProcess.h"
#include "Net.h"
#include "platform/paths.h"

namespace {

namespace fs = std::filesystem;

constexpr int kShippedPort = 7765;
constexpr int kBarePort = 7766;
constexpr int kBatch = 1000;
const std::string kRecord = "CALLER=201;CALLED=0981234567;SECONDS=42";

// The real executable in console mode on the shipped configuration, in a
// folder of its own (a fresh records.db each time).
class ShippedHost : public bench::HostProcess {
public:
    // `level`: the log level put in place of the shipped "INFO".
    explicit ShippedHost(const std::string& level) : HostProcess("shipped", shippedConfig(level)) {}

private:
    static std::string shippedConfig(const std::string& level) {
        std::ifstream shipped(fs::path(ostra::executableDirectory()) / "OstraService.cfg");
        std::string config((std::istreambuf_iterator<char>(shipped)),
                           std::istreambuf_iterator<char>());
        std::string::size_type at = config.find("level = \"INFO\"");
        if (at != std::string::npos) config.replace(at, 14, "level = \"" + level + "\"");
        return config;
    }
};

const char* const kLevels[] = {"INFO", "DEBUG"};

// How many bytes the log grows by per stored record, beside the speed.
template <typename Run>
void endToEnd(benchmark::State& state, Run run) {
    ShippedHost host(kLevels[state.range(0)]);
    state.SetLabel(kLevels[state.range(0)]);
    run(state, kShippedPort);  // connects once the port answers
    state.counters["log_bytes_per_record"] =
        benchmark::Counter(host.logBytes() / static_cast<double>(state.items_processed()));
}

void oneAtATime(benchmark::State& state, int port) { bench::sendOneAtATime(state, port, kRecord); }

void pipelined(benchmark::State& state, int port) {
    bench::sendPipelined(state, port, kRecord, kBatch);
}

void BM_EndToEnd_OneAtATime(benchmark::State& state) { endToEnd(state, oneAtATime); }

void BM_EndToEnd_Pipelined(benchmark::State& state) { endToEnd(state, pipelined); }

// Sixteen senders at once, each one record at a time on a connection of
// its own: tcpline relays them on its workers, so records that wait while
// sqlite commits can share the next commit.
void BM_EndToEnd_SixteenSenders(benchmark::State& state) {
    bench::sendFromEveryThread(state, kShippedPort, kRecord,
                               [] { return std::make_unique<ShippedHost>("INFO"); });
}

// The floor of the network half: a process of its own (as the host is)
// that answers each line with one reply line as soon as it has read it.
void BM_Floor_TcpLineRoundTrip(benchmark::State& state) {
    int port = 0;
    std::string error;
    ostra_net::Socket listener = ostra_net::listenTcp("127.0.0.1", 0, 1, &port, error);
    pid_t echo = fork();
    if (echo == 0) {
        ostra_net::Socket client = ostra_net::kInvalidSocket;
        while (client == ostra_net::kInvalidSocket) {
            std::vector<ostra_net::PollEntry> entries(1);
            entries[0].socket = listener;
            entries[0].wantRead = true;
            ostra_net::pollSockets(entries, 100);
            client = ostra_net::acceptConnection(listener);
        }
        char buffer[64 * 1024];
        for (;;) {
            std::vector<ostra_net::PollEntry> entries(1);
            entries[0].socket = client;
            entries[0].wantRead = true;
            ostra_net::pollSockets(entries, 100);
            long received = ostra_net::receiveSome(client, buffer, sizeof buffer);
            if (received == ostra_net::kWouldBlock) continue;
            if (received <= 0) break;
            for (long i = 0; i < received; ++i)
                if (buffer[i] == '\n') ostra_net::sendAll(client, "0;ROW_ID=1\n");
        }
        _exit(0);
    }
    ostra_net::closeSocket(listener);
    {
        bench::LineConnection client(port);
        for (auto _ : state) {
            client.send(kRecord + "\n");
            client.readReplies(1);
        }
    }
    int status = 0;
    waitpid(echo, &status, 0);
    state.SetItemsProcessed(state.iterations());
}

// The sequential floor measured whole: one client one record at a time,
// against the bare server storing each line in a commit of its own before
// it answers (the computed floor, a round trip then a commit, leaves out
// that the disk syncs slower after a pause than back to back).
void BM_Floor_BareServerOneAtATime(benchmark::State& state) {
    bench::BareLineServer server(kBarePort, bench::BareLineServer::Commits::kOnePerLine);
    bench::sendOneAtATime(state, kBarePort, kRecord);
}

// What this machine allows sixteen senders: the bare server, a thread per
// connection, the lines that wait while one commits sharing the next.
void BM_Floor_BareServerSixteenSenders(benchmark::State& state) {
    bench::sendFromEveryThread(state, kBarePort, kRecord, [] {
        return std::make_unique<bench::BareLineServer>(kBarePort,
                                                       bench::BareLineServer::Commits::kShared);
    });
}

// The floor of the storage half: the sqlite plug-in's table, pragmas and
// statement, one row and one commit per record, no host around it.
void BM_Floor_SqliteCommitPerRow(benchmark::State& state) {
    bench::FloorTable table((bench::scratchDir() / "floor.db").string());
    for (auto _ : state)
        if (table.insertRow() < 0) state.SkipWithError(sqlite3_errmsg(table.db));
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

// Arg 0: the shipped level, INFO; arg 1: DEBUG, with the relay's trace lines.
BENCHMARK(BM_EndToEnd_OneAtATime)->Arg(0)->Arg(1)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_EndToEnd_Pipelined)->Arg(0)->Arg(1)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_EndToEnd_SixteenSenders)->Threads(16)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Floor_TcpLineRoundTrip)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Floor_SqliteCommitPerRow)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Floor_BareServerOneAtATime)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Floor_BareServerSixteenSenders)->Threads(16)->UseRealTime()->MinTime(2.0);
