#include "WebControlPlugin.h"

#include <httplib.h>

#include <cstdio>
#include <cstring>
#include <libconfig.h++>
#include <new>

#include "ConsolePage.h"
#include "Cp1250.h"
#include "Json.h"
#include "Net.h"
#include "StrictSettings.h"
#include "Utf8.h"
#include "common/Record.h"
#include "plugin/PluginExport.h"

namespace webcontrol {

namespace {

constexpr std::size_t kDefaultLogLines = 1000;
// Browsers following the log at once; each holds one server thread.
constexpr int kMaxLogReaders = 8;
constexpr std::size_t kServerThreads = kMaxLogReaders + 4;

std::string jsonString(const std::string& text) {
    std::string json;
    ostra_kit::appendJsonString(json, text);
    return json;
}

void answerJson(httplib::Response& response, int status, const std::string& key,
                const std::string& value) {
    response.status = status;
    response.set_header("Cache-Control", "no-store");
    response.set_content("{" + jsonString(key) + ":" + jsonString(value) + "}", "application/json");
}

// The host quotes every line; the console shows it as the log file has it.
std::string unquoted(const char* quoted) {
    std::size_t length = std::strlen(quoted);
    if (length >= 2 && quoted[0] == '"' && quoted[length - 1] == '"')
        return std::string(quoted + 1, length - 2);
    return std::string(quoted, length);
}

// One server-sent event per line, in UTF-8 (the ring keeps the host's own
// bytes: converting is left to the browsers' threads, off the host's
// logging path); a line has no line ends of its own.
std::string asEvent(const LogRing::Line& line) {
#ifdef OSTRA_CP1250
    std::string data = ostra_kit::cp1250ToUtf8(line.text);
#else
    std::string data = validUtf8(line.text);
#endif
    for (char& c : data)
        if (c == '\r' || c == '\n') c = ' ';
    return "id: " + std::to_string(line.number) + "\ndata: " + data + "\n\n";
}

}  // namespace

WebControlPlugin::WebControlPlugin() : ring_(kDefaultLogLines) {}

WebControlPlugin::~WebControlPlugin() { stop(); }

void WebControlPlugin::setCallback(EventProc proc, void* context) {
    proc_ = proc;
    context_ = context;
}

int WebControlPlugin::processLog(Record* record) {
    if (!record) return 0;
    try {
        ring_.push(unquoted(record->get("LOG_LINE")));
    } catch (const std::exception&) {
        // Out of memory: the console misses a line, the host goes on.
    }
    return 0;
}

int WebControlPlugin::processRecord(int tag, Record* record) {
    if (!record) return 0;
    std::lock_guard<std::mutex> guard(answersMutex_);
    auto waiting = answers_.find(tag);
    if (waiting != answers_.end()) waiting->second = record->get("ANSWER");
    return 0;
}

int WebControlPlugin::start(Setting& group) {
    try {
        return startServer(group);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "webcontrol: %s\n", failure.what());
        stop();
        return 1;
    }
}

int WebControlPlugin::startServer(Setting& group) {
    ostra_kit::StrictSettings keys(group, "webcontrol");
    std::string bind = keys.text("bind", "127.0.0.1");
    int port = static_cast<int>(keys.integer("port", 8765, 0, 65535));
    access_.token = keys.text("token", "");
    auto logLines = keys.integer("loglines", static_cast<long long>(kDefaultLogLines), 1, 1000000);
    if (!keys.fault().empty()) {
        // A control plug-in has no log of its own: the operator's console.
        std::fprintf(stderr, "%s\n", keys.fault().c_str());
        return 1;
    }
    access_.loopbackOnly = isLoopbackBind(bind);
    ring_.setCapacity(static_cast<std::size_t>(logLines));

    stopping_ = false;
    ring_.reopen();
    server_.reset(new httplib::Server);
    server_->new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
    server_->set_tcp_nodelay(true);  // headers and body leave at once, not a delayed ACK later
    server_->set_keep_alive_timeout(1);
    server_->set_read_timeout(2, 0);
    server_->set_write_timeout(2, 0);
    // The library's own options would let a second console share the port.
    server_->set_socket_options([](socket_t socket) {
        ostra_net::setListenerOptions(static_cast<ostra_net::Socket>(socket));
    });
    // The token may travel in the page's address: no page it links to learns it.
    server_->set_default_headers(
        {{"X-Content-Type-Options", "nosniff"}, {"Referrer-Policy", "no-referrer"}});
    addRoutes(*server_);
    if (!server_->bind_to_port(bind, port)) {
        std::fprintf(stderr, "webcontrol: cannot listen on %s:%d\n", bind.c_str(), port);
        server_.reset();
        return 1;
    }
    serverThread_ = std::thread([server = server_.get()] { server->listen_after_bind(); });
    std::printf("Web console: http://%s:%d/%s\n", bind == "0.0.0.0" ? "127.0.0.1" : bind.c_str(),
                port, access_.token.empty() ? "" : "?token=...");
    if (!access_.loopbackOnly && access_.token.empty())
        std::fprintf(stderr,
                     "webcontrol: %s:%d has no token: whoever reaches it controls the host\n",
                     bind.c_str(), port);
    std::fflush(stdout);
    return 0;
}

void WebControlPlugin::stop() {
    stopping_ = true;
    ring_.close();
    if (server_) server_->stop();
    if (serverThread_.joinable()) serverThread_.join();
    server_.reset();
}

std::string WebControlPlugin::askStatus() {
    if (!proc_ || stopping_) return std::string();
    int tag = nextTag_++;
    {
        std::lock_guard<std::mutex> guard(answersMutex_);
        answers_[tag];
    }
    Record request;
    request.set("CMD", "STATUS");
    request.set("REQUEST", std::to_string(tag).c_str());
    proc_(context_, static_cast<CControlPlugin*>(this), tag, &request);
    std::lock_guard<std::mutex> guard(answersMutex_);
    std::string state = answers_[tag];
    answers_.erase(tag);
    return state;
}

void WebControlPlugin::sendControl(const char* type) {
    if (!proc_ || stopping_) return;
    Record request;
    request.set("CMD", "CONTROL");
    request.set("TYPE", type);
    proc_(context_, static_cast<CControlPlugin*>(this), nextTag_++, &request);
}

void WebControlPlugin::addRoutes(httplib::Server& server) {
    server.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) {
            // State changes, and the log stream (a page on another site could
            // otherwise take every reader slot), are refused cross-site.
            bool refuseCrossSite = request.method != "GET" || request.path == "/api/log";
            // The page's style and script hold no secret: the page itself
            // cannot pass the token on to them.
            bool needsToken = request.path != "/console.css" && request.path != "/console.js";
            AccessVerdict verdict = checkAccess(access_, request, refuseCrossSite, needsToken);
            if (verdict.status == 0) return httplib::Server::HandlerResponse::Unhandled;
            answerJson(response, verdict.status, "error", verdict.reason);
            return httplib::Server::HandlerResponse::Handled;
        });

    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_header("X-Frame-Options", "DENY");
        response.set_header("Content-Security-Policy", kContentSecurityPolicy);
        response.set_content(kConsolePage, "text/html; charset=utf-8");
    });
    server.Get("/console.css", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(kConsoleStyle, "text/css; charset=utf-8");
    });
    server.Get("/console.js", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(kConsoleScript, "text/javascript; charset=utf-8");
    });

    auto answerState = [this](httplib::Response& response) {
        std::string state = askStatus();
        if (state.empty())
            answerJson(response, 503, "error", "the host did not answer: it is stopping");
        else
            answerJson(response, 200, "state", state);
    };
    server.Get("/api/status", [answerState](const httplib::Request&, httplib::Response& response) {
        answerState(response);
    });
    struct Command {
        const char* path;
        const char* type;
    };
    for (Command command : {Command{"/api/start", "START"}, Command{"/api/stop", "STOP"}}) {
        server.Post(command.path, [this, command, answerState](const httplib::Request&,
                                                               httplib::Response& response) {
            sendControl(command.type);
            answerState(response);
        });
        server.Get(command.path, [](const httplib::Request&, httplib::Response& response) {
            response.set_header("Allow", "POST");
            answerJson(response, 405, "error", "use POST");
        });
    }

    server.Get("/api/log", [this](const httplib::Request& request, httplib::Response& response) {
        if (++logReaders_ > kMaxLogReaders) {
            --logReaders_;
            answerJson(response, 503, "error", "too many log readers");
            return;
        }
        std::uint64_t after = 0;
        std::string lastSeen = request.get_header_value("Last-Event-ID");
        if (!lastSeen.empty()) after = std::strtoull(lastSeen.c_str(), nullptr, 10);
        response.set_header("Cache-Control", "no-store");
        response.set_chunked_content_provider(
            "text/event-stream",
            [this, after](std::size_t, httplib::DataSink& sink) mutable {
                if (stopping_) {
                    sink.done();
                    return true;
                }
                auto lines = ring_.linesAfter(after, std::chrono::milliseconds(250));
                std::string events;
                for (const LogRing::Line& line : lines) {
                    events += asEvent(line);
                    after = line.number;
                }
                // A comment when idle: finds out that a browser has gone.
                if (events.empty()) events = ":\n\n";
                return sink.write(events.data(), events.size());
            },
            [this](bool) { --logReaders_; });
    });
}

}  // namespace webcontrol

OSTRA_PLUGIN_KIND(control)

OSTRA_PLUGIN_FACTORY {
    return static_cast<CControlPlugin*>(new (std::nothrow) webcontrol::WebControlPlugin);
}
