#include "WebControlPlugin.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libconfig.h++>
#include <new>

#include "ConsolePage.h"
#include "Cp1250.h"
#include "Json.h"
#include "StrictSettings.h"
#include "Utf8.h"
#include "common/Record.h"
#include "plugin/PluginExport.h"

namespace webcontrol {

namespace {

constexpr std::size_t kDefaultLogLines = 1000;
// Browsers following the log at once.
constexpr int kMaxLogReaders = 8;
constexpr std::chrono::seconds kIdleComment(1);

std::string jsonString(const std::string& text) {
    std::string json;
    bundled_support::appendJsonString(json, text);
    return json;
}

HttpResponse jsonAnswer(int status, const std::string& key, const std::string& value) {
    HttpResponse response;
    response.status = status;
    response.headers.emplace_back("Cache-Control", "no-store");
    response.contentType = "application/json";
    response.body = "{" + jsonString(key) + ":" + jsonString(value) + "}";
    return response;
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
    std::string data = bundled_support::cp1250ToUtf8(line.text);
#else
    std::string data = validUtf8(line.text);
#endif
    for (char& c : data)
        if (c == '\r' || c == '\n') c = ' ';
    return "id: " + std::to_string(line.number) + "\ndata: " + data + "\n\n";
}

// The address to put in the console's link: a local one for "any", an
// IPv6 address in brackets.
std::string addressInLinks(const std::string& bind) {
    if (bind.empty() || bind == "0.0.0.0") return "127.0.0.1";
    if (bind == "::") return "[::1]";
    if (bind.find(':') != std::string::npos && bind[0] != '[') return "[" + bind + "]";
    return bind;
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
    bundled_support::StrictSettings keys(group, "webcontrol");
    HttpServerSettings settings;
    settings.bind = keys.text("bind", "127.0.0.1");
    settings.port = static_cast<int>(keys.integer("port", 8765, 0, 65535));
    access_.token = keys.text("token", "");
    auto logLines = keys.integer("loglines", static_cast<long long>(kDefaultLogLines), 1, 1000000);
    if (!keys.fault().empty()) {
        // A control plug-in has no log of its own: the operator's console.
        std::fprintf(stderr, "%s\n", keys.fault().c_str());
        return 1;
    }
    access_.loopbackOnly = isLoopbackBind(settings.bind);
    if (!access_.loopbackOnly && access_.token.empty()) {
        // Whoever reached the port could stop every protocol.
        std::fprintf(stderr,
                     "webcontrol: \"bind\" is %s without a \"token\": a console reached beyond "
                     "this machine needs one; set \"token\" or bind to 127.0.0.1\n",
                     settings.bind.c_str());
        return 1;
    }
    ring_.setCapacity(static_cast<std::size_t>(logLines));
    // The token may travel in the page's address: no page it links to learns it.
    settings.defaultHeaders = {{"X-Content-Type-Options", "nosniff"},
                               {"Referrer-Policy", "no-referrer"}};

    settings.onFailure = [](const std::string& why) {
        std::fprintf(stderr, "webcontrol: %s; the console no longer answers\n", why.c_str());
    };
    stopping_ = false;
    std::string error;
    if (!server_.start(
            settings, [this](const HttpRequest& request) { return answer(request); }, error)) {
        std::fprintf(stderr, "webcontrol: %s\n", error.c_str());
        return 1;
    }
    std::printf("Web console: http://%s:%d/%s\n", addressInLinks(settings.bind).c_str(),
                server_.port(), access_.token.empty() ? "" : "?token=...");
    std::fflush(stdout);
    return 0;
}

void WebControlPlugin::stop() {
    stopping_ = true;
    server_.stop();
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

HttpResponse WebControlPlugin::answer(const HttpRequest& request) {
    bool isRead = request.method == "GET" || request.method == "HEAD";
    // State changes, and the log stream (a page on another site could
    // otherwise take every reader slot), are refused cross-site.
    bool refuseCrossSite = !isRead || request.path == "/api/log";
    // The page's style and script hold no secret: the page itself cannot
    // pass the token on to them.
    bool needsToken = request.path != "/console.css" && request.path != "/console.js";
    AccessVerdict verdict = checkAccess(access_, request, refuseCrossSite, needsToken);
    if (verdict.status != 0) return jsonAnswer(verdict.status, "error", verdict.reason);
    return route(request);
}

HttpResponse WebControlPlugin::route(const HttpRequest& request) {
    const std::string& path = request.path;
    bool isRead = request.method == "GET" || request.method == "HEAD";
    bool isCommand = path == "/api/start" || path == "/api/stop";
    if (isCommand && request.method == "POST") {
        sendControl(path == "/api/start" ? "START" : "STOP");
        return stateAnswer();
    }
    if (isCommand) {
        HttpResponse refused = jsonAnswer(405, "error", "use POST");
        refused.headers.emplace_back("Allow", "POST");
        return refused;
    }
    bool known = path == "/" || path == "/console.css" || path == "/console.js" ||
                 path == "/api/status" || path == "/api/log";
    if (!known) return jsonAnswer(404, "error", "no such page");
    if (!isRead) {
        HttpResponse refused = jsonAnswer(405, "error", "use GET");
        refused.headers.emplace_back("Allow", "GET, HEAD");
        return refused;
    }
    if (path == "/api/status") return stateAnswer();
    if (path == "/api/log") return logStream(request);
    HttpResponse file;
    if (path == "/") {
        file.headers = {{"Cache-Control", "no-store"},
                        {"X-Frame-Options", "DENY"},
                        {"Content-Security-Policy", kContentSecurityPolicy}};
        file.contentType = "text/html; charset=utf-8";
        file.body = kConsolePage;
    } else if (path == "/console.css") {
        file.contentType = "text/css; charset=utf-8";
        file.body = kConsoleStyle;
    } else {
        file.contentType = "text/javascript; charset=utf-8";
        file.body = kConsoleScript;
    }
    return file;
}

HttpResponse WebControlPlugin::stateAnswer() {
    std::string state = askStatus();
    if (state.empty()) return jsonAnswer(503, "error", "the host did not answer: it is stopping");
    return jsonAnswer(200, "state", state);
}

HttpResponse WebControlPlugin::logStream(const HttpRequest& request) {
    auto pushedOut = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard<std::mutex> guard(readersMutex_);
        if (readers_.size() >= static_cast<std::size_t>(kMaxLogReaders)) {
            readers_.front()->store(true);
            readers_.pop_front();
        }
        readers_.push_back(pushedOut);
    }
    std::uint64_t after = 0;
    std::string lastSeen = request.header("Last-Event-ID");
    if (!lastSeen.empty()) after = std::strtoull(lastSeen.c_str(), nullptr, 10);
    HttpResponse events;
    events.contentType = "text/event-stream";
    events.headers.emplace_back("Cache-Control", "no-store");
    auto lastSent = std::chrono::steady_clock::now();
    events.stream = [this, after, lastSent, pushedOut](std::string& out, std::size_t room) mutable {
        if (stopping_ || pushedOut->load()) return false;
        for (const LogRing::Line& line : ring_.linesAfter(after, room)) {
            out += asEvent(line);
            after = line.number;
        }
        // A comment each second when idle: a proxy or a client waiting for data
        // sees the stream is alive.
        auto now = std::chrono::steady_clock::now();
        if (out.empty() && now - lastSent > kIdleComment) out = ":\n\n";
        if (!out.empty()) lastSent = now;
        return true;
    };
    events.streamEnded = [this, pushedOut] {
        std::lock_guard<std::mutex> guard(readersMutex_);
        for (auto reader = readers_.begin(); reader != readers_.end(); ++reader)
            if (*reader == pushedOut) {
                readers_.erase(reader);
                break;
            }
    };
    return events;
}

}  // namespace webcontrol

OSTRA_PLUGIN_KIND(control)

OSTRA_PLUGIN_FACTORY {
    return static_cast<CControlPlugin*>(new (std::nothrow) webcontrol::WebControlPlugin);
}
