// The real executable taking records from many senders at once through
// tcpline into the sqlite plug-in, killed (SIGKILL on Linux, TerminateProcess
// on Windows) in the middle: every record answered 0 is stored once, and
// each connection's rows keep the order it sent them in.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "../entry/ExecutableFixture.h"
#include "LineClient.h"
#include "PipeliningSender.h"
#include "RecordsFile.h"

namespace {

#if defined(OSTRA_SANITIZED) || defined(_WIN32)
constexpr int kRecordsEach = 150;  // the same paths, in the slower lanes' time
#else
constexpr int kRecordsEach = 500;
#endif
constexpr int kSenders = 64;

class IntakeTest : public ExecutableFixture {
protected:
    int port = freePort();

    std::unique_ptr<testing_support::ChildProcess> startHost() {
        std::unique_ptr<testing_support::ChildProcess> host(
            new testing_support::ChildProcess(executable(), {"console"}, dir.path().string()));
        EXPECT_TRUE(eventually([&] { return portAccepts(port); })) << host->output();
        return host;
    }
    // Rows so far; the file and its table appear as the database starts,
    // which may be after the protocol listens.
    long long stored() {
        if (!std::filesystem::exists(dir.file("records.db"))) return 0;
        RecordsFile records(dir.file("records.db"));
        if (records.value("SELECT count(*) FROM sqlite_master WHERE name = 'records'") != "1")
            return 0;
        return std::stoll(records.value("SELECT count(*) FROM records"));
    }
};

TEST_F(IntakeTest, SixtyFourSendersThroughAKilledHostHaveEachRecordStoredOnceInTheirOrder) {
    std::string suffix = OSTRA_PLUGIN_SUFFIX;
    writeConfig("wakeupwait = 1; logs = ( { type = \"FILE\"; } ); control = { dll = \"testcontrol" +
                suffix + "\"; }; protocols = ( { name = \"PBX\"; type = \"PBX\"; dll = \"tcpline" +
                suffix + "\"; port = " + std::to_string(port) +
                "; maxclients = 100; databases = ( { dll = \"sqlite" + suffix +
                "\"; idempotencykey = \"N\"; } ); } );");
    auto host = startHost();

    SenderGroup senders(kSenders, port, kRecordsEach);

    const long long total = static_cast<long long>(kSenders) * kRecordsEach;
    ASSERT_TRUE(eventually([&] { return stored() > total / 3; }, std::chrono::seconds(120)));
    host.reset();  // killed with records in flight on every connection
    long long storedAtKill = stored();
    host = startHost();

    ASSERT_TRUE(
        eventually([&] { return senders.answeredZero() == total; }, std::chrono::seconds(120)))
        << senders.answeredZero() << " of " << total << " answered 0; the host's log:\n"
        << testing_support::readFile(dir.file("OstraService.log"));
    senders.join();
    const long long answeredZero = senders.answeredZero();
    ASSERT_EQ(answeredZero, total);
    RecordsFile records(dir.file("records.db"));
    EXPECT_EQ(records.value("SELECT count(*) FROM records"), std::to_string(total));
    EXPECT_EQ(records.value("SELECT count(DISTINCT json_extract(entries, '$.N')) FROM records"),
              std::to_string(total));
    // Rows in the order they were stored: each sender's numbers only grow.
    std::map<std::string, long long> lastOf;
    long long outOfOrder = 0;
    for (const std::string& row :
         records.rows("SELECT json_extract(entries, '$.N') FROM records ORDER BY id")) {
        std::string sender = row.substr(0, row.find('-'));
        long long number = std::stoll(row.substr(row.find('-') + 1));
        auto last = lastOf.find(sender);
        if (last != lastOf.end() && number <= last->second) ++outOfOrder;
        lastOf[sender] = number;
    }
    EXPECT_EQ(outOfOrder, 0);
    std::cout << "stored when the host was killed: " << storedAtKill
              << ", sent again after a lost answer: " << senders.resent() << "\n";
}

}  // namespace
