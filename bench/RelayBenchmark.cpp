// The relay: a record from a protocol plug-in to a database answering 0,
// against calling the database's processRecord directly; and the relay
// with its four trace lines going to a log file.
#include <benchmark/benchmark.h>

#include <libconfig.h++>

#include "BenchSupport.h"
#include "OstraService/ProtocolApp.h"
#include "common/Record.h"
#include "common/log/CStdLogFormat.h"
#include "common/log/flogstream.h"
#include "loader/loadPlugin.h"

namespace {

// One protocol with one quiet test database that answers 0.
struct RelayApp {
    libconfig::Config config;
    CLog hostLog;
    CProtocolApp app;
    explicit RelayApp(logstream* stream = nullptr, CLogFormat* formatter = nullptr) {
        config.readString(
            "p = { name = \"bench\"; type = \"PBX\"; dll = \"" + bench::plugin("testprotocol") +
            "\"; journal = false; databases = ( { dll = \"" + bench::plugin("testdatabase") +
            "\"; journal = false; trail = false; answer = 0; } ); };");
        if (stream != nullptr) hostLog.addStream(stream);
        hostLog.setFormatter(formatter);
        app.init(hostLog, config.lookup("p"));
    }
};

void BM_Relay_Ostra(benchmark::State& state) {
    RelayApp relay;  // the app's log holds no stream
    Record record;
    record.set("CARD", "1234");
    long long before = bench::allocations.load();
    for (auto _ : state) {
        int answer = CProtocolApp::protocolEventProc(&relay.app, nullptr, 7, &record);
        benchmark::DoNotOptimize(answer);
    }
    state.counters["allocs_per_record"] =
        benchmark::Counter(static_cast<double>(bench::allocations.load() - before) /
                           static_cast<double>(state.iterations()));
    state.SetItemsProcessed(state.iterations());
}

void BM_Relay_DirectVirtualCall(benchmark::State& state) {
    libconfig::Config config;
    config.readString("d = { journal = false; trail = false; answer = 0; };");
    auto* database =
        static_cast<CDatabasePlugin*>(loadPlugin(bench::plugin("testdatabase").c_str()));
    database->start(config.lookup("d"));
    Record record;
    record.set("CARD", "1234");
    for (auto _ : state) {
        int answer = database->processRecord(7, &record);
        benchmark::DoNotOptimize(answer);
    }
    state.SetItemsProcessed(state.iterations());
    database->stop();
    delete database;
}

struct TracedRelay {
    flogstream file;
    CStdLogFormat formatter;
    std::unique_ptr<RelayApp> relay;
    TracedRelay() {
        file.setMaxSizeBytes(64LL * 1024 * 1024);
        file.setRotate(3);
        file.open((bench::scratchDir() / "relay.log").string().c_str());
        relay.reset(new RelayApp(&file, &formatter));
    }
};
TracedRelay* traced;

void BM_RelayTraced_Ostra(benchmark::State& state) {
    if (state.thread_index() == 0) traced = new TracedRelay;
    Record record;
    record.set("CARD", "1234");
    for (auto _ : state) {
        int answer = CProtocolApp::protocolEventProc(&traced->relay->app, nullptr, 7, &record);
        benchmark::DoNotOptimize(answer);
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        delete traced;
        traced = nullptr;
    }
}

}  // namespace

BENCHMARK(BM_Relay_Ostra);
BENCHMARK(BM_Relay_DirectVirtualCall);
BENCHMARK(BM_RelayTraced_Ostra)->Threads(1)->Threads(4)->UseRealTime();
