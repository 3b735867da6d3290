// The tcpline protocol plug-in, served by the real host: lines in, records
// through the relay, replies and database events out, and the limits that
// keep one client from hurting the others.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif
#include <vector>

#include "BundledFixture.h"

namespace {

class TcpLineTest : public BundledFixture {
protected:
    int port = freePort();

    // One protocol "P": tcpline on `port` with `databases` and extra keys.
    void serve(const std::string& databases, const std::string& keys = "") {
        serveUntilListening(
            controlGroup() + "protocols = ( " + tcplineProtocol("P", port, databases, keys) + " );",
            port);
    }
};

TEST_F(TcpLineTest, EachLineBecomesOneRecordAndTheReplyCarriesWhatTheDatabaseAdded) {
    serve(testDatabase("db"));
    LineClient client(port);
    EXPECT_EQ(client.ask("CALLER=201;CALLED=0981234567"), "0;TRAIL=db\\;");
    EXPECT_EQ(client.ask("A\\;B=x\\=y\\\\z\\nw;;EMPTY="), "0;TRAIL=db\\;");

    auto records = TestJournal::callsOf("db", "processRecord");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_NE(records[0].detail.find("CALLER=201,CALLED=0981234567"), std::string::npos)
        << records[0].detail;
    EXPECT_NE(records[1].detail.find("A;B=x=y\\z\nw,EMPTY="), std::string::npos)
        << records[1].detail;
}

TEST_F(TcpLineTest, EveryConnectionHasItsOwnTag) {
    serve(testDatabase("db"));
    LineClient first(port), second(port);
    ASSERT_EQ(first.ask("N=1"), "0;TRAIL=db\\;");
    ASSERT_EQ(second.ask("N=2"), "0;TRAIL=db\\;");
    ASSERT_EQ(first.ask("N=3"), "0;TRAIL=db\\;");

    auto records = TestJournal::callsOf("db", "processRecord");
    ASSERT_EQ(records.size(), 3u);
    auto tagOf = [](const std::string& detail) { return detail.substr(0, detail.find(' ')); };
    EXPECT_EQ(tagOf(records[0].detail), tagOf(records[2].detail));
    EXPECT_NE(tagOf(records[0].detail), tagOf(records[1].detail));
}

TEST_F(TcpLineTest, TheReplyIsTheHostsResultCode) {
    int bare = freePort();
    writeConfig(
        controlGroup() + "protocols = ( " +
        tcplineProtocol("Refusing", port, testDatabase("db", "answer = 1; trail = false;")) + ", " +
        tcplineProtocol("Bare", bare, "") + " );");
    startServing();
    ASSERT_TRUE(eventually([&] { return portAccepts(port) && portAccepts(bare); }));
    EXPECT_EQ(LineClient(port).ask("A=1"), "1");
    EXPECT_EQ(LineClient(bare).ask("A=1"), "3");
}

TEST_F(TcpLineTest, MalformedAndOverlongLinesAreRefusedAndTheConnectionGoesOn) {
    serve(testDatabase("db", "trail = false;"), "maxline = 64;");
    LineClient client(port);
    EXPECT_EQ(client.ask("novalue"), "ERROR;REASON=pair \"novalue\" has no value");
    EXPECT_EQ(client.ask("=x"), "ERROR;REASON=empty key");
    EXPECT_EQ(client.ask("A=bad\\escape"), "ERROR;REASON=unknown escape \\\\e");
    // A NUL would cut the value short unseen; a line of empty pairs stores nothing.
    EXPECT_EQ(client.ask(std::string("A=12\0 34;B=5", 12)), "ERROR;REASON=NUL byte in the line");
    EXPECT_EQ(client.ask(std::string("\0=1", 3)), "ERROR;REASON=NUL byte in the line");
    EXPECT_EQ(client.ask(";;;"), "ERROR;REASON=no pair in the line");
    EXPECT_EQ(client.ask("A=" + std::string(100, 'x')), "ERROR;REASON=line longer than 64 bytes");
    // A long line in pieces: refused once, then skipped up to its end.
    ASSERT_TRUE(client.send("B=" + std::string(200, 'y')));
    ASSERT_TRUE(client.send(std::string(5000, 'y') + "\n"));
    EXPECT_EQ(client.readLine(), "ERROR;REASON=line longer than 64 bytes");
    EXPECT_EQ(client.ask("A=1\r"), "0");
    // A line of the longest length ending in CR LF is taken whichever way
    // its bytes arrive: the CR is no part of it.
    const std::string longest = "L=" + std::string(62, 'z');
    ASSERT_TRUE(client.send(longest + "\r"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // read before its LF comes
    EXPECT_EQ(client.ask(""), "0");
    // One key twice is refused, not quietly made one entry.
    EXPECT_EQ(client.ask("A=1;B=2;A=3"), "ERROR;REASON=key \"A\" appears twice");
    // A last line without its line end counts, and a CR there is no part of
    // it, at the longest length too.
    ASSERT_TRUE(client.send("LAST=" + std::string(59, 'x') + "\r"));
    client.finishSending();
    EXPECT_EQ(client.readLine(), "0");
    auto records = TestJournal::callsOf("db", "processRecord");
    ASSERT_EQ(records.size(), 3u);
    EXPECT_NE(records[2].detail.find("LAST=x"), std::string::npos);
    EXPECT_EQ(records[2].detail.find('\r'), std::string::npos);
}

TEST_F(TcpLineTest, RecordsTheDatabasesRaiseGoToEveryClient) {
    serve(testDatabase("db", "workerEvents = -1; workerIntervalMs = 20;"));
    LineClient first(port), second(port);
    std::string one = first.readLine(), two = second.readLine();
    EXPECT_EQ(one.compare(0, 6, "EVENT;"), 0) << one;
    EXPECT_EQ(two.compare(0, 6, "EVENT;"), 0) << two;
    // Once a client is connected the protocol answers the database 0.
    EXPECT_TRUE(eventually([] {
        for (const auto& result : TestJournal::callsOf("db", "eventResult"))
            if (result.detail == "0") return true;
        return false;
    }));
}

TEST_F(TcpLineTest, AtTheLimitTheIdlestConnectionGivesWayAndBusyOnesAreKept) {
    serve(testDatabase("db", "trail = false; processDelayMs = 1500;"),
          "maxclients = 3; workers = 4;");
    std::vector<LineClient> idle;
    for (int i = 0; i < 3; ++i) {
        idle.emplace_back(port);
        ASSERT_TRUE(idle.back().connected());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // an order of idleness
    }
    // Three idle connections no longer lock a sender out: the idlest gives way.
    LineClient sender(port);
    ASSERT_TRUE(sender.send("A=1\n"));
    EXPECT_EQ(idle[0].readLine(), "<closed>");
    EXPECT_EQ(sender.readLine(), "0");

    // When every connection has a line in flight, a newcomer is refused.
    std::vector<LineClient> busy;
    for (int i = 0; i < 2; ++i) {
        busy.emplace_back(port);
        ASSERT_TRUE(busy.back().send("B=" + std::to_string(i) + "\n"));
    }
    ASSERT_TRUE(sender.send("A=2\n"));
    EXPECT_TRUE(eventually([] { return TestJournal::callsOf("db", "processRecord").size() == 4; }));
    LineClient extra(port);
    EXPECT_EQ(extra.readLine(), "ERROR;REASON=too many connections (limit 3)");
    EXPECT_EQ(extra.readLine(), "<closed>");
    for (auto& client : busy) EXPECT_EQ(client.readLine(), "0");
    EXPECT_EQ(sender.readLine(), "0");
}

TEST_F(TcpLineTest, AtTheLimitANewcomerWaitsForClientsThatAreLeavingAndNoSenderIsPushedOut) {
    serve(testDatabase("db", "trail = false; processDelayMs = 1000;"),
          "maxclients = 3; workers = 4;");
    LineClient sender(port);
    ASSERT_EQ(sender.ask("A=1"), "0");
    // Two clients send their last line and close their side: their places
    // are free once their answers are out.
    std::vector<LineClient> leaving;
    for (int i = 0; i < 2; ++i) {
        leaving.emplace_back(port);
        ASSERT_TRUE(leaving.back().send("L=" + std::to_string(i) + "\n"));
        leaving.back().finishSending();
    }
    ASSERT_TRUE(eventually([] { return TestJournal::callsOf("db", "processRecord").size() == 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // their ends are read
    LineClient newcomer(port);
    ASSERT_TRUE(newcomer.send("N=1\n"));
    for (auto& client : leaving) EXPECT_EQ(client.readLine(), "0");
    EXPECT_EQ(newcomer.readLine(), "0");
    // The quiet sender kept its place all along.
    EXPECT_EQ(sender.ask("A=2"), "0");
}

TEST_F(TcpLineTest, AConnectionWithNothingInFlightIsClosedAfterTheIdleTimeout) {
    serve(testDatabase("db", "trail = false; processDelayMs = 1500;"), "idletimeout = 1;");
    LineClient silent(port), waiting(port);
    ASSERT_TRUE(silent.send("HALF=a line without its end"));
    // A line whose answer takes longer than the timeout is not idleness.
    ASSERT_TRUE(waiting.send("A=1\n"));
    EXPECT_EQ(waiting.readLine(), "0");
    EXPECT_EQ(silent.readLine(3000), "<closed>");
    EXPECT_EQ(waiting.readLine(3000), "<closed>");
}

TEST_F(TcpLineTest, ASlowRecordHoldsUpOnlyItsOwnConnection) {
    serve(testDatabase("db", "trail = false; processDelayMs = 200;"), "workers = 4;");
    LineClient pipelining(port), other(port);
    std::string burst;
    for (int i = 0; i < 20; ++i) burst += "P=" + std::to_string(i) + "\n";
    ASSERT_TRUE(pipelining.send(burst));
    ASSERT_TRUE(eventually([] { return !TestJournal::callsOf("db", "processRecord").empty(); }));
    EXPECT_EQ(other.ask("O=1"), "0");
    // The other connection's record was relayed beside the pipeline, not
    // behind its 20 records (4 s one after another).
    // Each call's detail is "tag=N KEY=value".
    auto recordOf = [](const JournalEntry& call) {
        return call.detail.substr(call.detail.find(' ') + 1);
    };
    auto calls = TestJournal::callsOf("db", "processRecord");
    std::size_t position = 0;
    while (position < calls.size() && recordOf(calls[position]) != "O=1") ++position;
    EXPECT_LE(position, 2u);
    // The pipeline's records reach the database in the order they were sent.
    for (int i = 0; i < 20; ++i) EXPECT_EQ(pipelining.readLine(), "0");
    calls = TestJournal::callsOf("db", "processRecord");
    int expected = 0;
    for (const auto& call : calls) {
        if (recordOf(call) == "O=1") continue;
        EXPECT_EQ(recordOf(call), "P=" + std::to_string(expected++));
    }
    EXPECT_EQ(expected, 20);
}

TEST_F(TcpLineTest, AThousandConnectionsOpenedAndDroppedLeaveTheProtocolServing) {
    serve(testDatabase("db", "trail = false; journal = false;"));
    LineClient steady(port);
    ASSERT_EQ(steady.ask("A=0"), "0");
    for (int i = 0; i < 1000; ++i) {
        LineClient dropped(port);
        ASSERT_TRUE(dropped.connected()) << "connection " << i;
        if (i % 2 == 0) dropped.send("HALF=a line that never ends");
        if (i % 100 == 0) {
            EXPECT_EQ(steady.ask("A=" + std::to_string(i)), "0");
        }
    }
    EXPECT_EQ(steady.ask("A=last"), "0");
    // The server frees the slots of the dropped connections as it sees
    // them close; until then a newcomer may be told the limit is reached.
    EXPECT_TRUE(eventually([&] { return LineClient(port).ask("A=new") == "0"; }));
}

TEST_F(TcpLineTest, AClientThatNeverReadsIsDroppedWhileOthersAreServed) {
    // Long replies fill the socket buffers quickly: the database's label
    // goes into every reply.
    const std::string label = "db" + std::string(1000, 'x');
    const std::string reply = "0;TRAIL=" + label + "\\;";
    serve(testDatabase(label, "journal = false;"), "maxqueue = 65536;");
    LineClient deaf(port);
    std::atomic<bool> deafCutOff{false};
    std::thread flood([&] {
        std::string lines;
        for (int i = 0; i < 1000; ++i) lines += "FLOOD=" + std::to_string(i) + "\n";
        for (int round = 0; round < 1000; ++round)
            if (!deaf.send(lines)) {
                deafCutOff = true;
                return;
            }
    });
    LineClient other(port);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(other.ask("A=" + std::to_string(i)), reply);
    flood.join();
    EXPECT_TRUE(deafCutOff.load());
    EXPECT_TRUE(logHas("dropped: it does not read its replies"));
    EXPECT_EQ(other.ask("A=after"), reply);
}

TEST_F(TcpLineTest, AClientThatTakesNoneOfItsAnswersForTheIdleTimeoutIsDropped) {
    // No queue limit to reach: only the stalled answers can end it.
    const std::string label = "db" + std::string(1000, 'x');
    serve(testDatabase(label, "journal = false;"), "maxqueue = 1073741824; idletimeout = 1;");
    LineClient deaf(port);
    bool cutOff = false;
    std::string lines;
    for (int i = 0; i < 1000; ++i) lines += "FLOOD=" + std::to_string(i) + "\n";
    for (int round = 0; round < 2000 && !cutOff; ++round) cutOff = !deaf.send(lines);
    EXPECT_TRUE(cutOff);
    EXPECT_EQ(LineClient(port).ask("A=1"), "0;TRAIL=" + label + "\\;");
}

TEST_F(TcpLineTest, ManyPipeliningClientsDoNotPushAnotherSendersLineBehindTheirQueues) {
    serve(testDatabase("db", "trail = false; processDelayMs = 5;"), "workers = 2;");
    std::vector<LineClient> pipelining;
    std::string burst;
    for (int i = 0; i < 60; ++i) burst += "P=" + std::to_string(i) + "\n";
    for (int i = 0; i < 8; ++i) {
        pipelining.emplace_back(port);
        ASSERT_TRUE(pipelining.back().send(burst));
    }
    ASSERT_TRUE(
        eventually([] { return TestJournal::callsOf("db", "processRecord").size() >= 40; }));
    LineClient polite(port);
    const std::size_t before = TestJournal::callsOf("db", "processRecord").size();
    EXPECT_EQ(polite.ask("O=1"), "0");
    // Its line waits behind one line of each pipelining client, not behind
    // the lines they have queued (16 each).
    auto calls = TestJournal::callsOf("db", "processRecord");
    std::size_t position = before;
    while (position < calls.size() && calls[position].detail.find("O=1") == std::string::npos)
        ++position;
    ASSERT_LT(position, calls.size());
    EXPECT_LE(position - before, 20u);
}

TEST_F(TcpLineTest, StoppingClosesThePortWhateverTheClientsDoAndStartingOpensItAgain) {
    serve(testDatabase("db"));
    LineClient idle(port), halfLine(port);
    halfLine.send("A=never finished");
    request("CONTROL", "STOP");
    EXPECT_FALSE(portAccepts(port));
    EXPECT_EQ(idle.readLine(), "<closed>");
    request("CONTROL", "START");
    EXPECT_TRUE(eventually([&] { return portAccepts(port); }));
    EXPECT_EQ(LineClient(port).ask("A=1"), "0;TRAIL=db\\;");
}

TEST_F(TcpLineTest, AKeyOfTheWrongTypeRefusesTheStartWithALineNamingIt) {
    // Before, "1M" quietly became the default of 1 MiB.
    writeConfig(controlGroup() + "protocols = ( " +
                tcplineProtocol("P", port, testDatabase("db"), "maxqueue = \"1M\";") + " );");
    startServing();
    EXPECT_TRUE(eventually([&] {
        return logHas(
            "tcpline: \"maxqueue\" is \"1M\"; expected an integer from 1024 to 1073741824");
    }));
    EXPECT_FALSE(portAccepts(port));
}

TEST_F(TcpLineTest, APortThatIsTakenRefusesTheStartWithTheReason) {
    ostra_net::initialise();
    std::string error;
    ostra_net::Socket taken = ostra_net::listenTcp("127.0.0.1", port, 1, nullptr, error);
    ASSERT_NE(taken, ostra_net::kInvalidSocket) << error;
    writeConfig(controlGroup() + "protocols = ( " + tcplineProtocol("P", port, testDatabase("db")) +
                " );");
    startServing();
    EXPECT_TRUE(eventually(
        [&] { return logHas("tcpline: cannot listen on 127.0.0.1:" + std::to_string(port)); }));
    Record status;
    status.set("CMD", "STATUS");
    request(status);
    ASSERT_FALSE(answers().empty());
    EXPECT_NE(answers().back().find("ANSWER=STOPPED"), std::string::npos);
    ostra_net::closeSocket(taken);
}

TEST_F(TcpLineTest, AKeyItsTableDoesNotKnowGetsAnErrorLineAndTheProtocolStillServes) {
    // Only ERROR lines are written: the notice is one.
    host.getLog(nullptr)->setLevel(LOG_LEVEL_ERROR);
    // testdatabase describes no settings: its own keys are its business.
    serve(testDatabase("db", "trail = false;"), "prot = 7766;");
    EXPECT_EQ(LineClient(port).ask("A=1"), "0");
    std::vector<std::string> notices;
    for (const auto& line : hostLines.lines())
        if (line.find("nepoznata postavka") != std::string::npos ||
            line.find("nije ispravnog tipa") != std::string::npos)
            notices.push_back(line);
    ASSERT_EQ(notices.size(), 1u) << ::testing::PrintToString(notices);
    EXPECT_FALSE(logHas("tcpline: listening on")) << "an INFO line was written";
    EXPECT_NE(notices[0].find("Plug-in " + plugin("tcpline") +
                              " (protokol P): nepoznata postavka prot se zanemaruje"),
              std::string::npos)
        << notices[0];
}

TEST_F(TcpLineTest, TheGuidesMinimalDatabaseNumbersEveryRecord) {
    std::string minimal = "{ dll = " + configString(plugin("minimal")) + "; }";
    serve(minimal);
    LineClient client(port);
    EXPECT_EQ(client.ask("A=1"), "0;NUMBER=1");
    EXPECT_EQ(client.ask("A=2;B=3"), "0;NUMBER=2");
    EXPECT_TRUE(logHas("record 2 of type 1 with 2 entries"));
}

#ifndef _WIN32
TEST_F(TcpLineTest, MoreConnectionsThanTheDescriptorLimitAllowsRefuseTheStart) {
    rlimit original{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    rlimit tight = original;
    tight.rlim_cur = 256;
    tight.rlim_max = 512;  // the plug-in raises its soft limit as far as this
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    writeConfig(controlGroup() + "protocols = ( " +
                tcplineProtocol("P", port, testDatabase("db"), "maxclients = 1000;") + " );");
    startServing();
    bool refused = eventually([&] {
        return logHas(
            "tcpline: \"maxclients\" is 1000; the process may open 512 files and sockets, so at "
            "most 448 fit (raise the limit, LimitNOFILE= in the service's unit)");
    });
    rlimit raised{};
    getrlimit(RLIMIT_NOFILE, &raised);
    setrlimit(RLIMIT_NOFILE, &original);
    EXPECT_TRUE(refused);
    EXPECT_EQ(raised.rlim_cur, 512u);
    EXPECT_FALSE(portAccepts(port));
}

TEST_F(TcpLineTest, OutOfDescriptorsTheServerPausesAcceptingAndRecovers) {
#if defined(__SANITIZE_ADDRESS__)
    // UBSan, built in with AddressSanitizer here, probes memory through a
    // pipe of its own: with every descriptor taken, a thread started by the
    // host meanwhile is reported as an object of no type, and the run ends.
    GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
    serve(testDatabase("db", "trail = false;"));
    LineClient steady(port);
    ASSERT_EQ(steady.ask("A=0"), "0");

    // Every descriptor taken but one, which the next client's socket gets:
    // the server then cannot accept it.
    rlimit original;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &original), 0);
    rlimit tight = original;
    tight.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<int> fillers;
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) fillers.push_back(fd);
    ASSERT_FALSE(fillers.empty());
    close(fillers.back());
    fillers.pop_back();

    LineClient waiting(port);  // the handshake completes in the backlog
    ASSERT_TRUE(waiting.connected());
    ASSERT_TRUE(waiting.send("B=1\n"));
    EXPECT_TRUE(eventually(
        [&] { return logHas("tcpline: cannot accept connections: Too many open files"); }));
    EXPECT_EQ(steady.ask("A=1"), "0");  // the clients it has are served meanwhile

    for (int fd : fillers) close(fd);
    setrlimit(RLIMIT_NOFILE, &original);
    EXPECT_EQ(waiting.readLine(), "0");
}
#endif

}  // namespace
