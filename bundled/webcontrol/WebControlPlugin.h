// webcontrol: the host's remote control in a browser.
//
// Configuration keys of the "control" group (all optional):
//   bind      address to listen on (default "127.0.0.1")
//   port      TCP port (default 8765)
//   token     when set, every request must carry it (see AccessRules.h)
//   loglines  log lines kept for the console (default 1000)
//
// HTTP interface:
//   GET  /            the console page
//   GET  /api/status  {"state":"STARTED"} or {"state":"STOPPED"}: a STATUS
//                     request to the host, answered through processRecord
//   POST /api/start   CONTROL START (a forced start of every protocol), then
//   POST /api/stop    CONTROL STOP; both answer with the state that follows
//   GET  /api/log     the log as server-sent events: the kept lines, then
//                     every new one (event id = line number; a reconnecting
//                     browser gets what it missed while it is still kept)
// Errors are answered as {"error":"..."} with 401, 403, 404, 405 or 503,
// and the server's own limits (HttpServer.h) with 400, 408, 413, 414, 431.
//
// Threads: the HTTP server runs on its own threads (one reads every
// connection, four answer complete requests); processLog only copies the
// line into a ring and returns. stop() closes every connection at once and
// joins every thread it started (a request waiting for the host is let
// finish: the host answers it "STOPPED" while it stops).
#pragma once

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "AccessRules.h"
#include "HttpServer.h"
#include "LogRing.h"
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
    // The host's answer to a STATUS request: "STARTED", "STOPPED", or empty
    // when the host did not answer (it is stopping).
    std::string askStatus();
    void sendControl(const char* type);

    EventProc proc_ = nullptr;
    void* context_ = nullptr;
    AccessRules access_;
    LogRing ring_;
    std::atomic<bool> stopping_{false};
    // The log streams being served, oldest first. When every slot is taken,
    // a newcomer pushes out the oldest: a reader that never reads cannot
    // hold a slot for good, and a browser's EventSource reconnects by itself.
    std::mutex readersMutex_;
    std::deque<std::shared_ptr<std::atomic<bool>>> readers_;  // each: pushed out

    std::atomic<int> nextTag_{1};
    std::mutex answersMutex_;
    std::map<int, std::string> answers_;  // tag -> state, for requests in flight

    HttpServer server_;
};

}  // namespace webcontrol
