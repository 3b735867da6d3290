#include "WebControlPlugin.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libconfig.h++>
#include <new>

#include "ConsolePage.h"
#include "Cp1250.h"
#include "Exposition.h"
#include "Json.h"
#include "StrictSettings.h"
#include "Utf8.h"
#include "WebControlExtension.h"
#include "common/Record.h"
#include "platform/console_output.h"
#include "plugin/PluginExport.h"

namespace webcontrol {

namespace {

constexpr std::size_t kDefaultLogLines = 1000;
// Browsers following the log at once.
// A control plug-in has no log of its own: why it refused or stopped goes
// to standard error, which under systemd is the journal, at error priority.
void sayFailure(const std::string& line) {
    ostra::writeText(stderr, (ostra::goesToJournal(stderr) ? "<3>" : "") + line + "\n");
}

constexpr int kMaxLogReaders = 8;
constexpr std::chrono::seconds kIdleComment(1);
constexpr std::chrono::seconds kSampleInterval(1);
constexpr std::chrono::seconds kHealthWindow(60);

std::string jsonString(const std::string& text) {
    std::string json;
    bundled_support::appendJsonString(json, text);
    return json;
}

// A JSON number; null for what JSON cannot say (no value, infinity).
std::string jsonNumber(double value) {
    if (!(value >= 0) || value > 1e300) return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
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
    std::string data = bundled_support::hostTextToUtf8(line.text);
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
    try {
        ostra::MutexLock guard(answersMutex_);
        auto waiting = answers_.find(tag);
        if (waiting != answers_.end()) waiting->second.reset(new Record(*record));
    } catch (const std::exception&) {
        // Out of memory: that request goes unanswered, as if the host were stopping.
    }
    return 0;
}

int WebControlPlugin::start(Setting& group) {
    try {
        return startServer(group);
    } catch (const std::exception& failure) {
        sayFailure(std::string("webcontrol: ") + failure.what());
        stop();
        return 1;
    }
}

int WebControlPlugin::startServer(Setting& group) {
    bundled_support::StrictSettings keys(group, "webcontrol", kSettings);
    HttpServerSettings settings;
    settings.bind = keys.text("bind");
    settings.port = static_cast<int>(keys.integer("port"));
    access_.token = keys.text("token");
    access_.readToken = keys.text("readtoken");
    auto logLines = keys.integer("loglines");
    refusedPercent_ = static_cast<int>(keys.integer("refusedpercent"));
    if (!keys.fault().empty()) {
        // A control plug-in has no log of its own: the operator's console.
        sayFailure(keys.fault());
        return 1;
    }
    access_.loopbackOnly = isLoopbackBind(settings.bind);
    if (!access_.loopbackOnly && access_.token.empty()) {
        // Whoever reached the port could stop every protocol.
        sayFailure("webcontrol: \"bind\" is " + settings.bind +
                   " without a \"token\": a console reached beyond this machine needs one; "
                   "set \"token\" or bind to 127.0.0.1");
        return 1;
    }
    ring_.setCapacity(static_cast<std::size_t>(logLines));
    // The token may travel in the page's address: no page it links to learns it.
    settings.defaultHeaders = {{"X-Content-Type-Options", "nosniff"},
                               {"Referrer-Policy", "no-referrer"}};

    settings.onFailure = [](const std::string& why) {
        sayFailure("webcontrol: " + why + "; the console no longer answers");
    };
    stopping_ = false;
    std::string error;
    if (!server_.start(
            settings, [this](const HttpRequest& request) { return answer(request); }, error)) {
        sayFailure("webcontrol: " + error);
        return 1;
    }
    sampler_ = std::thread(&WebControlPlugin::sample, this);
    std::printf("Web console: http://%s:%d/%s\n", addressInLinks(settings.bind).c_str(),
                server_.port(), access_.token.empty() ? "" : "?token=...");
    std::fflush(stdout);
    return 0;
}

void WebControlPlugin::stop() {
    {
        ostra::MutexLock guard(samplerMutex_);
        stopping_ = true;
    }
    samplerWake_.notifyAll();
    if (sampler_.joinable()) sampler_.join();
    server_.stop();
}

void WebControlPlugin::sample() {
    ostra::MutexLock lock(samplerMutex_);
    while (!stopping_) {
        lock.unlock();
        HostMetrics numbers;
        if (askMetrics(numbers)) history_.add(numbers);
        lock.lock();
        const auto next = std::chrono::steady_clock::now() + kSampleInterval;
        for (auto now = std::chrono::steady_clock::now(); !stopping_ && now < next;
             now = std::chrono::steady_clock::now())
            samplerWake_.waitFor(lock, next - now);
    }
}

bool WebControlPlugin::ask(const char* command, Record& answer) {
    if (!proc_ || stopping_) return false;
    int tag = nextTag_++;
    {
        ostra::MutexLock guard(answersMutex_);
        answers_[tag];
    }
    Record request;
    request.set("CMD", command);
    request.set("REQUEST", std::to_string(tag).c_str());
    proc_(context_, static_cast<CControlPlugin*>(this), tag, &request);
    ostra::MutexLock guard(answersMutex_);
    auto answered = answers_.find(tag);
    bool got = answered->second != nullptr;
    if (got) answer = *answered->second;
    answers_.erase(answered);
    return got;
}

std::string WebControlPlugin::askStatus() {
    Record answer;
    return ask("STATUS", answer) ? answer.get("ANSWER") : std::string();
}

bool WebControlPlugin::askMetrics(HostMetrics& numbers) {
    Record answer;
    return ask("METRICS", answer) && numbers.read(answer);
}

void WebControlPlugin::sendControl(const char* type, bool named, const std::string& protocol,
                                   const std::string& client) {
    if (!proc_ || stopping_) return;
    Record request;
    request.set("CMD", named ? "CONTROL_PROTOCOL" : "CONTROL");
    request.set("TYPE", type);
    if (named) request.set("PROTOCOL", protocol.c_str());
    request.set("ORIGIN", ("web console client " + client).c_str());
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
    AccessVerdict verdict = checkAccess(access_, request, refuseCrossSite, needsToken, isRead);
    if (verdict.status == 401 && request.path == "/healthz" && isRead) {
        // A load balancer's probe has no secret: it gets the verdict, not the details.
        if (checkAccess(access_, request, refuseCrossSite, false).status == 0) {
            HttpResponse verdictOnly = healthPage(false);
            verdictOnly.untrusted = true;
            return verdictOnly;
        }
    }
    if (verdict.status != 0) {
        HttpResponse refused = jsonAnswer(verdict.status, "error", verdict.reason);
        refused.untrusted = true;
        return refused;
    }
    HttpResponse routed = route(request);
    // A file anyone may fetch proves nothing either.
    routed.untrusted = !needsToken && !access_.token.empty();
    return routed;
}

HttpResponse WebControlPlugin::route(const HttpRequest& request) {
    const std::string& path = request.path;
    bool isRead = request.method == "GET" || request.method == "HEAD";
    bool isCommand = path == "/api/start" || path == "/api/stop";
    if (isCommand && request.method == "POST") {
        // "?protocol=" with no name (or one that does not decode) names no
        // protocol; it must not become a command for every one.
        const std::string& query = request.query;
        bool named =
            query.rfind("protocol=", 0) == 0 || query.find("&protocol=") != std::string::npos;
        std::string protocol = request.param("protocol");
        if (named && protocol.empty()) return jsonAnswer(400, "error", "no protocol named");
        sendControl(path == "/api/start" ? "START" : "STOP", named,
                    bundled_support::hostTextFromUtf8(protocol), request.peer);
        return stateAnswer();
    }
    if (isCommand) {
        HttpResponse refused = jsonAnswer(405, "error", "use POST");
        refused.headers.emplace_back("Allow", "POST");
        return refused;
    }
    bool known = path == "/" || path == "/console.css" || path == "/console.js" ||
                 path == "/api/status" || path == "/api/log" || path == "/api/metrics" ||
                 path == "/metrics" || path == "/healthz";
    if (!known) return jsonAnswer(404, "error", "no such page");
    if (!isRead) {
        HttpResponse refused = jsonAnswer(405, "error", "use GET");
        refused.headers.emplace_back("Allow", "GET, HEAD");
        return refused;
    }
    if (path == "/api/status") return stateAnswer();
    if (path == "/api/log") return logStream(request);
    if (path == "/api/metrics") return metricsPage();
    if (path == "/metrics") return prometheusPage();
    if (path == "/healthz") return healthPage(true);
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
        ostra::MutexLock guard(readersMutex_);
        if (readers_.size() >= static_cast<std::size_t>(kMaxLogReaders)) {
            // With a token, every reader has shown it: the one reading
            // first keeps its place. Without one, anybody on this machine
            // could hold every place, so the oldest gives way.
            if (!access_.token.empty())
                return jsonAnswer(503, "error", "as many log readers as the console serves");
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
        ostra::MutexLock guard(readersMutex_);
        for (auto reader = readers_.begin(); reader != readers_.end(); ++reader)
            if (*reader == pushedOut) {
                readers_.erase(reader);
                break;
            }
    };
    return events;
}

HttpResponse WebControlPlugin::prometheusPage() {
    HostMetrics numbers;
    if (!askMetrics(numbers))
        return jsonAnswer(503, "error", "the host did not answer: it is stopping");
    HttpResponse page;
    page.headers.emplace_back("Cache-Control", "no-store");
    page.contentType = kExpositionContentType;
    page.body = exposition(numbers);
    return page;
}

HttpResponse WebControlPlugin::metricsPage() {
    HostMetrics numbers;
    if (!askMetrics(numbers))
        return jsonAnswer(503, "error", "the host did not answer: it is stopping");
    std::string json =
        "{\"state\":" + jsonString(numbers.state) +
        ",\"uptime\":" + std::to_string(numbers.uptime) +
        ",\"configuration\":" + jsonString(numbers.configuration) +
        ",\"configurationLoaded\":" + std::to_string(numbers.configurationLoaded) +
        ",\"reloadRefused\":" + jsonString(bundled_support::hostTextToUtf8(numbers.reloadRefused)) +
        ",\"protocols\":[";
    for (std::size_t index = 0; index < numbers.protocols.size(); ++index) {
        const ProtocolMetrics& protocol = numbers.protocols[index];
        if (index > 0) json += ',';
        json += "{\"name\":" + jsonString(bundled_support::hostTextToUtf8(protocol.name));
        json += ",\"state\":" + jsonString(protocol.state);
        json += ",\"since\":" + std::to_string(protocol.since);
        json += ",\"records\":" + std::to_string(protocol.records);
        json += ",\"answers\":[" + std::to_string(protocol.answers[0]) + "," +
                std::to_string(protocol.answers[1]) + "," + std::to_string(protocol.answers[2]) +
                "]";
        json +=
            ",\"lastFailure\":" + jsonString(bundled_support::hostTextToUtf8(protocol.lastFailure));
        json += ",\"lastFailureTime\":" + std::to_string(protocol.lastFailureTime);
        json += ",\"p50\":" + jsonNumber(protocol.latencyQuantile(0.5, numbers.latencyBounds));
        json += ",\"p99\":" + jsonNumber(protocol.latencyQuantile(0.99, numbers.latencyBounds));
        json += ",\"databases\":[";
        for (std::size_t position = 0; position < protocol.databases.size(); ++position) {
            const auto& database = protocol.databases[position];
            if (position > 0) json += ',';
            json += "{\"name\":" + jsonString(bundled_support::hostTextToUtf8(database.name)) +
                    ",\"state\":" + jsonString(database.report.state) + ",\"reason\":" +
                    jsonString(bundled_support::hostTextToUtf8(database.report.reason)) + "}";
        }
        json += "]";
        json += ",\"rates\":[";
        std::vector<double> rates = history_.recordsPerSecond(protocol.name);
        for (std::size_t sample = 0; sample < rates.size(); ++sample)
            json += (sample == 0 ? "" : ",") + jsonNumber(rates[sample]);
        json += "]}";
    }
    json += "]}";
    HttpResponse page;
    page.headers.emplace_back("Cache-Control", "no-store");
    page.contentType = "application/json";
    page.body = std::move(json);
    return page;
}

HttpResponse WebControlPlugin::healthPage(bool withDetails) {
    HostMetrics numbers;
    bool answered = askMetrics(numbers);
    std::string failing;
    if (!answered || numbers.stopping)
        failing = "{\"protocol\":\"\",\"failure\":\"the host is stopping\"}";
    for (const ProtocolMetrics& protocol : numbers.protocols) {
        if (protocol.state == "STOPPED") continue;
        std::string why;
        const std::string trouble = protocol.trouble();
        if (!trouble.empty()) {
            why = trouble;
        } else if (protocol.state != "RUNNING") {
            // A failed start older than the state is history, not the reason.
            why = protocol.lastFailureTime >= protocol.since && !protocol.lastFailure.empty()
                      ? protocol.lastFailure
                      : "a plug-in reports that it is not running";
        } else {
            MetricsHistory::Window window = history_.last(protocol.name, kHealthWindow);
            if (window.records > 0 &&
                window.notStored * 100 >= window.records * static_cast<Count>(refusedPercent_) &&
                window.notStored > 0)
                why = std::to_string(window.notStored) + " of the last minute's " +
                      std::to_string(window.records) + " records not stored";
        }
        if (why.empty()) continue;
        if (!failing.empty()) failing += ',';
        failing += "{\"protocol\":" + jsonString(bundled_support::hostTextToUtf8(protocol.name)) +
                   ",\"failure\":" + jsonString(bundled_support::hostTextToUtf8(why)) +
                   ",\"since\":" + std::to_string(protocol.since) + "}";
    }
    HttpResponse page;
    page.status = failing.empty() ? 200 : 503;
    page.headers.emplace_back("Cache-Control", "no-store");
    page.contentType = "application/json";
    page.body = std::string("{\"healthy\":") + (failing.empty() ? "true" : "false");
    if (withDetails) page.body += ",\"failing\":[" + failing + "]";
    // Records still flow, so it is no reason to take the host out of
    // service; the operator is told all the same.
    if (withDetails && numbers.logLosing)
        page.body += ",\"log\":\"the log file cannot be written; " +
                     std::to_string(numbers.logLinesLost) + " lines lost so far\"";
    page.body += "}";
    return page;
}

}  // namespace webcontrol

OSTRA_PLUGIN_KIND(control)

OSTRA_PLUGIN_FACTORY {
    return static_cast<CControlPlugin*>(new (std::nothrow) webcontrol::WebControlPlugin);
}
