// The web console's HTTP interface, served by the real host with tcpline
// as its protocol: state, start and stop, the access rules, the live log,
// and a stop that leaves no thread behind.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "BundledFixture.h"
#include "Cp1250.h"
#include "Net.h"
#include "loader/loadPlugin.h"
#include "plugin/CControlPlugin.h"

namespace {

class WebControlTest : public BundledFixture {
protected:
    int webPort = freePort();
    int tcpPort = freePort();

    void serveConsole(const std::string& controlKeys = "", const std::string& databaseKeys = "") {
        serveUntilListening(webControl(webPort, controlKeys) + "protocols = ( " +
                                tcplineProtocol("PBX", tcpPort, testDatabase("db", databaseKeys)) +
                                " );",
                            webPort);
        ASSERT_TRUE(eventually([&] { return portAccepts(tcpPort); }));
    }
    httplib::Client client() {
        httplib::Client web("127.0.0.1", webPort);
        web.set_read_timeout(10, 0);
        return web;
    }
    // The status code of `method` on `path` with extra headers.
    int statusOf(const std::string& method, const std::string& path,
                 const httplib::Headers& headers = {}) {
        auto web = client();
        auto result = method == "POST" ? web.Post(path.c_str(), headers, "", "text/plain")
                                       : web.Get(path.c_str(), headers);
        return result ? result->status : -1;
    }
    std::string body(const std::string& method, const std::string& path) {
        auto web = client();
        auto result =
            method == "POST" ? web.Post(path.c_str(), "", "text/plain") : web.Get(path.c_str());
        return result ? result->body : "<no answer>";
    }
};

// Reads the console's log stream on a thread of its own until told to stop.
class LogReader {
public:
    LogReader(int port, std::string path = "/api/log") {
        thread_ = std::thread([this, port, path] {
            httplib::Client web("127.0.0.1", port);
            web.set_read_timeout(30, 0);
            web.Get(path.c_str(), [this](const char* data, size_t length) {
                std::lock_guard<std::mutex> guard(mutex_);
                received_.append(data, length);
                return !quit_.load();
            });
            ended_ = true;
        });
    }
    ~LogReader() {
        quit_ = true;
        if (thread_.joinable()) thread_.join();
    }
    std::string received() {
        std::lock_guard<std::mutex> guard(mutex_);
        return received_;
    }
    bool ended() const { return ended_; }
    void join() {
        quit_ = true;
        thread_.join();
    }

private:
    std::thread thread_;
    std::mutex mutex_;
    std::string received_;
    std::atomic<bool> quit_{false};
    std::atomic<bool> ended_{false};
};

int threadCount() {
#ifdef _WIN32
    return -1;  // counted on Linux only
#else
    int count = 0;
    for (auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        ++count;
    }
    return count;
#endif
}

TEST_F(WebControlTest, StatusStartAndStopDriveEveryProtocol) {
    serveConsole();
    EXPECT_EQ(body("GET", "/api/status"), "{\"state\":\"STARTED\"}");
    EXPECT_EQ(body("POST", "/api/stop"), "{\"state\":\"STOPPED\"}");
    EXPECT_FALSE(portAccepts(tcpPort));
    EXPECT_EQ(body("GET", "/api/status"), "{\"state\":\"STOPPED\"}");
    EXPECT_EQ(body("POST", "/api/start"), "{\"state\":\"STARTED\"}");
    EXPECT_TRUE(portAccepts(tcpPort));
    EXPECT_EQ(LineClient(tcpPort).ask("A=1"), "0;TRAIL=db\\;");
    std::string page = body("GET", "/");
    EXPECT_NE(page.find("<title>OstraService console</title>"), std::string::npos);
}

TEST_F(WebControlTest, WithATokenEveryRequestMustCarryItAndTheReadTokenOnlyReads) {
    serveConsole("token = \"s3cret-token\"; readtoken = \"scrape-only\";");
    for (const char* path : {"/", "/api/status", "/api/log"})
        EXPECT_EQ(statusOf("GET", path), 401) << path;
    EXPECT_EQ(statusOf("POST", "/api/stop"), 401);
    EXPECT_EQ(statusOf("GET", "/api/status", {{"X-Ostra-Token", "s3cret-tokeN"}}), 401);
    EXPECT_EQ(statusOf("GET", "/api/status?token=s3cret"), 401);
    EXPECT_EQ(body("GET", "/api/status"), "{\"error\":\"a valid token is required\"}");
    EXPECT_TRUE(portAccepts(tcpPort));  // nothing was stopped

    // A scraper's token reads everything and changes nothing.
    const httplib::Headers reader = {{"Authorization", "Bearer scrape-only"}};
    for (const char* path : {"/metrics", "/healthz", "/api/status", "/api/metrics"})
        EXPECT_EQ(statusOf("GET", path, reader), 200) << path;
    for (const char* path : {"/api/stop", "/api/start", "/api/stop?protocol=PBX"}) {
        EXPECT_EQ(statusOf("POST", path, reader), 403) << path;
        EXPECT_EQ(statusOf("POST", path, {{"X-Ostra-Token", "scrape-only"}}), 403) << path;
    }
    EXPECT_EQ(body("POST", "/api/stop?token=scrape-only"),
              "{\"error\":\"this token may only read\"}");
    EXPECT_TRUE(portAccepts(tcpPort));  // still nothing stopped

    EXPECT_EQ(statusOf("GET", "/api/status", {{"X-Ostra-Token", "s3cret-token"}}), 200);
    EXPECT_EQ(statusOf("GET", "/api/status", {{"Authorization", "Bearer s3cret-token"}}), 200);
    EXPECT_EQ(statusOf("GET", "/?token=s3cret-token"), 200);
    EXPECT_EQ(statusOf("POST", "/api/stop", {{"X-Ostra-Token", "s3cret-token"}}), 200);
    EXPECT_FALSE(portAccepts(tcpPort));
}

TEST_F(WebControlTest, StateChangesArePostOnlyAndNeverCrossSite) {
    serveConsole();
    std::string self = "http://127.0.0.1:" + std::to_string(webPort);
    EXPECT_EQ(statusOf("GET", "/api/stop"), 405);
    EXPECT_EQ(statusOf("POST", "/api/stop", {{"Origin", "http://evil.example"}}), 403);
    EXPECT_EQ(statusOf("POST", "/api/stop", {{"Sec-Fetch-Site", "cross-site"}}), 403);
    EXPECT_EQ(statusOf("POST", "/api/stop", {{"Origin", "null"}}), 403);
    EXPECT_EQ(statusOf("GET", "/api/status", {{"Host", "evil.example:" + std::to_string(webPort)}}),
              403);
    EXPECT_TRUE(portAccepts(tcpPort));  // none of them stopped anything

    EXPECT_EQ(statusOf("POST", "/api/stop", {{"Origin", self}, {"Sec-Fetch-Site", "same-origin"}}),
              200);
    EXPECT_FALSE(portAccepts(tcpPort));
}

TEST_F(WebControlTest, OnlyLoopbackNamesReachALoopbackConsoleAndTheLogIsNeverCrossSite) {
    serveConsole();
    const std::string port = ":" + std::to_string(webPort);
    for (const std::string& host :
         {"127.evil.example" + port, "127.0.0.1.evil.example" + port,
          std::string("127.0.0.1.evil.example"), "localhost.evil.example" + port,
          "1270.0.0.1" + port, "127.0.0.256" + port,
          // Only a name, or a name and a decimal port, is a Host.
          std::string("[::1]evil.example"), "127.0.0.1" + port + "@evil.example",
          std::string("127.0.0.1:abc"), "localhost" + port + ":1", std::string("[::1"),
          std::string("127.0.0.1:99999")})
        EXPECT_EQ(statusOf("GET", "/api/status", {{"Host", host}}), 403) << host;
    for (const std::string& host :
         {"127.0.0.1" + port, "127.1.2.3" + port, "localhost" + port, "[::1]" + port})
        EXPECT_EQ(statusOf("GET", "/api/status", {{"Host", host}}), 200) << host;
    // Eight iframes on another site would otherwise take every log slot.
    EXPECT_EQ(statusOf("GET", "/api/log", {{"Sec-Fetch-Site", "cross-site"}}), 403);
    EXPECT_EQ(statusOf("GET", "/api/log", {{"Origin", "http://evil.example"}}), 403);
}

TEST_F(WebControlTest, AnswersForbidSniffingReferrersAndInlineScriptAndBearerIsAnyCase) {
    serveConsole("token = \"s3cret-token\";");
    auto web = client();
    auto page = web.Get("/?token=s3cret-token");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->get_header_value("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(page->get_header_value("Referrer-Policy"), "no-referrer");
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("script-src 'self'"),
              std::string::npos);
    EXPECT_EQ(page->body.find("<script>"), std::string::npos)
        << "an inline script the policy forbids";
    EXPECT_EQ(page->body.find("<style>"), std::string::npos);
    // The page cannot hand the token to its own style and script.
    auto script = web.Get("/console.js");
    ASSERT_TRUE(script);
    EXPECT_EQ(script->status, 200);
    EXPECT_NE(script->body.find("EventSource"), std::string::npos);
    EXPECT_EQ(statusOf("GET", "/console.css"), 200);
    EXPECT_EQ(statusOf("GET", "/console.js", {{"Host", "evil.example"}}), 403);
    for (const char* scheme : {"Bearer", "bearer", "BEARER"})
        EXPECT_EQ(statusOf("GET", "/api/status",
                           {{"Authorization", std::string(scheme) + " s3cret-token"}}),
                  200)
            << scheme;
}

TEST_F(WebControlTest, AConsoleBoundToTheIPv6LoopbackAnswersThere) {
    {
        httplib::Server probe;  // another implementation's word on the machine
        if (probe.bind_to_any_port("::1") < 0) GTEST_SKIP() << "no IPv6 loopback here";
    }
    writeConfig(webControl(webPort, "bind = \"::1\";") + "protocols = ( " +
                tcplineProtocol("PBX", tcpPort, testDatabase("db")) + " );");
    startServing();
    httplib::Client web("::1", webPort);
    std::string body;
    ASSERT_TRUE(eventually([&] {
        auto answer = web.Get("/api/status", {{"Host", "[::1]:" + std::to_string(webPort)}});
        if (answer) body = answer->body;
        return static_cast<bool>(answer);
    })) << "nothing answers on [::1]:"
        << webPort;
    EXPECT_EQ(body, "{\"state\":\"STARTED\"}");
    EXPECT_FALSE(portAccepts(webPort)) << "an IPv6 console is not on 127.0.0.1";
}

TEST_F(WebControlTest, ASecondConsoleOnTheSamePortRefusesToStart) {
    serveConsole();
    auto* second = static_cast<CControlPlugin*>(
        loadPlugin(testing_support::pluginFile("webcontrol").c_str(), "control"));
    ASSERT_NE(second, nullptr);
    libconfig::Config config;
    config.readString("c = { port = " + std::to_string(webPort) + "; };");
    EXPECT_NE(second->start(config.lookup("c")), 0) << "two consoles would share the port";
    second->stop();
    delete second;
    EXPECT_EQ(statusOf("GET", "/api/status"), 200) << "the first console still answers";
}

TEST_F(WebControlTest, AValueOfTheWrongTypeOrOutOfRangeRefusesTheStartOnTheConsole) {
    // Before, port 70000 listened on 4464 and an integer token meant no token;
    // a console on every address without a token let anyone stop the host.
    const std::pair<std::string, std::string> cases[] = {
        {"bind = \"0.0.0.0\"; port = " + std::to_string(webPort) + ";",
         "webcontrol: \"bind\" is 0.0.0.0 without a \"token\": a console reached beyond this "
         "machine needs one; set \"token\" or bind to 127.0.0.1"},
        {"port = 70000;", "webcontrol: \"port\" is 70000; expected an integer from 0 to 65535"},
        {"port = " + std::to_string(webPort) + "; token = 12345678;",
         "webcontrol: \"token\" is 12345678; expected text in double quotes"},
    };
    for (const auto& [keys, line] : cases) {
        auto* console = static_cast<CControlPlugin*>(
            loadPlugin(testing_support::pluginFile("webcontrol").c_str(), "control"));
        ASSERT_NE(console, nullptr);
        libconfig::Config config;
        config.readString("c = { " + keys + " };");
        testing::internal::CaptureStderr();
        EXPECT_NE(console->start(config.lookup("c")), 0) << keys;
        std::string said = testing::internal::GetCapturedStderr();
        console->stop();
        delete console;
        EXPECT_NE(said.find(line), std::string::npos) << said;
    }
    EXPECT_FALSE(portAccepts(webPort));
}

TEST_F(WebControlTest, TheLogStreamsEveryLineAsItIsWritten) {
    serveConsole("", "logOnRecord = \"database saw a record\";");
    LogReader reader(webPort);
    // Lines written before the reader came are sent first.
    EXPECT_TRUE(eventually(
        [&] { return reader.received().find("tcpline: listening on") != std::string::npos; }));
    EXPECT_EQ(LineClient(tcpPort).ask("A=1"), "0;TRAIL=db\\;");
    EXPECT_TRUE(eventually(
        [&] { return reader.received().find("database saw a record") != std::string::npos; }));
    std::string received = reader.received();
    EXPECT_EQ(received.compare(0, 7, "id: 1\nd"), 0) << received.substr(0, 80);
}

TEST_F(WebControlTest, LogLinesReachTheBrowserAsUtf8WhateverTheHostsMessageEncoding) {
    serveConsole("", "throwIn = \"processRecord\";");
    LogReader reader(webPort);
    EXPECT_EQ(LineClient(tcpPort).ask("A=1"), "3");
    // "Greška plug-ina": Windows-1250 in the Windows host's log, UTF-8 here.
    const std::string fault = "Gre\xC5\xA1ka plug-ina";
    EXPECT_TRUE(eventually([&] { return reader.received().find(fault) != std::string::npos; }))
        << reader.received();
}

TEST(Cp1250, TheCroatianLettersBecomeUtf8ThroughThePlatformsConverter) {
    EXPECT_EQ(bundled_support::cp1250ToUtf8("\x8A\x9A \x8E\x9E \xC8\xE8 \xC6\xE6 \xD0\xF0 A"),
              "\xC5\xA0\xC5\xA1 \xC5\xBD\xC5\xBE \xC4\x8C\xC4\x8D \xC4\x86\xC4\x87 "
              "\xC4\x90\xC4\x91 A");
}

TEST_F(WebControlTest, ABrowserThatStopsReadingTheLogNeverHoldsTheHostUp) {
    // 5,000 lines of 4 KB: far more than the socket buffers between the
    // console and the stalled reader hold.
    serveConsole("", "logOnRecord = \"" + std::string(4000, 'x') + "\";");
    LineClient stalled(webPort);  // asks for the log, then never reads it
    ASSERT_TRUE(stalled.send("GET /api/log HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    LineClient tcp(tcpPort);
    for (int i = 0; i < 5000; ++i)
        ASSERT_EQ(tcp.ask("N=" + std::to_string(i)), "0;TRAIL=db\\;") << i;
    EXPECT_EQ(body("GET", "/api/status"), "{\"state\":\"STARTED\"}");
    stopServing();
    EXPECT_FALSE(portAccepts(webPort));
}

TEST_F(WebControlTest, TheLogKeepsOnlyTheNewestLines) {
    serveConsole("loglines = 3;", "logOnRecord = \"line from the database\";");
    LineClient tcp(tcpPort);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(tcp.ask("N=" + std::to_string(i)), "0;TRAIL=db\\;");
    LogReader reader(webPort);
    ASSERT_TRUE(eventually(
        [&] { return reader.received().find("line from the database") != std::string::npos; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string received = reader.received();
    size_t events = 0;
    for (size_t at = received.find("data: "); at != std::string::npos;
         at = received.find("data: ", at + 1))
        ++events;
    EXPECT_EQ(events, 3u) << received;
    EXPECT_EQ(received.find("id: 1\n"), std::string::npos);
}

TEST_F(WebControlTest, StoppingTheHostEndsTheConsoleAndEveryThreadItStarted) {
    std::thread([] {}).join();  // sanitizers start their own helper thread with the first one
    int before = threadCount();
    serveConsole();
    LogReader reader(webPort);
    ASSERT_TRUE(eventually([&] { return !reader.received().empty(); }));
    httplib::Client idle("127.0.0.1", webPort);  // a kept-alive connection
    idle.set_keep_alive(true);
    ASSERT_TRUE(idle.Get("/api/status"));

    auto started = std::chrono::steady_clock::now();
    stopServing();
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_TRUE(eventually([&] { return reader.ended(); }));
    EXPECT_FALSE(portAccepts(webPort));
    reader.join();
    if (before > 0) {
        // (The host's report sampler, there before, ends with the host too.)
        EXPECT_LE(threadCount(), before);
    }
}

}  // namespace

TEST_F(WebControlTest, ANewLogReaderPushesOutTheOldestWhenEveryOneOfTheEightSlotsIsTaken) {
    // Eight readers that never read held every slot for as long as the log
    // was quiet; a ninth got 503.
    serveConsole("", "logOnRecord = \"the ninth reader sees this\";");
    std::vector<LineClient> stalled;
    for (int i = 0; i < 8; ++i) {
        stalled.emplace_back(webPort);
        ASSERT_TRUE(stalled.back().send("GET /api/log HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    LogReader ninth(webPort);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_EQ(LineClient(tcpPort).ask("A=1"), "0;TRAIL=db\\;");
    EXPECT_TRUE(eventually([&] {
        return ninth.received().find("the ninth reader sees this") != std::string::npos;
    })) << ninth.received();
}

TEST_F(WebControlTest, MetricsCountWhatWasSentInThePrometheusFormatWithEveryNameEscaped) {
#ifdef OSTRA_CP1250
    const std::string letter = "\xE8";  // č in the host's Windows-1250 bytes
    const std::string shown = "\xC4\x8D";
#else
    // č, then a surrogate encoded in three bytes: not UTF-8, shown as U+FFFD.
    const std::string letter = "\xC4\x8D\xED\xA0\x80";
    const std::string shown = "\xC4\x8D\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD";
#endif
    // Two protocols named "A" and one named "A#2"; a database that reports.
    auto quiet = [](const std::string& name) {
        return "{ name = " + configString(name) +
               "; type = \"PBX\"; dll = " + configString(plugin("testprotocol")) +
               "; databases = ( " + testDatabase("q" + name) + " ); }";
    };
    const std::string reporting = "{ dll = " + configString(plugin("reportingdatabase")) +
                                  "; id = \"rep\"; answer = 3; reportState = \"DEGRADED\";"
                                  " reportReason = \"held\"; reportQueue = 5; }";
    serveUntilListening(
        webControl(webPort) + "protocols = ( " +
            tcplineProtocol("P\"B\\X\n" + letter, tcpPort, reporting + ", " + testDatabase("db")) +
            ", " + quiet("A") + ", " + quiet("A") + ", " + quiet("A#2") + " );",
        webPort);
    ASSERT_TRUE(eventually([&] { return portAccepts(tcpPort); }));
    LineClient line(tcpPort);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(line.ask("A=1"), "0;TRAIL=rep\\;db\\;");

    auto web = client();
    auto page = web.Get("/metrics");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    const std::string label = "protocol=\"P\\\"B\\\\X\\n" + shown + "\"";
    EXPECT_NE(page->body.find("ostraservice_records_total{" + label + "} 2\n"), std::string::npos)
        << page->body;
    EXPECT_NE(page->body.find("ostraservice_record_answers_total{" + label + ",code=\"0\"} 2\n"),
              std::string::npos);
    // A relaying thread's first record is timed, then one in sixteen: the
    // two records went through one worker thread or two.
    const std::string timed = "ostraservice_database_latency_seconds_count{" + label + "} ";
    const std::size_t count = page->body.find(timed);
    ASSERT_NE(count, std::string::npos) << page->body;
    const char sampled = page->body[count + timed.size()];
    EXPECT_TRUE(sampled == '1' || sampled == '2') << page->body.substr(count, 200);
    EXPECT_NE(page->body.find("ostraservice_protocol_up{" + label + "} 1\n"), std::string::npos);
    for (const char* name : {"A", "A#3", "A#2"})
        EXPECT_NE(
            page->body.find("ostraservice_protocol_up{protocol=\"" + std::string(name) + "\"} 1\n"),
            std::string::npos)
            << "each protocol a label of its own: " << name;
    EXPECT_NE(page->body.find("ostraservice_build_info{version=\""), std::string::npos);
    // What the plug-ins say, once the sampler has asked them.
    const std::string queue = "ostraservice_test_queue_records{" + label + ",database=\"";
    ASSERT_TRUE(eventually([&] {
        page = web.Get("/metrics");
        return page && page->body.find(queue) != std::string::npos &&
               page->body.find("ostraservice_tcpline_lines_total{" + label + "} 2\n") !=
                   std::string::npos;
    })) << (page ? page->body : "");
    const std::size_t queued = page->body.find(queue);
    EXPECT_NE(page->body.find("\"} 5\n", queued), std::string::npos);
    EXPECT_NE(page->body.find("# TYPE ostraservice_test_reports_total counter\n"),
              std::string::npos);
    EXPECT_NE(page->body.find("# HELP ostraservice_test_queue_records Records the test database "
                              "holds.\n# TYPE ostraservice_test_queue_records gauge\n"),
              std::string::npos);
    const std::string up = "ostraservice_database_up{" + label + ",database=\"";
    EXPECT_NE(page->body.find(up), std::string::npos) << page->body;
    const std::size_t upAt = page->body.find(up);
    const std::string upLine = page->body.substr(upAt, page->body.find('\n', upAt) - upAt);
    EXPECT_EQ(upLine.substr(upLine.size() - 2), " 1") << "a DEGRADED database is up: " << upLine;
#ifdef OSTRA_PROMTOOL
    // Prometheus's own checker, where the lane has it.
    std::string file = (testing_support::binaryDir() / "metrics.prom").string();
    testing_support::writeFile(file, page->body);
    EXPECT_EQ(std::system((std::string(OSTRA_PROMTOOL) + " check metrics < " + file + " > " + file +
                           ".out 2>&1")
                              .c_str()),
              0)
        << testing_support::readFile(file + ".out");
#endif
    EXPECT_EQ(statusOf("GET", "/metrics", {{"Host", "example.com"}}), 403) << "the API's rules";
    // The console's table gets the same name as JSON.
    EXPECT_NE(body("GET", "/api/metrics")
                  .find("\"name\":\"P\\\"B\\\\X\\u000a" + shown + "\",\"state\":\"RUNNING\""),
              std::string::npos)
        << body("GET", "/api/metrics");
}

TEST_F(WebControlTest, HealthFailsOnRefusalsTellsWhyOnlyWithTheTokenAndAStopIsLoggedWithItsClient) {
    serveConsole("token = \"t0ken\"; refusedpercent = 50;", "answer = 1;");
    httplib::Headers token = {{"X-Ostra-Token", "t0ken"}};
    EXPECT_EQ(statusOf("GET", "/healthz"), 200);
    EXPECT_EQ(body("GET", "/healthz"), "{\"healthy\":true}");

    LineClient line(tcpPort);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(line.ask("A=1"), "1;TRAIL=db\\;");
    EXPECT_TRUE(eventually([&] { return statusOf("GET", "/healthz") == 503; }));
    EXPECT_EQ(body("GET", "/healthz"), "{\"healthy\":false}") << "no details without the token";
    auto detailed = client().Get("/healthz", token);
    ASSERT_TRUE(detailed);
    EXPECT_EQ(detailed->body,
              "{\"healthy\":false,\"failing\":[{\"protocol\":\"PBX\",\"failure\":\"3 of the last "
              "minute's 3 records not stored\",\"since\":" +
                  detailed->body.substr(detailed->body.find("\"since\":") + 8));

    // A stop that names no protocol stops none, rather than every one.
    EXPECT_EQ(statusOf("POST", "/api/stop?protocol=", token), 400);
    EXPECT_TRUE(portAccepts(tcpPort));
    // Stopped by a command is not a failure.
    EXPECT_EQ(statusOf("POST", "/api/stop?protocol=PBX", token), 200);
    EXPECT_TRUE(logHas("Control: STOP of protocol PBX, asked by web console client 127.0.0.1:"));
    EXPECT_EQ(statusOf("GET", "/healthz", token), 200);
}

#ifndef _WIN32  // (256 busy clients on one thread: Wine's loopback is too slow for the bound)
TEST_F(WebControlTest, ClientsRefusedForWantOfTheTokenGiveTheirPlacesToTheOperator) {
    serveConsole("token = \"t0ken\";");
    // Keep-alive clients without the token, each asking again the moment
    // its 401 comes: busy, never idle; one pushed out comes straight back.
    std::atomic<bool> done{false};
    std::atomic<long> refusals{0};
    std::thread crowd([&] {
        const std::string ask = "GET /api/status HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        std::vector<ostra_net::Socket> sockets;
        char buffer[4096];
        while (!done) {
            while (sockets.size() < 256) {
                std::string error;
                ostra_net::Socket socket = ostra_net::connectTcp("127.0.0.1", webPort, error);
                if (socket == ostra_net::kInvalidSocket) break;
                ostra_net::setReceiveTimeout(socket, 1);
                ostra_net::sendAll(socket, ask);
                sockets.push_back(socket);
            }
            for (auto it = sockets.begin(); it != sockets.end() && !done;) {
                long got = ostra_net::receiveSome(*it, buffer, sizeof buffer);
                if (got == 0 || (got < 0 && got != ostra_net::kWouldBlock)) {
                    ostra_net::closeSocket(*it);
                    it = sockets.erase(it);
                    continue;
                }
                if (got > 0 && std::string(buffer, static_cast<std::size_t>(got)).find(" 401 ") !=
                                   std::string::npos)
                    ++refusals;
                if (got > 0) ostra_net::sendAll(*it, ask);
                ++it;
            }
        }
        for (ostra_net::Socket socket : sockets) ostra_net::closeSocket(socket);
    });
    ASSERT_TRUE(eventually([&] { return refusals > 1000; })) << "the crowd never got going";
    for (int probe = 0; probe < 10; ++probe) {
        auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(statusOf("GET", "/api/status", {{"X-Ostra-Token", "t0ken"}}), 200) << probe;
        EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1)) << probe;
    }
    done = true;
    crowd.join();
}
#endif
