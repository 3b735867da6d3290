// The sqlite database plug-in behind tcpline and behind the scriptable test
// protocol: what lands in the file, lookups, failures, and a stop in the
// middle of a stream.
#include <gtest/gtest.h>

#include <libconfig.h++>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
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

// The commits in the file's write-ahead log: frames whose header holds the
// file's size after a commit (zero in every other frame), of the log's
// current salt. Counts every commit only while a reader keeps the log from
// starting over.
size_t commitsInLog(const std::string& path) {
    std::ifstream file(path + "-wal", std::ios::binary);
    std::vector<unsigned char> log((std::istreambuf_iterator<char>(file)),
                                   std::istreambuf_iterator<char>());
    auto word = [&](size_t at) {
        return std::uint32_t(log[at]) << 24 | std::uint32_t(log[at + 1]) << 16 |
               std::uint32_t(log[at + 2]) << 8 | std::uint32_t(log[at + 3]);
    };
    if (log.size() < 32) return 0;
    size_t pageSize = word(8) == 1 ? 65536 : word(8);
    size_t commits = 0;
    for (size_t frame = 32; frame + 24 + pageSize <= log.size(); frame += 24 + pageSize)
        if (word(frame + 8) == word(16) && word(frame + 12) == word(20) && word(frame + 4) != 0)
            ++commits;
    return commits;
}

// The sqlite plug-in loaded and started on its own, as a protocol's
// database: its processRecord called from the test's threads.
class StartedSqlite {
public:
    explicit StartedSqlite(const std::string& keys) {
        config_.readString("db = { " + keys + " };");
        database_.reset(static_cast<CDatabasePlugin*>(
            loadPlugin(testing_support::pluginFile("sqlite").c_str(), "database")));
        started_ = database_ && database_->start(config_.lookup("db")) == 0;
    }
    ~StartedSqlite() {
        if (database_) database_->stop();
    }
    bool started() const { return started_; }
    void stop() { database_->stop(); }
    // "<result>;<ROW_ID>;<REASON>"
    std::string store(int tag, const std::vector<std::pair<std::string, std::string>>& entries) {
        Record record;
        for (const auto& entry : entries) record.set(entry.first.c_str(), entry.second.c_str());
        int result = database_->processRecord(tag, &record);
        return std::to_string(result) + ";" + record.get("ROW_ID") + ";" + record.get("REASON");
    }

private:
    libconfig::Config config_;
    std::unique_ptr<CDatabasePlugin> database_;
    bool started_ = false;
};

// Each of `senders` threads stores `records` records (T its number, N the
// record's) as fast as it is answered, all at once; the answers, by
// thread.
std::vector<std::vector<std::string>> storeAtOnce(
    StartedSqlite& database, int senders, int records,
    const std::function<bool(int record)>& refused = [](int) { return false; }) {
    std::vector<std::vector<std::string>> answers(senders);
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int sender = 0; sender < senders; ++sender)
        threads.emplace_back([&, sender] {
            while (!go) std::this_thread::yield();
            for (int n = 0; n < records; ++n) {
                std::vector<std::pair<std::string, std::string>> entries = {
                    {"T", std::to_string(sender)}, {"N", std::to_string(n)}};
                if (refused(n)) entries.push_back({"REFUSE", "1"});
                answers[sender].push_back(database.store(sender, entries));
            }
        });
    go = true;
    for (auto& thread : threads) thread.join();
    return answers;
}

// A records file of `rows` rows made at once, each row's entries the JSON
// `entries` makes of its number i.
void makeFileOfRows(const std::string& path, int rows, const std::string& entries) {
    sqlite3* made = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &made), SQLITE_OK);
    sqlite3_close(made);
    RecordsFile file(path);
    ASSERT_TRUE(
        file.execute("CREATE TABLE records(id INTEGER PRIMARY KEY, time TEXT NOT NULL,"
                     " type INTEGER NOT NULL, tag INTEGER NOT NULL, entries TEXT NOT NULL,"
                     " idempotencykey TEXT);"
                     "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                     std::to_string(rows) +
                     ") INSERT INTO records(time, type, tag, entries)"
                     " SELECT '2026-01-01T00:00:00.000Z', 1, 7, " +
                     entries + " FROM n"));
}

// Every row of the file: its id and its entries T and N.
std::map<std::string, std::string> rowsById(const std::string& path) {
    std::map<std::string, std::string> rows;
    for (const std::string& row : RecordsFile(path).rows(
             "SELECT id, json_extract(entries, '$.T') || ':' || json_extract(entries, '$.N')"
             " FROM records WHERE json_extract(entries, '$.T') IS NOT NULL"))
        rows[row.substr(0, row.find('|'))] = row.substr(row.find('|') + 1);
    return rows;
}

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

TEST_F(SqliteTest, BytesThatAreNotUtf8AreStoredAsValidJsonAndTheRecordIsKept) {
    serveTcpIntoSqlite();
    LineClient client(port);
    // A stray byte, and a surrogate encoded in three bytes.
    EXPECT_EQ(client.ask("A=x\xFFy;B=\xED\xA0\x80"), "0;ROW_ID=1");
    RecordsFile file(path);
#ifdef _WIN32
    // The host's text is Windows-1250 there: the letters those bytes are.
    EXPECT_EQ(file.value("SELECT entries FROM records"),
              "{\"A\":\"x\xCB\x99y\",\"B\":\"\xC3\xAD\xC2\xA0\xE2\x82\xAC\"}");
#else
    // Each invalid part is U+FFFD: one for the stray byte, one for each
    // byte of the surrogate (no lead byte takes it).
    EXPECT_EQ(file.value("SELECT entries FROM records"),
              "{\"A\":\"x\xEF\xBF\xBDy\",\"B\":\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"}");
#endif
    EXPECT_EQ(file.value("SELECT json_valid(entries) FROM records"), "1");
    // A lookup with the bytes as they were sent finds the row.
    EXPECT_EQ(client.ask("CMD=LOOKUP;FIELD=A;VALUE=x\xFFy").substr(0, 26),
              "0;FOUND=1;COUNT=1;ROW_ID=1");
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

TEST_F(SqliteTest, ALookupFieldOrTimeLimitItCannotUseRefusesTheStartWithALineNamingIt) {
    for (const char* refused :
         {"lookupfields = \"CALLER, A\\\"B\";", "lookuptimeout = 0;", "lookuptimeout = 3600001;"}) {
        StartedSqlite database("path = " + configString(path) + "; " + refused);
        EXPECT_FALSE(database.started()) << refused;
        EXPECT_FALSE(std::filesystem::exists(path)) << refused;
    }
    // The line, as the host logs it.
    writeConfig(controlGroup() + "protocols = ( " +
                tcplineProtocol("PBX", port, sqliteDatabase(path, "lookupfields = \"A\\\"B\";")) +
                " );");
    startServing();
    EXPECT_TRUE(eventually([&] {
        return logHas("sqlite: \"lookupfields\": the lookup field A\"B holds a double quote");
    }));
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

TEST_F(SqliteTest, SendersAtOnceShareCommitsAndEachSendersRowsKeepItsOrder) {
    StartedSqlite database("path = " + configString(path) + ";");
    ASSERT_TRUE(database.started());
    ASSERT_EQ(database.store(99, {{"FIRST", "1"}}), "0;1;");
    // A reader from here on keeps the log from starting over: every
    // commit of the run stays in it, to be counted.
    RecordsFile reader(path);
    ASSERT_TRUE(reader.execute("BEGIN"));
    ASSERT_EQ(reader.value("SELECT count(*) FROM records"), "1");
    const size_t commitsBefore = commitsInLog(path);

    constexpr int kSenders = 16, kRecords = 200;
    auto answers = storeAtOnce(database, kSenders, kRecords);
    const size_t commits = commitsInLog(path) - commitsBefore;
    ASSERT_TRUE(reader.execute("COMMIT"));

    auto rows = rowsById(path);
    EXPECT_EQ(rows.size(), static_cast<size_t>(kSenders * kRecords));
    std::set<std::string> ids;
    for (int sender = 0; sender < kSenders; ++sender) {
        long long previous = 0;
        for (int n = 0; n < kRecords; ++n) {
            const std::string& answer = answers[sender][n];
            ASSERT_EQ(answer.rfind("0;", 0), 0u) << answer;
            std::string id = answer.substr(2, answer.size() - 3);
            EXPECT_TRUE(ids.insert(id).second) << "ROW_ID " << id << " answered twice";
            // The row answered is this record's, after the sender's last.
            EXPECT_EQ(rows[id], std::to_string(sender) + ":" + std::to_string(n));
            EXPECT_GT(std::stoll(id), previous);
            previous = std::stoll(id);
        }
    }
    EXPECT_EQ(RecordsFile(path).value("SELECT count(*) FROM records"),
              std::to_string(kSenders * kRecords + 1));
    // One commit per record would be 3200.
    EXPECT_GT(commits, 0u);
    EXPECT_LT(commits, static_cast<size_t>(kSenders * kRecords));
    std::cout << "[ measured ] " << kSenders * kRecords << " records in " << commits
              << " commits\n";
}

TEST_F(SqliteTest, APipeliningSendersRecordsShareCommitsInItsOrder) {
    serveTcpIntoSqlite();
    LineClient client(port);
    ASSERT_EQ(client.ask("FIRST=1"), "0;ROW_ID=1");
    RecordsFile reader(path);  // keeps every commit in the log, to be counted
    ASSERT_TRUE(reader.execute("BEGIN"));
    ASSERT_EQ(reader.value("SELECT count(*) FROM records"), "1");
    const size_t commitsBefore = commitsInLog(path);

    constexpr int kLines = 1000;
    std::string burst;
    for (int n = 0; n < kLines; ++n) burst += "N=" + std::to_string(n) + "\n";
    ASSERT_TRUE(client.send(burst));
    std::vector<std::string> replies;
    for (int n = 0; n < kLines; ++n) replies.push_back(client.readLine());
    const size_t commits = commitsInLog(path) - commitsBefore;
    ASSERT_TRUE(reader.execute("COMMIT"));

    std::map<long long, std::string> rows;
    for (const std::string& row : RecordsFile(path).rows(
             "SELECT id, json_extract(entries, '$.N') FROM records WHERE id > 1"))
        rows[std::stoll(row.substr(0, row.find('|')))] = row.substr(row.find('|') + 1);
    ASSERT_EQ(rows.size(), static_cast<size_t>(kLines));
    // Each answered after its commit with its own row, the rows in the
    // order sent.
    long long previous = 1;
    for (int n = 0; n < kLines; ++n) {
        ASSERT_EQ(replies[n].rfind("0;ROW_ID=", 0), 0u) << n << ": " << replies[n];
        long long id = std::stoll(replies[n].substr(9));
        EXPECT_EQ(rows[id], std::to_string(n));
        EXPECT_GT(id, previous);
        previous = id;
    }
    // One commit per line would be 1000.
    EXPECT_LT(commits, static_cast<size_t>(kLines / 4));
    std::cout << "[ measured ] " << kLines << " pipelined records in " << commits << " commits\n";
}

TEST_F(SqliteTest, ARecordTheTableRefusesFailsAloneAndItsBatchMatesAreStored) {
    StartedSqlite database("path = " + configString(path) + "; idempotencykey = \"K\";");
    ASSERT_TRUE(database.started());
    RecordsFile reader(path);
    // What an operator's rule refuses, the plug-in answers as the table's
    // reason.
    ASSERT_TRUE(
        reader.execute("CREATE TRIGGER refuse BEFORE INSERT ON records"
                       " WHEN json_extract(NEW.entries, '$.REFUSE') IS NOT NULL"
                       " BEGIN SELECT RAISE(ABORT, 'refused by the table'); END"));
    const std::string refusedAlone = "1;;refused by the table";
    ASSERT_EQ(database.store(1, {{"REFUSE", "1"}}), refusedAlone);
    ASSERT_EQ(database.store(1, {{"FIRST", "1"}}), "0;1;");
    ASSERT_TRUE(reader.execute("BEGIN"));
    ASSERT_EQ(reader.value("SELECT count(*) FROM records"), "1");
    const size_t commitsBefore = commitsInLog(path);

    constexpr int kSenders = 8, kRecords = 100;
    auto refused = [](int n) { return n % 3 == 1; };
    auto answers = storeAtOnce(database, kSenders, kRecords, refused);
    const size_t commits = commitsInLog(path) - commitsBefore;
    ASSERT_TRUE(reader.execute("COMMIT"));

    auto rows = rowsById(path);
    size_t stored = 0;
    for (int sender = 0; sender < kSenders; ++sender)
        for (int n = 0; n < kRecords; ++n) {
            const std::string& answer = answers[sender][n];
            if (refused(n)) {
                EXPECT_EQ(answer, refusedAlone);
                continue;
            }
            ++stored;
            ASSERT_EQ(answer.rfind("0;", 0), 0u) << answer;
            EXPECT_EQ(rows[answer.substr(2, answer.size() - 3)],
                      std::to_string(sender) + ":" + std::to_string(n));
        }
    EXPECT_EQ(rows.size(), stored);
    EXPECT_EQ(RecordsFile(path).value("SELECT count(*) FROM records WHERE entries LIKE '%REFUSE%'"),
              "0");
    // The records shared transactions, refused ones among them.
    EXPECT_LT(commits, stored);

    // Two records of one key in one transaction: the second is a resend of
    // the first, as it would be after it.
    constexpr int kKeys = 50;
    std::vector<std::vector<std::string>> keyed(kSenders);
    std::vector<std::thread> threads;
    for (int sender = 0; sender < kSenders; ++sender)
        threads.emplace_back([&, sender] {
            for (int key = 0; key < kKeys; ++key)
                keyed[sender].push_back(database.store(sender, {{"K", "k" + std::to_string(key)}}));
        });
    for (auto& thread : threads) thread.join();
    for (int key = 0; key < kKeys; ++key)
        for (int sender = 0; sender < kSenders; ++sender) {
            EXPECT_EQ(keyed[sender][key].rfind("0;", 0), 0u) << keyed[sender][key];
            EXPECT_EQ(keyed[sender][key], keyed[0][key]) << "k" << key;
        }
    EXPECT_EQ(RecordsFile(path).value("SELECT count(*) FROM records WHERE idempotencykey > ''"),
              std::to_string(kKeys));
}

TEST_F(SqliteTest, ALookupOfALookupFieldReadsItsIndex) {
    serveTcpIntoSqlite("lookupfields = \"CALLER, CALLED\";");
    // The plug-in asks SQLite how it runs its own lookup query.
    EXPECT_TRUE(eventually([&] {
        return logHas("sqlite: a LOOKUP of CALLER from the index records_by_entry_CALLER") &&
               logHas("sqlite: a LOOKUP of CALLED from the index records_by_entry_CALLED");
    }));
    LineClient client(port);
    ASSERT_EQ(client.ask("CALLER=201;SECONDS=10"), "0;ROW_ID=1");
    ASSERT_EQ(client.ask("CALLER=202;CALLED=201"), "0;ROW_ID=2");
    ASSERT_EQ(client.ask("CALLER=201;SECONDS=30"), "0;ROW_ID=3");

    std::string found = client.ask("CMD=LOOKUP;FIELD=CALLER;VALUE=201");
    std::regex expected(R"(0;FOUND=1;COUNT=2;ROW_ID=3;ROW_TIME=[-0-9T:.Z]+;ROW_TYPE=1;ROW_TAG=\d+;)"
                        R"(ROW_ENTRIES=\{"CALLER":"201","SECONDS":"30"\})");
    EXPECT_TRUE(std::regex_match(found, expected)) << found;
    EXPECT_EQ(client.ask("CMD=LOOKUP;FIELD=CALLED;VALUE=201").substr(0, 26),
              "0;FOUND=1;COUNT=1;ROW_ID=2");
    EXPECT_EQ(client.ask("CMD=LOOKUP;FIELD=CALLER;VALUE=999"), "0;FOUND=0;COUNT=0");
    // A field not named is still found, by reading the rows.
    EXPECT_EQ(client.ask("CMD=LOOKUP;FIELD=SECONDS;VALUE=10").substr(0, 26),
              "0;FOUND=1;COUNT=1;ROW_ID=1");

    // Any reader of the file finds the index, and SQLite plans the value's
    // lookup through it rather than through every row.
    RecordsFile file(path);
    auto plan = file.rows(
        "EXPLAIN QUERY PLAN SELECT id FROM records"
        " WHERE json_extract(entries, '$.\"CALLER\"') = '201' ORDER BY id DESC LIMIT 1");
    ASSERT_FALSE(plan.empty());
    for (const std::string& step : plan) EXPECT_EQ(step.find("SCAN"), std::string::npos) << step;
    EXPECT_NE(plan.back().find("INDEX records_by_entry_CALLER"), std::string::npos) << plan.back();
}

TEST_F(SqliteTest, ALookupPastItsTimeLimitIsAnsweredOneWithTheReason) {
    // Rows a lookup of an entry without an index must read.
    ASSERT_NO_FATAL_FAILURE(makeFileOfRows(
        path, 100000, "'{\"CALLER\":\"' || (i % 1000) || '\",\"N\":\"' || i || '\"}'"));
    serveTcpIntoSqlite("lookupfields = \"CALLER\"; lookuptimeout = 1;");
    EXPECT_TRUE(eventually([&] {
        return logHas("sqlite: a LOOKUP of CALLER from the index records_by_entry_CALLER");
    }));
    LineClient client(port);
    const std::string reason = "the lookup took longer than its limit of 1 ms (lookuptimeout)";
    EXPECT_EQ(client.ask("CMD=LOOKUP;FIELD=N;VALUE=99999"), "1;REASON=" + reason);
    EXPECT_TRUE(logHas("sqlite: lookup failed in " + path + ": " + reason));
    // The connection that stores is another: it never waited.
    EXPECT_EQ(client.ask("CALLER=201"), "0;ROW_ID=100001");
}

TEST_F(SqliteTest, RecordsAreStoredWhileALookupReadsEveryRow) {
    ASSERT_NO_FATAL_FAILURE(makeFileOfRows(path, 300000, "'{\"N\":\"' || i || '\"}'"));
    StartedSqlite database("path = " + configString(path) + "; lookuptimeout = 600000;");
    ASSERT_TRUE(database.started());
    std::atomic<bool> lookingUp{false}, lookedUp{false};
    std::string found;
    std::thread lookup([&] {
        lookingUp = true;
        found = database.store(2, {{"CMD", "LOOKUP"}, {"FIELD", "N"}, {"VALUE", "1"}});
        lookedUp = true;
    });
    while (!lookingUp) std::this_thread::yield();
    // Records answered while that one LOOKUP still reads: none would be,
    // were a LOOKUP to hold the file for its whole run.
    int answeredMeanwhile = 0;
    for (int n = 0; !lookedUp && n < 1000; ++n) {
        std::string answer = database.store(1, {{"M", std::to_string(n)}});
        ASSERT_EQ(answer.rfind("0;", 0), 0u) << answer;
        if (!lookedUp) ++answeredMeanwhile;
    }
    lookup.join();
    EXPECT_EQ(found, "0;1;");
    EXPECT_GE(answeredMeanwhile, 3);
    std::cout << "[ measured ] " << answeredMeanwhile
              << " records stored while a LOOKUP read 300000 rows\n";
}

TEST_F(SqliteTest, LookupsThatReadEveryRowFromManySendersTieUpAFewThreadsAndRecordsGoOn) {
    ASSERT_NO_FATAL_FAILURE(makeFileOfRows(path, 300000, "'{\"N\":\"' || i || '\"}'"));
    serveTcpIntoSqlite("lookuptimeout = 3000;");
    // As many senders as tcpline has threads, each with 16 LOOKUPs that
    // read every row; one at a time on the lookups' connection they would
    // hold every thread for a minute.
    std::vector<std::unique_ptr<LineClient>> lookingUp;
    std::string lookups;
    for (int i = 0; i < 16; ++i) lookups += "CMD=LOOKUP;FIELD=N;VALUE=1\n";
    for (int i = 0; i < 16; ++i) {
        lookingUp.emplace_back(new LineClient(port));
        ASSERT_TRUE(lookingUp.back()->send(lookups));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    LineClient sender(port);
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(sender.ask("M=1"), "0;ROW_ID=300001");
    const auto waited = std::chrono::steady_clock::now() - asked;
    EXPECT_LT(waited, std::chrono::milliseconds(500));
    // Each LOOKUP is answered: found, refused at once, or past its limit
    // (a sender's 16 share one), none after it.
    int found = 0, refused = 0, late = 0;
    for (auto& client : lookingUp)
        for (int i = 0; i < 16; ++i) {
            std::string answer = client->readLine(10000);
            if (answer.rfind("0;FOUND=1;COUNT=1;ROW_ID=1;", 0) == 0)
                ++found;
            else if (answer.rfind("1;REASON=too many lookups at once: 4 wait", 0) == 0)
                ++refused;
            else if (answer ==
                     "1;REASON=the lookup took longer than its limit of 3000 ms"
                     " (lookuptimeout)")
                ++late;
            else
                ADD_FAILURE() << answer;
        }
    EXPECT_GT(found, 0);
    EXPECT_GT(refused, 0);
    std::cout << "[ measured ] of 256 LOOKUPs " << found << " found, " << refused
              << " refused at once, " << late << " past the limit; a record waited "
              << std::chrono::duration_cast<std::chrono::milliseconds>(waited).count() << " ms\n";
}

TEST_F(SqliteTest, ALookupInProgressWhenThePluginStopsIsAnsweredOne) {
    ASSERT_NO_FATAL_FAILURE(makeFileOfRows(path, 300000, "'{\"N\":\"' || i || '\"}'"));
    StartedSqlite database("path = " + configString(path) + "; lookuptimeout = 600000;");
    ASSERT_TRUE(database.started());
    std::atomic<bool> lookingUp{false};
    std::string answer;
    std::thread lookup([&] {
        lookingUp = true;
        answer = database.store(2, {{"CMD", "LOOKUP"}, {"FIELD", "N"}, {"VALUE", "1"}});
    });
    while (!lookingUp) std::this_thread::yield();
    // Stopped while it reads (or before it began): not left to run out its
    // ten minutes, nor answered from a file being closed.
    database.stop();
    lookup.join();
    EXPECT_TRUE(answer == "1;;the plug-in is stopping" || answer == "1;;the database is closed")
        << answer;
}

#ifndef _WIN32
// Windows refuses to delete or rename a file SQLite holds open; POSIX lets
// an operator do either while the host runs.
TEST_F(SqliteTest, AFileDeletedOrRenamedWhileOpenIsMadeAnewWithEveryRowAnsweredZero) {
    serveTcpIntoSqlite();
    LineClient client(port);
    ASSERT_EQ(client.ask("N=1"), "0;ROW_ID=1");
    ASSERT_EQ(client.ask("N=2"), "0;ROW_ID=2");

    // Before a store the path is looked at every 10 ms at most: a row may
    // go into the deleted file first, but it is answered only once it has
    // been copied with the others into the file made anew at the path (a
    // host killed now would otherwise take it with it).
    std::filesystem::remove(path);  // its -wal and -shm are left behind
    EXPECT_EQ(client.ask("N=3"), "0;ROW_ID=3");
    EXPECT_EQ(RecordsFile(path).value("SELECT count(*) FROM records"), "3");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(client.ask("N=4"), "0;ROW_ID=4");
    EXPECT_TRUE(logHas("sqlite: " + path + " was deleted or renamed while open; made anew there"));

    std::filesystem::rename(path, scratch.file("moved.db"));
    EXPECT_EQ(client.ask("N=5"), "0;ROW_ID=5");
    EXPECT_EQ(RecordsFile(path).value("SELECT count(*) FROM records"), "5");
    std::string found = client.ask("CMD=LOOKUP;FIELD=N;VALUE=1");
    EXPECT_EQ(found.rfind("0;FOUND=1;COUNT=1;ROW_ID=1;", 0), 0u) << found;
    stopServing();
    EXPECT_EQ(RecordsFile(path).value("SELECT group_concat(entries) FROM records"),
              "{\"N\":\"1\"},{\"N\":\"2\"},{\"N\":\"3\"},{\"N\":\"4\"},{\"N\":\"5\"}")
        << "a record answered 0 is not in the file at the path";
}
#endif

}  // namespace
