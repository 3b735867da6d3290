// The host: the idle cost of the wake-up loop, start-up and stop with many
// protocols, and a STATUS request's round trip.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <libconfig.h++>
#include <thread>
#include <vector>

#include "BenchSupport.h"
#include "OstraService/ServiceHost.h"
#include "TestJournal.h"
#include "common/Record.h"
#include "loader/loadPlugin.h"

namespace {

using Clock = std::chrono::steady_clock;

double processCpuSeconds() {
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The process's CPU time per wall-clock second while the caller's threads
// run, one second per iteration.
void measureCpuShare(benchmark::State& state) {
    for (auto _ : state) {
        double cpuBefore = processCpuSeconds();
        auto wallBefore = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        double wall = std::chrono::duration<double>(Clock::now() - wallBefore).count();
        state.counters["cpu_percent_of_core"] = 100.0 * (processCpuSeconds() - cpuBefore) / wall;
    }
}

// Signals when the host logs a given line.
class LineWatch : public logstream {
public:
    explicit LineWatch(const char* wanted) : wanted_(wanted) {}
    bool write(std::string line) override {
        if (line == wanted_) {
            seenAt_ = Clock::now();
            seen_.store(true);
        }
        return true;
    }
    bool seen() const { return seen_.load(); }
    Clock::time_point seenAt() const { return seenAt_; }

private:
    std::string wanted_;
    std::atomic<bool> seen_{false};
    Clock::time_point seenAt_;
};

// A host serving in service mode on a thread of its own.
struct ServingHost {
    CServiceHost host;
    LineWatch started{"Service started"};
    std::thread runner;
    Clock::time_point serveCalled;
    explicit ServingHost(const char* name) {
        host.setName(name);
        host.getLog(nullptr)->addStream(&started);
        serveCalled = Clock::now();
        runner = std::thread([this] { host.serve(false, 'S'); });
        while (!started.seen()) std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    ~ServingHost() {
        if (runner.joinable()) stop();
    }
    void stop() {
        host.requestStop();
        runner.join();
    }
};

void BM_WakeUpLoop_100Protocols(benchmark::State& state) {
    bench::writeHostConfig("BenchIdle", 100, 1);
    ServingHost serving("BenchIdle");
    measureCpuShare(state);
}

// The floor: a thread that only wakes every millisecond, as each pass does.
void BM_WakeUpLoop_BareSleep1ms(benchmark::State& state) {
    std::atomic<bool> running{true};
    std::thread sleeper([&] {
        while (running.load()) Sleep(1);
    });
    measureCpuShare(state);
    running.store(false);
    sleeper.join();
}

void BM_StartUp_100x3(benchmark::State& state) {
    bench::writeHostConfig("BenchStart", 100, 3);
    for (auto _ : state) {
        ServingHost serving("BenchStart");
        state.SetIterationTime(
            std::chrono::duration<double>(serving.started.seenAt() - serving.serveCalled).count());
    }
}

void BM_StopSequence_100x3(benchmark::State& state) {
    bench::writeHostConfig("BenchStop", 100, 3);
    for (auto _ : state) {
        ServingHost serving("BenchStop");
        LineWatch stopping("Service stopped");
        serving.host.getLog(nullptr)->addStream(&stopping);
        serving.stop();
        state.SetIterationTime(
            std::chrono::duration<double>(Clock::now() - stopping.seenAt()).count());
    }
}

// The floor for both: making, starting, stopping and deleting the same 400
// plug-in objects directly.
void BM_StartAndStopPluginsDirectly_100x3(benchmark::State& state) {
    libconfig::Config config;
    config.readString("g = { journal = false; trail = false; };");
    for (auto _ : state) {
        std::vector<CProtocolPlugin*> protocols;
        std::vector<CDatabasePlugin*> databases;
        for (int p = 0; p < 100; ++p) {
            protocols.push_back(
                static_cast<CProtocolPlugin*>(loadPlugin(bench::plugin("testprotocol").c_str())));
            protocols.back()->start(config.lookup("g"));
            for (int d = 0; d < 3; ++d) {
                databases.push_back(static_cast<CDatabasePlugin*>(
                    loadPlugin(bench::plugin("testdatabase").c_str())));
                databases.back()->start(config.lookup("g"));
            }
        }
        for (auto* p : protocols) p->stop();
        for (auto* d : databases) d->stop();
        for (auto* p : protocols) delete p;
        for (auto* d : databases) delete d;
    }
}

class AnswerSink : public CControlPlugin {
public:
    int processRecord(int, Record* record) override {
        benchmark::DoNotOptimize(record);
        return 0;
    }
    int processLog(Record*) override { return 0; }
    void setCallback(EventProc, void*) override {}
    int start(Setting&) override { return 0; }
    void stop() override {}
};

void BM_StatusRoundTrip_100Protocols(benchmark::State& state) {
    bench::writeHostConfig("BenchStatus", 100, 1);
    ServingHost serving("BenchStatus");
    AnswerSink sender;
    Record request;
    request.set("CMD", "STATUS");
    request.set("REQUEST", "1");
    for (auto _ : state) CServiceHost::controlEventProc(&serving.host, &sender, 12, &request);
    state.SetItemsProcessed(state.iterations());
}

void BM_StatusFloor_200IsRunningCalls(benchmark::State& state) {
    libconfig::Config config;
    config.readString("g = { journal = false; };");
    std::vector<CProtocolPlugin*> protocols;
    std::vector<CDatabasePlugin*> databases;
    for (int p = 0; p < 100; ++p) {
        protocols.push_back(
            static_cast<CProtocolPlugin*>(loadPlugin(bench::plugin("testprotocol").c_str())));
        protocols.back()->start(config.lookup("g"));
        databases.push_back(
            static_cast<CDatabasePlugin*>(loadPlugin(bench::plugin("testdatabase").c_str())));
        databases.back()->start(config.lookup("g"));
    }
    for (auto _ : state) {
        bool all = true;
        for (int i = 0; i < 100; ++i)
            all = protocols[i]->isRunning() && databases[i]->isRunning() && all;
        benchmark::DoNotOptimize(all);
    }
    for (auto* p : protocols) delete p;
    for (auto* d : databases) delete d;
}

// STATUS while another thread stops and starts every protocol back to
// back: how long a STATUS waits for its turn at the host lock.
void BM_StatusLatency_During2000StopStartCycles(benchmark::State& state) {
    bench::writeHostConfig("BenchFair", 10, 1);
    ServingHost serving("BenchFair");
    AnswerSink sender;
    for (auto _ : state) {
        std::atomic<bool> cycling{true};
        std::thread switcher([&] {
            Record stop, start;
            stop.set("CMD", "CONTROL");
            stop.set("TYPE", "STOP");
            start.set("CMD", "CONTROL");
            start.set("TYPE", "START");
            for (int cycle = 0; cycle < 2000; ++cycle) {
                CServiceHost::controlEventProc(&serving.host, &sender, 0, &stop);
                CServiceHost::controlEventProc(&serving.host, &sender, 0, &start);
                // The test plug-ins journal every object they make; a journal
                // that grows without end would time its own reallocations.
                if (cycle % 100 == 99) TestJournal::clear();
            }
            cycling.store(false);
        });
        Record request;
        request.set("CMD", "STATUS");
        std::vector<double> waits;
        while (cycling.load()) {
            auto asked = Clock::now();
            CServiceHost::controlEventProc(&serving.host, &sender, 1, &request);
            waits.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - asked).count());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        switcher.join();
        std::sort(waits.begin(), waits.end());
        auto at = [&](double share) {
            return waits[static_cast<size_t>(share * (waits.size() - 1))];
        };
        state.counters["status_p50_ms"] = at(0.5);
        state.counters["status_p99_ms"] = at(0.99);
        state.counters["status_max_ms"] = waits.back();
        state.counters["status_requests"] = static_cast<double>(waits.size());
    }
}

}  // namespace

BENCHMARK(BM_StatusLatency_During2000StopStartCycles)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WakeUpLoop_100Protocols)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WakeUpLoop_BareSleep1ms)->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StartUp_100x3)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StopSequence_100x3)->UseManualTime()->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StartAndStopPluginsDirectly_100x3)->Iterations(10)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StatusRoundTrip_100Protocols)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StatusFloor_200IsRunningCalls)->Unit(benchmark::kMicrosecond);
