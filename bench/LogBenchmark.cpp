// Log throughput: our log library against spdlog's rotating file sink, with
// the same line layout, to files on the same disk.
#include <benchmark/benchmark.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <memory>

#include "BenchSupport.h"
#include "common/log/CLog.h"
#include "common/log/CStdLogFormat.h"
#include "common/log/flogstream.h"

namespace {

constexpr long long kMaxFileBytes = 64LL * 1024 * 1024;
constexpr int kKeptFiles = 3;
const char kText[] = "ProtocolApp protocolEventProc return from  db->processRecord";

struct OstraLog {
    flogstream file;
    CStdLogFormat formatter;
    CLog log;
    OstraLog() {
        file.setMaxSizeBytes(kMaxFileBytes);
        file.setRotate(kKeptFiles);
        file.open((bench::scratchDir() / "ostra.log").string().c_str());
        log.setName("OstraService");
        log.setFormatter(&formatter);
        log.addStream(&file);
    }
};

OstraLog* ostraLog;
std::shared_ptr<spdlog::logger> spdLog;

void BM_Log_Ostra(benchmark::State& state) {
    if (state.thread_index() == 0) ostraLog = new OstraLog;
    for (auto _ : state) ostraLog->log.log(LOG_LEVEL_DEBUG, "ProtocolApp", 142, kText);
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        delete ostraLog;
        ostraLog = nullptr;
    }
}

void BM_Log_Spdlog(benchmark::State& state) {
    if (state.thread_index() == 0) {
        auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
            (bench::scratchDir() / "spdlog.log").string(), kMaxFileBytes, kKeptFiles);
        spdLog = std::make_shared<spdlog::logger>("OstraService", sink);
        spdLog->set_pattern("%Y-%m-%d %H:%M:%S.%e %-5l [%t] %n %s:%# %v");
        spdLog->set_level(spdlog::level::trace);
    }
    const spdlog::source_loc where{"ProtocolApp", 142, ""};
    for (auto _ : state) spdLog->log(where, spdlog::level::debug, kText);
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        spdLog->flush();
        spdLog.reset();
    }
}

}  // namespace

BENCHMARK(BM_Log_Ostra)->Threads(1)->Threads(4)->UseRealTime();
BENCHMARK(BM_Log_Spdlog)->Threads(1)->Threads(4)->UseRealTime();
