// The web console's HTTP server on its own, with small limits, driven over
// real sockets: what a hostile or broken client gets, and that it never
// keeps the others from being answered.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "../../bundled/webcontrol/HttpServer.h"
#include "ChildProcess.h"
#include "LineClient.h"

namespace {

using webcontrol::HttpRequest;
using webcontrol::HttpResponse;
using webcontrol::HttpServer;
using webcontrol::HttpServerSettings;

class HttpServerTest : public ::testing::Test {
protected:
    HttpServer server;

    void serve(HttpServerSettings settings) {
        std::string error;
        ASSERT_TRUE(server.start(
            settings,
            [](const HttpRequest& request) {
                HttpResponse response;
                response.body = request.method + " " + request.path;
                return response;
            },
            error))
            << error;
    }
    static std::string request(const std::string& path, const std::string& more = "") {
        return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + more + "\r\n";
    }
};

TEST_F(HttpServerTest, HeadsAndBodiesBeyondTheLimitsAreRefusedBeforeAnyHandlerRuns) {
    HttpServerSettings settings;
    settings.maxHeadBytes = 4096;
    settings.head.maxHeaders = 8;
    settings.head.maxTargetBytes = 1024;
    settings.maxBodyBytes = 100;
    serve(settings);
    struct Case {
        std::string bytes;
        const char* statusLine;
    };
    std::string manyHeaders;
    for (int i = 0; i < 9; ++i) manyHeaders += "X-" + std::to_string(i) + ": y\r\n";
    const Case cases[] = {
        {request("/", manyHeaders), "HTTP/1.1 431 "},
        {request("/", "X-Long: " + std::string(5000, 'a') + "\r\n"), "HTTP/1.1 431 "},
        {request("/" + std::string(2000, 'a')), "HTTP/1.1 414 "},
        // A 400 MB body is refused on its head: nothing of it is read.
        {request("/unknown", "Content-Length: 400000000\r\n"), "HTTP/1.1 413 "},
        {request("/", "Transfer-Encoding: chunked\r\n"), "HTTP/1.1 501 "},
        // Which of two Hosts would the access rules see?
        {request("/", "Host: 127.0.0.1.evil.example\r\n"), "HTTP/1.1 400 "},
        {request("/", std::string("X-Nul: a") + '\0' + "b\r\n"), "HTTP/1.1 400 "},
        {"GET / HTTP/2.0\r\nHost: 127.0.0.1\r\n\r\n", "HTTP/1.1 505 "},
        // A method longer than the head may be is no target at all.
        {std::string(5000, 'G') + " / HTTP/1.1\r\n", "HTTP/1.1 501 "},
    };
    for (const Case& refused : cases) {
        LineClient client(server.port());
        ASSERT_TRUE(client.send(refused.bytes));
        std::string answer = client.readToEnd();
        EXPECT_EQ(answer.compare(0, std::strlen(refused.statusLine), refused.statusLine), 0)
            << refused.bytes.substr(0, 80) << "\n-> " << answer;
        EXPECT_NE(answer.find("Connection: close"), std::string::npos) << answer;
    }
    LineClient fits(server.port());
    ASSERT_TRUE(
        fits.send("POST /api/start HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n"
                  "Connection: close\r\n\r\n" +
                  std::string(100, 'b')));
    EXPECT_NE(fits.readToEnd().find("POST /api/start"), std::string::npos);
}

TEST_F(HttpServerTest, ARequestNotCompleteInTimeIsAnswered408AndAnIdleConnectionClosed) {
    HttpServerSettings settings;
    settings.requestDeadline = std::chrono::milliseconds(500);
    serve(settings);
    LineClient slow(server.port());
    LineClient idle(server.port());
    // One byte every 100 ms: never idle long enough for a per-read timeout.
    std::string half = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ";
    auto started = std::chrono::steady_clock::now();
    for (char c : half) {
        if (!slow.send(std::string(1, c))) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::string answer = slow.readToEnd();
    EXPECT_EQ(answer.compare(0, 13, "HTTP/1.1 408 "), 0) << answer;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(idle.readToEnd(), "");
    EXPECT_FALSE(idle.connected()) << "an idle connection is closed without a word";
}

TEST_F(HttpServerTest, AtTheConnectionCapTheLongestWaitingHalfRequestMakesRoom) {
    HttpServerSettings settings;
    settings.maxConnections = 4;
    serve(settings);
    std::vector<LineClient> halves(4);
    for (LineClient& half : halves) {
        ASSERT_TRUE(half.connect(server.port()));
        ASSERT_TRUE(half.send("GET / HTTP/1.1\r\n"));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    LineClient operatorClient(server.port());
    ASSERT_TRUE(operatorClient.send(request("/api/status", "Connection: close\r\n")));
    EXPECT_NE(operatorClient.readToEnd().find("GET /api/status"), std::string::npos);
    EXPECT_EQ(halves[0].readToEnd(2000), "");
    EXPECT_FALSE(halves[0].connected()) << "the oldest half-request was let go";
    ASSERT_TRUE(halves[3].send("Host: 127.0.0.1\r\nConnection: close\r\n\r\n"));
    EXPECT_NE(halves[3].readToEnd().find("GET /"), std::string::npos) << "the newest is served";
}

TEST_F(HttpServerTest, AFloodOfConnectionsNeverPushesOutARequestSentWhole) {
    HttpServerSettings settings;
    settings.maxConnections = 4;
    serve(settings);
    std::vector<LineClient> idle(4);
    for (LineClient& connection : idle) ASSERT_TRUE(connection.connect(server.port()));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    LineClient operatorClient(server.port());
    ASSERT_TRUE(operatorClient.send(request("/api/status", "Connection: close\r\n")));
    std::vector<LineClient> flood(30);
    for (LineClient& connection : flood) connection.connect(server.port());
    EXPECT_NE(operatorClient.readToEnd().find("GET /api/status"), std::string::npos);
}

TEST_F(HttpServerTest, PipelinedRequestsAreAnsweredInTheirOrder) {
    serve(HttpServerSettings());
    LineClient client(server.port());
    ASSERT_TRUE(client.send(request("/one") + request("/two") +
                            request("/three", "Connection: close\r\n")));
    std::string answers = client.readToEnd();
    std::size_t one = answers.find("GET /one"), two = answers.find("GET /two"),
                three = answers.find("GET /three");
    ASSERT_NE(three, std::string::npos) << answers;
    EXPECT_LT(one, two);
    EXPECT_LT(two, three);
}

}  // namespace

TEST_F(HttpServerTest, CloseAmongConnectionOptionsClosesAndAWaitingBodyIsToldToContinue) {
    serve(HttpServerSettings());
    // Before, "close, foo" kept the connection open: readToEnd waited.
    LineClient closing(server.port());
    ASSERT_TRUE(closing.send(request("/a", "Connection: close, foo\r\n")));
    std::string answer = closing.readToEnd();
    EXPECT_NE(answer.find("GET /a"), std::string::npos) << answer;
    EXPECT_NE(answer.find("Connection: close"), std::string::npos) << answer;

    // The client sends its body only after hearing 100 Continue.
    LineClient waiting(server.port());
    ASSERT_TRUE(
        waiting.send("POST /b HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 4\r\n"
                     "Expect: 100-continue\r\nConnection: close\r\n\r\n"));
    EXPECT_EQ(waiting.readLine(), "HTTP/1.1 100 Continue\r");
    ASSERT_TRUE(waiting.send("body"));
    EXPECT_NE(waiting.readToEnd().find("POST /b"), std::string::npos);
}

TEST_F(HttpServerTest, ClientsThatDoNotReadTheirAnswersGiveTheirSlotsToANewcomer) {
    // Four clients pipeline requests for a large file and read nothing:
    // every slot was held for good and the operator got 503.
    HttpServerSettings settings;
    settings.maxConnections = 4;
    std::string error;
    std::atomic<int> bigAnswers{0};
    ASSERT_TRUE(server.start(
        settings,
        [&bigAnswers](const HttpRequest& request) {
            HttpResponse response;
            response.body = request.path == "/big" ? std::string(32 << 20, 'b') : "small";
            if (request.path == "/big") ++bigAnswers;
            return response;
        },
        error));
    std::vector<LineClient> slowReaders;
    for (int i = 0; i < 4; ++i) {
        slowReaders.emplace_back(server.port());
        ASSERT_TRUE(slowReaders.back().send(request("/big") + request("/big") + request("/big")));
    }
    // Every slot holds an answer its client does not read, for longer than
    // the grace (a slow build makes the answers slowly).
    auto made = std::chrono::steady_clock::now();
    while (bigAnswers.load() < 4 &&
           std::chrono::steady_clock::now() - made < std::chrono::seconds(30))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(bigAnswers.load(), 4);
    std::this_thread::sleep_for(settings.unreadAnswerGrace + std::chrono::milliseconds(1000));
    LineClient operatorClient(server.port());
    ASSERT_TRUE(operatorClient.send(request("/status", "Connection: close\r\n")));
    std::string answer = operatorClient.readToEnd(10000);
    EXPECT_EQ(answer.compare(0, 15, "HTTP/1.1 200 OK"), 0) << answer.substr(0, 200);
}

TEST_F(HttpServerTest, AStreamReaderThatShutItsSendingSideWhileDataWaitsCostsNoProcessor) {
    // Before, its end of input was polled again and again: one core busy.
    std::string error;
    ASSERT_TRUE(server.start(
        HttpServerSettings(),
        [](const HttpRequest&) {
            HttpResponse response;
            response.stream = [](std::string& out, std::size_t room) {
                out.assign(room, 'x');
                return true;
            };
            return response;
        },
        error));
    LineClient reader(server.port());  // asks for the stream, then never reads
    ASSERT_TRUE(reader.send(request("/stream")));
    std::this_thread::sleep_for(std::chrono::seconds(1));  // the buffers fill
    reader.finishSending();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    double before = testing_support::processCpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(testing_support::processCpuSeconds() - before, 0.5);
}
