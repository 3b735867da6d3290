// The real executable storing into a primary with a streaming hot standby,
// "conninfo" naming both with target_session_attrs=read-write, while four
// clients pipeline records: the primary is killed mid-stream and the
// standby promoted. With synchronous replication every record answered 0
// is in the promoted server's table exactly once, also when the standby
// had fallen behind; with asynchronous replication the commits a standby
// left behind had not received are gone.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "../bundled/LineClient.h"
#include "../bundled/PipeliningSender.h"
#include "../bundled/RecordsFile.h"
#include "../entry/ExecutableFixture.h"
#include "PgServer.h"

namespace {

constexpr int kClients = 4;
constexpr int kRecordsEach = 1500;
// What the senders may have sent and not yet heard answered.
constexpr int kInFlight = kClients * 16;

class PgsqlFailoverTest : public ExecutableFixture {
protected:
    PgServer primary;
    PgServer standby{PgServer::StandbyOf{primary}};
    int port = freePort();

    void writeHostConfig() {
        std::string suffix = OSTRA_PLUGIN_SUFFIX;
        std::string conninfo = "host=127.0.0.1,127.0.0.1 port=" + std::to_string(primary.port()) +
                               "," + std::to_string(standby.port()) +
                               " dbname=ostra user=postgres target_session_attrs=read-write";
        writeConfig("wakeupwait = 1; control = { dll = \"testcontrol" + suffix +
                    "\"; }; protocols = ( { name = \"PBX\"; type = \"PBX\"; dll = \"tcpline" +
                    suffix + "\"; port = " + std::to_string(port) +
                    "; databases = ( { dll = \"pgsql" + suffix +
                    "\"; conninfo = " + configString(conninfo) +
                    "; connecttimeout = 1000; statementtimeout = 2000; idempotencykey = \"N\"; }"
                    " ); } );");
    }
    std::unique_ptr<testing_support::ChildProcess> startHost() {
        std::unique_ptr<testing_support::ChildProcess> host(
            new testing_support::ChildProcess(executable(), {"console"}, dir.path().string()));
        EXPECT_TRUE(eventually([&] { return portAccepts(port); })) << host->output();
        return host;
    }
    // The standby is told nothing: promoted, it must not wait for a standby
    // of its own, which it does not have.
    void replicateSynchronously() {
        primary.rows("ALTER SYSTEM SET synchronous_standby_names = '*'");
        primary.rows("ALTER SYSTEM SET synchronous_commit = on");
        primary.rows("SELECT pg_reload_conf()");
        ASSERT_TRUE(eventually(
            [&] { return primary.value("SELECT sync_state FROM pg_stat_replication") == "sync"; }));
    }
    bool streaming() {
        return primary.value("SELECT state FROM pg_stat_replication") == "streaming";
    }
    long long spooled() {
        return std::stoll(
            RecordsFile(dir.file("pgsql-spool.db")).value("SELECT count(*) FROM spool"));
    }
    long long storedOnStandby() {
        return std::stoll(standby.value("SELECT count(DISTINCT entries ->> 'N') FROM records"));
    }
    struct LeftBehind {
        long long answeredWhileAway = 0;  // answered 0 while the standby was stopped
        // Counted just after the kill: a few spooled after it are among them.
        long long spooledAtKill = 0;
        long long missing = 0;  // answered 0, not in the promoted server's table
    };
    LeftBehind failOverToAStandbyLeftBehind();
    static void report(const LeftBehind& run) {
        std::cout << "answered 0 while the standby was away: " << run.answeredWhileAway
                  << ", spooled when the primary died: " << run.spooledAtKill
                  << ", answered 0 and missing after promotion: " << run.missing << "\n";
    }
};

TEST_F(PgsqlFailoverTest, WithSynchronousReplicationEveryRecordAnsweredZeroSurvivesAFailover) {
    ASSERT_TRUE(primary.running());
    ASSERT_TRUE(standby.running());
    ASSERT_TRUE(eventually([&] { return streaming(); }));
    replicateSynchronously();
    writeHostConfig();
    auto host = startHost();

    SenderGroup senders(kClients, port, kRecordsEach, std::chrono::milliseconds(2));
    ASSERT_TRUE(eventually([&] { return senders.answeredZero() >= 1000; })) << host->output();
    primary.stop("immediate");
    const long long answeredAtKill = senders.answeredZero();
    auto killedAt = std::chrono::steady_clock::now();
    standby.promote();
    const double promotedAfter =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - killedAt).count();
    ASSERT_LT(answeredAtKill, kClients * kRecordsEach) << "the primary died after the stream";

    senders.join();
    const long long sent = senders.answeredZero();
    ASSERT_EQ(sent, kClients * kRecordsEach);
    ASSERT_TRUE(eventually([&] { return spooled() == 0; }, std::chrono::seconds(30)))
        << spooled() << " records still spooled";
    EXPECT_EQ(standby.value("SELECT pg_is_in_recovery()"), "f");
    EXPECT_EQ(standby.value("SELECT count(*) FROM records"), std::to_string(sent));
    EXPECT_EQ(storedOnStandby(), sent);
    std::cout << "answered 0 when the primary died: " << answeredAtKill
              << ", promoted after: " << promotedAfter
              << " s, answered 1: " << senders.answeredOne()
              << ", sent again after a lost answer: " << senders.resent() << "\n";
}

// A standby that has fallen behind, made certain: it is stopped while the
// primary goes on taking records, then the primary dies and the standby,
// started again, is promoted.
PgsqlFailoverTest::LeftBehind PgsqlFailoverTest::failOverToAStandbyLeftBehind() {
    LeftBehind run;
    writeHostConfig();
    auto host = startHost();
    SenderGroup senders(kClients, port, kRecordsEach, std::chrono::milliseconds(2));
    EXPECT_TRUE(eventually([&] { return senders.answeredZero() >= 500; })) << host->output();
    standby.stop("fast");
    const long long answeredAtStop = senders.answeredZero();
    // Answers come slowly now (a synchronous commit waits for the standby
    // until the statement times out, then the record is spooled): a few
    // hundred are enough to leave the standby behind.
    EXPECT_TRUE(eventually([&] { return senders.answeredZero() >= answeredAtStop + 200; },
                           std::chrono::seconds(60)))
        << host->output();
    const long long answeredBeforeKill = senders.answeredZero();
    primary.stop("immediate");
    run.answeredWhileAway = answeredBeforeKill - answeredAtStop;
    run.spooledAtKill = spooled();
    EXPECT_LT(answeredBeforeKill, kClients * kRecordsEach) << "the primary died after the stream";
    standby.start();
    standby.promote();

    senders.join();
    const long long sent = senders.answeredZero();
    EXPECT_EQ(sent, kClients * kRecordsEach);
    EXPECT_TRUE(eventually([&] { return spooled() == 0; }, std::chrono::seconds(30)))
        << spooled() << " records still spooled";
    EXPECT_EQ(standby.value("SELECT count(*) FROM records"),
              standby.value("SELECT count(DISTINCT entries ->> 'N') FROM records"));
    run.missing = sent - storedOnStandby();
    return run;
}

// Commits wait for the standby while it is away; records the plug-in gives
// up on go to the spool, and from there to the promoted server.
TEST_F(PgsqlFailoverTest, WithSynchronousReplicationAStandbyLeftBehindLosesNothingAnsweredZero) {
    ASSERT_TRUE(eventually([&] { return streaming(); }));
    replicateSynchronously();
    LeftBehind run = failOverToAStandbyLeftBehind();
    EXPECT_EQ(run.missing, 0);
    report(run);
}

// The same run without synchronous replication.
TEST_F(PgsqlFailoverTest, WithAsynchronousReplicationCommitsTheStandbyLackedAreLost) {
    ASSERT_TRUE(eventually([&] { return streaming(); }));
    LeftBehind run = failOverToAStandbyLeftBehind();
    // Answered 0 from the primary's table alone while the standby was away:
    // all records answered then but those spooled and those already in
    // flight when it stopped.
    EXPECT_GE(run.missing, run.answeredWhileAway - run.spooledAtKill - kInFlight);
    EXPECT_GT(run.missing, 0);
    report(run);
}

// One record whose commit outlives "statementtimeout" waiting for a stopped
// standby: the plug-in gives up on it and spools it, while on the primary
// the commit is written and still waiting. The spool, forwarding to the
// primary meanwhile, must not take it for stored: it reaches the promoted
// server.
TEST_F(PgsqlFailoverTest, ACommitTheStandbyNeverSawStaysSpooledUntilTheFailover) {
    ASSERT_TRUE(eventually([&] { return streaming(); }));
    replicateSynchronously();
    writeHostConfig();
    auto host = startHost();
    EXPECT_EQ(LineClient(port).ask("N=before;CALLER=201").rfind("0;ROW_ID=", 0), 0u);
    standby.stop("fast");
    EXPECT_EQ(LineClient(port).ask("N=away;CALLER=201"), "0;SPOOLED=1");
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const long long spooledAtKill = spooled();
    primary.stop("immediate");
    standby.start();
    standby.promote();
    EXPECT_TRUE(eventually([&] { return spooled() == 0; }, std::chrono::seconds(30)));
    EXPECT_EQ(standby.value("SELECT count(*) FROM records WHERE entries ->> 'N' = 'away'"), "1")
        << "spooled when the primary died: " << spooledAtKill << "\n"
        << host->output();
    std::cout << "spooled when the primary died: " << spooledAtKill << "\n";
}

}  // namespace
