// What the host's numbers cost to ask for: the METRICS request beside
// STATUS with 100 protocols, and the console's /metrics page (the request,
// reading its answer and writing the exposition) for 100 protocols with
// three databases each and for 1,000 protocols; and both again with every
// database reporting five numbers of its own.
#include <benchmark/benchmark.h>

#include <thread>

#include "BenchSupport.h"
#include "OstraService/KeptAnswer.h"
#include "OstraService/MetricsAnswer.h"
#include "OstraService/ServiceHost.h"
#include "bundled/webcontrol/Exposition.h"
#include "common/Record.h"
#include "plugin/HostMetrics.h"

namespace {

struct Serving {
    CServiceHost host;
    std::thread runner;
    explicit Serving(const char* name, int protocols, int databases) {
        bench::writeHostConfig(name, protocols, databases);
        host.setName(name);
        runner = std::thread([this] { host.serve(false, 'S'); });
        KeptAnswer probe;
        Record request;
        request.set("CMD", "METRICS");
        // Served once the set-up is done and every protocol is made.
        do {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            CServiceHost::controlEventProc(&host, &probe, 1, &request);
        } while (std::string(probe.answer.get("PROTOCOLS")) != std::to_string(protocols));
    }
    ~Serving() {
        host.requestStop();
        runner.join();
    }
};

void BM_MetricsRoundTrip_100Protocols(benchmark::State& state) {
    Serving serving("BenchMetrics", 100, 1);
    KeptAnswer sender;
    Record request;
    request.set("CMD", "METRICS");
    for (auto _ : state) CServiceHost::controlEventProc(&serving.host, &sender, 12, &request);
    state.SetItemsProcessed(state.iterations());
}

void exposeAll(benchmark::State& state, int protocols, int databases) {
    Serving serving(protocols == 1000 ? "BenchExpose1000" : "BenchExpose", protocols, databases);
    KeptAnswer sender;
    Record request;
    request.set("CMD", "METRICS");
    std::size_t bytes = 0;
    for (auto _ : state) {
        CServiceHost::controlEventProc(&serving.host, &sender, 12, &request);
        ostra_metrics::HostMetrics numbers;
        numbers.read(sender.answer);
        std::string page = webcontrol::exposition(numbers);
        bytes = page.size();
        benchmark::DoNotOptimize(page.data());
    }
    state.counters["page_bytes"] = static_cast<double>(bytes);
}

void BM_MetricsPage_100x3(benchmark::State& state) { exposeAll(state, 100, 3); }
void BM_MetricsPage_1000x1(benchmark::State& state) { exposeAll(state, 1000, 1); }

}  // namespace

BENCHMARK(BM_MetricsRoundTrip_100Protocols)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MetricsPage_100x3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MetricsPage_1000x1)->Unit(benchmark::kMillisecond);

namespace {
// The answer's writing alone, without the request's way through the host.
void BM_MetricsAnswerWrite_100Protocols(benchmark::State& state) {
    std::vector<std::shared_ptr<metrics::ProtocolCounters>> protocols;
    for (int index = 0; index < 100; ++index) {
        protocols.push_back(std::make_shared<metrics::ProtocolCounters>());
        protocols.back()->setName("p" + std::to_string(index));
        protocols.back()->database(0, "testdatabase.so");
    }
    HostNumbers host;
    for (auto _ : state) {
        Record answer;
        writeMetrics(host, protocols, false, answer);
        benchmark::DoNotOptimize(answer);
    }
}
}  // namespace
BENCHMARK(BM_MetricsAnswerWrite_100Protocols)->Unit(benchmark::kMicrosecond);

namespace {
// What the plug-ins say of themselves: 100 protocols with three databases
// each, every database reporting a state and five numbers, sampled once.
// The METRICS answer copies the sampler's texts; /metrics reads them back
// and writes a family per number.
void sayFiveNumbers(void*, const OstraReportSink* sink) {
    sink->state(sink->context, OSTRA_STATE_DEGRADED, "spooling 1,200 records, oldest 2 min");
    sink->number(sink->context, "bench_spool_records", OSTRA_NUMBER_GAUGE, 1200, "Spooled.");
    sink->number(sink->context, "bench_spool_oldest_seconds", OSTRA_NUMBER_GAUGE, 125.5, "Age.");
    sink->number(sink->context, "bench_connected", OSTRA_NUMBER_GAUGE, 1, "Connected.");
    sink->number(sink->context, "bench_forwarded_records_total", OSTRA_NUMBER_COUNTER, 987654,
                 "Forwarded.");
    sink->number(sink->context, "bench_refused_rows", OSTRA_NUMBER_GAUGE, 3, "Refused.");
}

struct Reporting {
    std::vector<std::shared_ptr<metrics::ProtocolCounters>> protocols;
    reports::NumberCatalog catalog;
    HostReports sources;
    Reporting() {
        int object = 0;
        for (int index = 0; index < 100; ++index) {
            protocols.push_back(std::make_shared<metrics::ProtocolCounters>());
            protocols.back()->setName("p" + std::to_string(index));
            for (std::size_t position = 0; position < 3; ++position)
                protocols.back()
                    ->database(position, "pgsql.so")
                    .report.attach(&object, sayFiveNumbers);
        }
        ReportSampler::askAll(protocols, nullptr, catalog);
        sources.catalog = &catalog;
    }
    ~Reporting() {
        for (auto& counters : protocols) {
            std::vector<reports::ReportSlot*> slots;
            counters->slots(slots);
            for (reports::ReportSlot* slot : slots) slot->detach();
        }
    }
};

// The same 300 databases saying nothing: what the reports add.
void BM_MetricsAnswerWrite_100x3Silent(benchmark::State& state) {
    std::vector<std::shared_ptr<metrics::ProtocolCounters>> protocols;
    for (int index = 0; index < 100; ++index) {
        protocols.push_back(std::make_shared<metrics::ProtocolCounters>());
        protocols.back()->setName("p" + std::to_string(index));
        for (std::size_t position = 0; position < 3; ++position)
            protocols.back()->database(position, "pgsql.so");
    }
    HostNumbers host;
    for (auto _ : state) {
        Record answer;
        writeMetrics(host, protocols, false, answer);
        benchmark::DoNotOptimize(answer);
    }
}

void BM_MetricsAnswerWrite_100x3Reporting5(benchmark::State& state) {
    Reporting reporting;
    HostNumbers host;
    for (auto _ : state) {
        Record answer;
        writeMetrics(host, reporting.protocols, false, answer, reporting.sources);
        benchmark::DoNotOptimize(answer);
    }
}

void BM_MetricsPageWrite_100x3Reporting5(benchmark::State& state) {
    Reporting reporting;
    Record answer;
    writeMetrics(HostNumbers(), reporting.protocols, false, answer, reporting.sources);
    std::size_t bytes = 0;
    for (auto _ : state) {
        ostra_metrics::HostMetrics numbers;
        numbers.read(answer);
        std::string page = webcontrol::exposition(numbers);
        bytes = page.size();
        benchmark::DoNotOptimize(page.data());
    }
    state.counters["page_bytes"] = static_cast<double>(bytes);
}
}  // namespace
BENCHMARK(BM_MetricsAnswerWrite_100x3Silent)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MetricsAnswerWrite_100x3Reporting5)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_MetricsPageWrite_100x3Reporting5)->Unit(benchmark::kMillisecond);
