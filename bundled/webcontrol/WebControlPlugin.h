// webcontrol: the host's remote control in a browser.
//
// Configuration keys of the "control" group (all optional):
//   bind      address to listen on (default "127.0.0.1")
//   port      TCP port (default 8765)
//   token     when set, every request must carry it (see AccessRules.h)
//   loglines  log lines kept for the console (default 1000)
//   refusedpercent  /healthz turns unhealthy when a protocol did not store
//             this share or more of the last minute's records (default 10)
//
// HTTP interface:
//   GET  /            the console page
//   GET  /api/status  {"state":"STARTED"} or {"state":"STOPPED"}: a STATUS
//                     request to the host, answered through processRecord
//   POST /api/start   CONTROL START (a forced start of every protocol), then
//   POST /api/stop    CONTROL STOP; both answer with the state that follows.
//                     "?protocol=NAME" starts or stops that protocol only;
//                     the host logs each with the client's address
//   GET  /api/metrics  the console's table and chart: every protocol's
//                     state, counts, last failure, latency p50/p99 and its
//                     records per second over the last ten minutes (JSON)
//   GET  /metrics     the host's numbers for Prometheus (Exposition.h)
//   GET  /healthz     200 {"healthy":true} while every protocol that is not
//                     stopped by a command runs and stored more than
//                     100 - refusedpercent % of its last minute's records;
//                     503 {"healthy":false} otherwise. With the token (or
//                     none configured) the body also names each failing
//                     protocol and why; without it, a load balancer's probe
//                     still gets the status code and the one word, and
//                     nothing the token protects
//   GET  /api/log     the log as server-sent events: the kept lines, then
//                     every new one (event id = line number; a reconnecting
//                     browser gets what it missed while it is still kept)
// Errors are answered as {"error":"..."} with 401, 403, 404, 405 or 503,
// and the server's own limits (HttpServer.h) with 400, 408, 413, 414, 431.
//
// Threads: the HTTP server runs on its own threads (one reads every
// connection, four answer complete requests); a sampler thread asks the
// host for its numbers once a second (MetricsHistory.h); processLog only copies the
// line into a ring and returns. stop() closes every connection at once and
// joins every thread it started (a request waiting for the host is let
// finish: the host answers it "STOPPED" while it stops).
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "AccessRules.h"
#include "HttpServer.h"
#include "LogRing.h"
#include "MetricsHistory.h"
#include "platform/Mutex.h"
#include "plugin/CControlPlugin.h"

namespace webcontrol {

class WebControlPlugin : public CControlPlugin {
public:
    WebControlPlugin();
    ~WebControlPlugin() override;

    int processRecord(int tag, Record* record) override;
    int processLog(Record* record) override;
    void setCallback(EventProc proc, void* context) override;
    int start(Setting& group) override;
    void stop() override;

private:
    int startServer(Setting& group);
    HttpResponse answer(const HttpRequest& request);
    HttpResponse route(const HttpRequest& request);
    HttpResponse stateAnswer();
    HttpResponse logStream(const HttpRequest& request);
    HttpResponse metricsPage();
    HttpResponse prometheusPage();
    HttpResponse healthPage(bool withDetails);
    // Asks the host `command` (STATUS or METRICS); false when it did not
    // answer (it is stopping). The answer arrives through processRecord.
    bool ask(const char* command, Record& answer);
    // The host's answer to a STATUS request: "STARTED", "STOPPED", or empty
    // when the host did not answer.
    std::string askStatus();
    bool askMetrics(HostMetrics& numbers);
    // CONTROL `type` of every protocol, or when `named` of `protocol` only.
    void sendControl(const char* type, bool named, const std::string& protocol,
                     const std::string& client);
    void sample();

    EventProc proc_ = nullptr;
    void* context_ = nullptr;
    AccessRules access_;
    LogRing ring_;
    std::atomic<bool> stopping_{false};
    // The log streams being served, oldest first. When every slot is taken,
    // a newcomer pushes out the oldest: a reader that never reads cannot
    // hold a slot for good, and a browser's EventSource reconnects by itself.
    ostra::Mutex readersMutex_;
    std::deque<std::shared_ptr<std::atomic<bool>>> readers_  // each: pushed out
        OSTRA_GUARDED_BY(readersMutex_);

    std::atomic<int> nextTag_{1};
    ostra::Mutex answersMutex_;
    // tag -> answer, for requests in flight
    std::map<int, std::unique_ptr<Record>> answers_ OSTRA_GUARDED_BY(answersMutex_);

    int refusedPercent_ = 10;
    MetricsHistory history_;
    std::thread sampler_;
    ostra::Mutex samplerMutex_;  // to wait for stopping_ without missing it
    ostra::Condition samplerWake_;

    HttpServer server_;
};

}  // namespace webcontrol
