// The sqlite database plug-in behind tcpline and behind the scriptable test
// protocol: what lands in the file, lookups, failures, and a stop in the
// middle of a stream.
#include <gtest/gtest.h>

#include <libconfig.h++>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "BundledFixture.h"
#include "RecordsFile.h"
#include "TestSupport.h"
#include "common/Record.h"
#include "loader/loadPlugin.h"
#include "plugin/CDatabasePlugin.h"

namespace {

class SqliteTest : public BundledFixture {
protected:
    testing_support::ScratchDir scratch;
    std::string path = scratch.file("records.db");
    int port = freePort();

    void serveTcpIntoSqlite(const std::string& sqliteKeys = "") {
        serveUntilListening(controlGroup() + "protocols = ( " +
                                tcplineProtocol("PBX", port, sqliteDatabase(path, sqliteKeys)) +
                                " );",
                            port);
    }
};

TEST_F(SqliteTest, EveryRecordIsOneRowWithTimeTypeTagAndEntriesInOrder) {
    serveTcpIntoSqlite();
    LineClient first(port), second(port);
    EXPECT_EQ(first.ask("CALLER=201;CALLED=0981234567;SECONDS=42"), "0;ROW_ID=1");
    EXPECT_EQ(second.ask("Z=last;A=first;Q=\"quoted\" \\\\ back"), "0;ROW_ID=2");
    EXPECT_EQ(first.ask("N=3"), "0;ROW_ID=3");

    RecordsFile file(path);
    EXPECT_EQ(file.value("PRAGMA journal_mode"), "wal");
    auto rows = file.rows("SELECT id, type, entries FROM records ORDER BY id");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], "1|1|{\"CALLER\":\"201\",\"CALLED\":\"0981234567\",\"SECONDS\":\"42\"}");
    EXPECT_EQ(rows[1], "2|1|{\"Z\":\"last\",\"A\":\"first\",\"Q\":\"\\\"quoted\\\" \\\\ back\"}");
    EXPECT_EQ(rows[2], "3|1|{\"N\":\"3\"}");
    // The tag is the connection's: the same for the first and third rows.
    auto tags = file.rows("SELECT tag FROM records ORDER BY id");
    EXPECT_EQ(tags[0], tags[2]);
    EXPECT_NE(tags[0], tags[1]);
    // The entries are valid JSON, readable with SQLite's own functions.
    EXPECT_EQ(file.value("SELECT json_extract(entries, '$.Q') FROM records WHERE id = 2"),
              "\"quoted\" \\ back");
    std::string time = file.value("SELECT time FROM records WHERE id = 1");
    EXPECT_TRUE(std::regex_match(time, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)")))
        << time;
}

TEST_F(SqliteTest, ALookupRecordIsAnsweredFromTheStoredRowsAndNotStored) {
    serveTcpIntoSqlite();
    LineClient client(port);
    ASSERT_EQ(client.ask("CALLER=201;SECONDS=10"), "0;ROW_ID=1");
    ASSERT_EQ(client.ask("CALLER=202;SECONDS=20"), "0;ROW_ID=2");
    ASSERT_EQ(client.ask("CALLER=201;SECONDS=30"), "0;ROW_ID=3");

    std::string found = client.ask("CMD=lookup;FIELD=CALLER;VALUE=201");
    std::regex expected(R"(0;FOUND=1;COUNT=2;ROW_ID=3;ROW_TIME=[-0-9T:.Z]+;ROW_TYPE=1;ROW_TAG=\d+;)"
                        R"(ROW_ENTRIES=\{"CALLER":"201","SECONDS":"30"\})");
    EXPECT_TRUE(std::regex_match(found, expected)) << found;
    EXPECT_EQ(client.ask("CMD=LOOKUP;FIELD=CALLER;VALUE=999"), "0;FOUND=0;COUNT=0");
    EXPECT_EQ(RecordsFile(path).value("SELECT count(*) FROM records"), "3");
}

TEST_F(SqliteTest, AStoreThatFailsAnswersOneAndLogsTheReason) {
    serveTcpIntoSqlite(
        "busytimeout = 50; synchronous = \"full\";");  // any case, as the host's words
    LineClient client(port);
    ASSERT_EQ(client.ask("A=1"), "0;ROW_ID=1");
    RecordsFile other(path);
    ASSERT_TRUE(other.execute("BEGIN IMMEDIATE"));  // holds the write lock
    EXPECT_EQ(client.ask("A=2"), "1;REASON=database is locked");
    EXPECT_TRUE(logHas("sqlite: record not stored in " + path + ": database is locked"));
    ASSERT_TRUE(other.execute("COMMIT"));
    EXPECT_EQ(client.ask("A=3"), "0;ROW_ID=2");
}

TEST_F(SqliteTest, AKeyOfTheWrongTypeRefusesTheStartWithALineNamingIt) {
    // Before, 2 quietly became "NORMAL".
    writeConfig(controlGroup() + "protocols = ( " +
                tcplineProtocol("PBX", port, sqliteDatabase(path, "synchronous = 2;")) + " );");
    startServing();
    EXPECT_TRUE(eventually([&] {
        return logHas(
            "sqlite: \"synchronous\" is 2; expected one of \"OFF\", \"NORMAL\", \"FULL\"");
    }));
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(SqliteTest, ARecordAnsweredZeroWaitsForTheDiskByDefault) {
    // As the connection itself reports it: FULL unless "synchronous" says so.
    serveTcpIntoSqlite();
    EXPECT_TRUE(eventually(
        [&] { return logHas("sqlite: storing records in " + path + " (synchronous=FULL)"); }));
}

TEST_F(SqliteTest, AFileThatCannotBeOpenedRefusesTheStartNamingThePathAndTheReason) {
    path = scratch.file("no such folder/records.db");
    writeConfig(controlGroup() + "protocols = ( " +
                tcplineProtocol("PBX", port, sqliteDatabase(path)) + " );");
    startServing();
    EXPECT_TRUE(eventually([&] {
        return logHas("sqlite: cannot open " + path + ": unable to open database file (");
    }));
    request("STATUS");
    ASSERT_FALSE(answers().empty());
    EXPECT_NE(answers().back().find("ANSWER=STOPPED"), std::string::npos);
}

TEST_F(SqliteTest, EveryRecordAnsweredZeroIsInTheFileWhenTheHostStopsMidStream) {
    // Two protocols raising as fast as they can into one file: two
    // connections that take turns through the busy timeout.
    auto streaming = [&](const std::string& name) {
        return "{ name = " + configString(name) + "; id = " + configString(name) +
               "; type = \"PBX\"; dll = " + configString(plugin("testprotocol")) +
               "; workerEvents = -1; databases = ( " + sqliteDatabase(path) + " ); }";
    };
    writeConfig(controlGroup() + "protocols = ( " + streaming("first") + ", " +
                streaming("second") + " );");
    startServing();
    ASSERT_TRUE(eventually([&] {
        return TestJournal::callsOf("first", "eventResult").size() > 200 &&
               TestJournal::callsOf("second", "eventResult").size() > 200;
    }));
    stopServing();

    size_t answeredZero = 0;
    for (const char* protocol : {"first", "second"})
        for (const auto& result : TestJournal::callsOf(protocol, "eventResult"))
            if (result.detail == "0") ++answeredZero;
    RecordsFile file(path);
    EXPECT_EQ(file.value("SELECT count(*) FROM records"), std::to_string(answeredZero));
    EXPECT_EQ(file.value("SELECT count(DISTINCT entries) FROM records"),
              std::to_string(answeredZero));
}

TEST_F(SqliteTest, AResentRecordIsAnsweredWithTheFirstRowAndStoredOnce) {
    serveTcpIntoSqlite("idempotencykey = \"MSGID\";");
    LineClient client(port);
    EXPECT_EQ(client.ask("MSGID=a1;CALLER=201"), "0;ROW_ID=1");
    EXPECT_EQ(client.ask("MSGID=a1;CALLER=999"), "0;ROW_ID=1");  // the key decides, not the rest
    EXPECT_EQ(client.ask("MSGID=a2;CALLER=201"), "0;ROW_ID=2");
    // Without the entry, or with it empty, every record is a row of its own.
    EXPECT_EQ(client.ask("CALLER=201"), "0;ROW_ID=3");
    EXPECT_EQ(client.ask("CALLER=201"), "0;ROW_ID=4");
    EXPECT_EQ(client.ask("MSGID=;CALLER=201"), "0;ROW_ID=5");
    EXPECT_EQ(client.ask("MSGID=;CALLER=201"), "0;ROW_ID=6");
    EXPECT_EQ(client.ask("MSGID=a2"), "0;ROW_ID=2");
    EXPECT_TRUE(logHas("sqlite: MSGID=a2 was stored before as row 2"));

    EXPECT_EQ(
        RecordsFile(path).value("SELECT group_concat(id || ':' || "
                                "coalesce(idempotencykey, '-') || ':' || entries, ' ')"
                                " FROM records"),
        "1:a1:{\"MSGID\":\"a1\",\"CALLER\":\"201\"} 2:a2:{\"MSGID\":\"a2\",\"CALLER\":\"201\"} "
        "3:-:{\"CALLER\":\"201\"} 4:-:{\"CALLER\":\"201\"} "
        "5:-:{\"MSGID\":\"\",\"CALLER\":\"201\"} 6:-:{\"MSGID\":\"\",\"CALLER\":\"201\"}");
}

TEST_F(SqliteTest, AFileMadeBeforeTheKeyKeepsItsRowsAndTakesKeyedRecords) {
    {
        sqlite3* old = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &old), SQLITE_OK);
        ASSERT_EQ(
            sqlite3_exec(old,
                         "CREATE TABLE records(id INTEGER PRIMARY KEY, time TEXT NOT NULL,"
                         " type INTEGER NOT NULL, tag INTEGER NOT NULL, entries TEXT NOT NULL);"
                         "INSERT INTO records VALUES(1, '2020-01-01T00:00:00.000Z', 1, 7,"
                         " '{\"MSGID\":\"a1\"}'), (2, '2020-01-01T00:00:01.000Z', 1, 7, '{}')",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
        sqlite3_close(old);
    }
    serveTcpIntoSqlite("idempotencykey = \"MSGID\";");
    LineClient client(port);
    // The old row's entries name no key of the sender's: a1 is new here.
    EXPECT_EQ(client.ask("MSGID=a1"), "0;ROW_ID=3");
    EXPECT_EQ(client.ask("MSGID=a1"), "0;ROW_ID=3");
    EXPECT_EQ(client.ask("N=1"), "0;ROW_ID=4");
    RecordsFile file(path);
    EXPECT_EQ(file.value("SELECT group_concat(id || '|' || time || '|' || tag || '|' || entries ||"
                         " '|' || coalesce(idempotencykey, '-'), ' ') FROM records WHERE id < 3"),
              "1|2020-01-01T00:00:00.000Z|7|{\"MSGID\":\"a1\"}|- "
              "2|2020-01-01T00:00:01.000Z|7|{}|-");
    EXPECT_EQ(file.value("SELECT idempotencykey FROM records WHERE id = 3"), "a1");
}

TEST_F(SqliteTest, AKeyIsRecognisedAfterThePluginStopsAndStartsAgain) {
    serveTcpIntoSqlite("idempotencykey = \"MSGID\";");
    ASSERT_EQ(LineClient(port).ask("MSGID=a1"), "0;ROW_ID=1");
    request("CONTROL", "STOP");
    request("CONTROL", "START");
    ASSERT_TRUE(eventually([&] { return portAccepts(port); }));
    EXPECT_EQ(LineClient(port).ask("MSGID=a1"), "0;ROW_ID=1");
    EXPECT_EQ(RecordsFile(path).value("SELECT count(*) FROM records"), "1");
}

TEST_F(SqliteTest, SendersOfOneKeyAtOnceAllGetTheOneRowStored) {
    // Two plug-ins on one file (two connections, as two protocols have),
    // each called from several threads at once, as the host may.
    libconfig::Config config;
    config.readString("db = { path = " + configString(path) + "; idempotencykey = \"MSGID\"; };");
    std::vector<CDatabasePlugin*> plugins;
    for (int i = 0; i < 2; ++i) {
        plugins.push_back(
            static_cast<CDatabasePlugin*>(loadPlugin(plugin("sqlite").c_str(), "database")));
        ASSERT_NE(plugins.back(), nullptr);
        ASSERT_EQ(plugins.back()->start(config.lookup("db")), 0);
    }
    constexpr int kSenders = 4, kKeys = 40;
    std::vector<std::vector<std::string>> answers(kSenders);
    std::atomic<bool> go{false};
    std::vector<std::thread> senders;
    for (int sender = 0; sender < kSenders; ++sender)
        senders.emplace_back([&, sender] {
            while (!go) std::this_thread::yield();
            for (int key = 0; key < kKeys; ++key) {
                Record record;
                record.set("MSGID", ("k" + std::to_string(key)).c_str());
                int result = plugins[sender % 2]->processRecord(sender, &record);
                answers[sender].push_back(std::to_string(result) + ";" + record.get("ROW_ID"));
            }
        });
    go = true;
    for (auto& sender : senders) sender.join();
    for (auto* database : plugins) {
        database->stop();
        delete database;
    }

    std::set<std::string> distinct;
    for (int key = 0; key < kKeys; ++key) {
        for (int sender = 1; sender < kSenders; ++sender)
            EXPECT_EQ(answers[sender][key], answers[0][key]) << "k" << key;
        EXPECT_EQ(answers[0][key].rfind("0;", 0), 0u) << answers[0][key];
        distinct.insert(answers[0][key]);
    }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kKeys));
    EXPECT_EQ(RecordsFile(path).value("SELECT count(*) FROM records"), std::to_string(kKeys));
}

#ifndef _WIN32
// Windows refuses to delete or rename a file SQLite holds open; POSIX lets
// an operator do either while the host runs.
TEST_F(SqliteTest, AFileDeletedOrRenamedWhileOpenIsMadeAnewWithEveryRowAnsweredZero) {
    serveTcpIntoSqlite();
    LineClient client(port);
    ASSERT_EQ(client.ask("N=1"), "0;ROW_ID=1");
    ASSERT_EQ(client.ask("N=2"), "0;ROW_ID=2");

    // The path is looked at every 10 ms at most: a row may go into the
    // deleted file first, and is copied with the others when it is noticed.
    std::filesystem::remove(path);  // its -wal and -shm are left behind
    EXPECT_EQ(client.ask("N=3"), "0;ROW_ID=3");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(client.ask("N=4"), "0;ROW_ID=4");
    EXPECT_TRUE(logHas("sqlite: " + path + " was deleted or renamed while open; made anew there"));

    // Renamed right before the stop: the last look at the path is the stop's.
    std::filesystem::rename(path, scratch.file("moved.db"));
    EXPECT_EQ(client.ask("N=5"), "0;ROW_ID=5");
    std::string found = client.ask("CMD=LOOKUP;FIELD=N;VALUE=1");
    EXPECT_EQ(found.rfind("0;FOUND=1;COUNT=1;ROW_ID=1;", 0), 0u) << found;
    stopServing();
    EXPECT_EQ(RecordsFile(path).value("SELECT group_concat(entries) FROM records"),
              "{\"N\":\"1\"},{\"N\":\"2\"},{\"N\":\"3\"},{\"N\":\"4\"},{\"N\":\"5\"}")
        << "a record answered 0 is not in the file at the path";
}
#endif

}  // namespace
