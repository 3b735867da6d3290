// The spool is verified, not assumed: a damaged one refuses the start and
// is kept aside; one deleted under the running host is made anew at once
// with its records, which all reach the table when the server is back.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>

#include "../bundled/LineClient.h"
#include "../bundled/RecordsFile.h"
#include "PgsqlPluginFixture.h"

namespace {

namespace fs = std::filesystem;

class PgsqlSpoolTest : public PgsqlPluginFixture {
protected:
    std::string spool = scratch.file("spool.db");
    std::vector<CDatabasePlugin*> loaded;  // stopped before their disk goes

    // A conninfo naming a port nothing listens on: every record is spooled.
    std::string nowhere() {
        return "host=127.0.0.1 port=" + std::to_string(freePort()) + " dbname=ostra";
    }
    // The files beside the spool whose names begin with its own plus `suffix`.
    std::vector<fs::path> filesNamed(const std::string& suffix) {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(scratch.path()))
            if (entry.path().filename().string().rfind("spool.db" + suffix, 0) == 0)
                found.push_back(entry.path());
        return found;
    }
};

TEST_F(PgsqlSpoolTest, ASpoolWithDamagedPagesRefusesTheStartAndIsKeptAside) {
    CDatabasePlugin* first = load();
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(start(first, spoolKeys(nowhere(), spool) + " connecttimeout = 200;"), 0);
    for (int n = 0; n < 600; ++n)
        ASSERT_EQ(send(first, "N=" + std::to_string(n) + ";PAD=" + std::string(100, 'x')),
                  "0;SPOOLED=1");
    first->stop();  // its log is folded into the file
    ASSERT_FALSE(fs::exists(spool + "-wal"));

    // Four pages in the middle of the file, overwritten.
    const auto size = fs::file_size(spool);
    ASSERT_GT(size, 16u * 4096u);
    {
        std::fstream file(spool, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(8 * 4096);
        const std::string garbage(4 * 4096, '\x5a');
        file.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }
    const std::string damaged = testing_support::readFile(spool);

    CDatabasePlugin* second = load();
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(start(second, spoolKeys(nowhere(), spool) + " connecttimeout = 200;"), 1);
    EXPECT_FALSE(second->isRunning());
    EXPECT_TRUE(logHas("pgsql: the spool " + spool + " fails its integrity check ("));
    std::vector<fs::path> aside = filesNamed(".damaged-");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_TRUE(logHas("; it is kept as " + aside[0].string() + " and the start is refused: its "));
    EXPECT_TRUE(logHas(" are not forwarded (read what it holds with sqlite3 " + aside[0].string() +
                       " .recover); the next start makes a new spool"));
    EXPECT_EQ(testing_support::readFile(aside[0].string()), damaged) << "kept as it was";
    EXPECT_FALSE(fs::exists(spool));

    // The next start begins a new spool.
    CDatabasePlugin* third = load();
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(start(third, spoolKeys(nowhere(), spool) + " connecttimeout = 200;"), 0);
    EXPECT_EQ(send(third, "N=new"), "0;SPOOLED=1");
    EXPECT_EQ(filesNamed(".damaged-").size(), 1u);
}

#ifndef _WIN32  // (Windows refuses to delete a file that is open)
TEST_F(PgsqlSpoolTest, ASpoolDeletedWhileTheServerIsDownLosesNoRecordAnsweredZero) {
    CDatabasePlugin* first = load();
    ASSERT_NE(first, nullptr);
    const std::string keys = spoolKeys(server.tcpConninfo(), spool) + " connecttimeout = 500;";
    ASSERT_EQ(start(first, keys), 0);
    ASSERT_EQ(send(first, "N=0"), "0;ROW_ID=1");

    server.stop("fast");
    for (int n = 1; n <= 20; ++n) ASSERT_EQ(send(first, "N=" + std::to_string(n)), "0;SPOOLED=1");
    for (const char* file : {"", "-wal", "-shm"}) fs::remove(spool + file);
    // Noticed without a record: the writer looks at the file while it waits.
    EXPECT_TRUE(eventually(
        [&] {
            return logHas("pgsql: the spool " + spool +
                          " was deleted or renamed while open; made anew there with its 20"
                          " records");
        },
        std::chrono::seconds(5)));
    for (int n = 21; n <= 30; ++n) ASSERT_EQ(send(first, "N=" + std::to_string(n)), "0;SPOOLED=1");
    EXPECT_EQ(RecordsFile(spool).value("SELECT count(*) FROM spool"), "30");

    // The host restarts during the outage, then the server comes back.
    first->stop();
    CDatabasePlugin* second = load();
    ASSERT_NE(second, nullptr);
    ASSERT_EQ(start(second, keys), 0);
    server.start();
    EXPECT_TRUE(eventually([&] { return server.value("SELECT count(*) FROM records") == "31"; },
                           std::chrono::seconds(40)));
    EXPECT_EQ(server.value("SELECT count(DISTINCT entries ->> 'N') FROM records"), "31");
}

// Fills the file system holding `folder` to the last byte.
void fill(const std::string& folder) {
    FILE* filler = std::fopen((folder + "/filler").c_str(), "wb");
    ASSERT_NE(filler, nullptr);
    for (std::size_t chunk : {65536u, 4096u, 512u, 1u}) {
        const std::string bytes(chunk, 'f');
        while (std::fwrite(bytes.data(), 1, chunk, filler) == chunk && std::fflush(filler) == 0) {
        }
        std::clearerr(filler);
    }
    std::fclose(filler);
}

TEST_F(PgsqlSpoolTest, AFullSpoolDiskDoesNotHoldUpRecordsTheServerCanTake) {
    // A disk of its own, 1 MiB, in the test's own mount namespace.
    const std::string disk = scratch.file("disk");
    fs::create_directory(disk);
    ASSERT_EQ(std::system(("mount -t tmpfs -o size=1m tmpfs " + disk).c_str()), 0);
    std::shared_ptr<void> unmount(nullptr, [&](void*) {
        for (CDatabasePlugin* plugin : loaded) plugin->stop();
        std::system(("umount " + disk).c_str());
    });
    const std::string spool = disk + "/spool.db";
    CDatabasePlugin* plugin = load();
    ASSERT_NE(plugin, nullptr);
    loaded.push_back(plugin);
    ASSERT_EQ(start(plugin, spoolKeys(server.tcpConninfo(), spool) + " connecttimeout = 500;"), 0);
    ASSERT_EQ(send(plugin, "N=0"), "0;ROW_ID=1");

    server.stop("fast");
    // Alone and in batches: the first batch meets the server gone, the
    // second goes to the spool in one commit.
    for (int n = 1; n <= 10; ++n) ASSERT_EQ(send(plugin, "N=" + std::to_string(n)), "0;SPOOLED=1");
    auto batchOf = [](int first, int last) {
        std::vector<std::string> entries;
        for (int n = first; n <= last; ++n) entries.push_back("N=" + std::to_string(n));
        return entries;
    };
    for (const std::string& answer : sendBatch(plugin, batchOf(11, 15)))
        EXPECT_EQ(answer, "0;SPOOLED=1");
    for (const std::string& answer : sendBatch(plugin, batchOf(16, 20)))
        EXPECT_EQ(answer, "0;SPOOLED=1");
    fill(disk);
    server.start();
    // Once the writer is back on the server, new records are stored there
    // although the spool cannot take them (before: every one answered 1),
    // a batch the spool cannot take as well.
    ASSERT_TRUE(eventually([&] { return server.value("SELECT count(*) FROM records") == "21"; },
                           std::chrono::seconds(40)));
    for (int n = 21; n <= 60; ++n)
        ASSERT_EQ(send(plugin, "N=" + std::to_string(n)).rfind("0;ROW_ID=", 0), 0u) << n;
    for (const std::string& answer : sendBatch(plugin, batchOf(61, 70)))
        EXPECT_EQ(answer.rfind("0;ROW_ID=", 0), 0u) << answer;
    EXPECT_TRUE(
        logHas("database or disk is full; records the server takes are stored there"
               " directly, ahead of the "));

    // Forwarded rows leave the spool even on the full disk (its log is
    // folded into the file first); with room again at the latest.
    fs::remove(disk + "/filler");
    EXPECT_TRUE(eventually([&] { return logHas("pgsql: the spool is empty again"); },
                           std::chrono::seconds(40)));
    EXPECT_EQ(RecordsFile(spool).value("SELECT count(*) FROM spool"), "0");
    EXPECT_EQ(
        server.value("SELECT count(*) || ' ' || count(DISTINCT entries ->> 'N') FROM records"),
        "71 71");
}

TEST_F(PgsqlSpoolTest, ASpoolReplacedWhileOpenIsKeptAsideAndTheRecordsGoOn) {
    CDatabasePlugin* plugin = load();
    ASSERT_NE(plugin, nullptr);
    ASSERT_EQ(start(plugin, spoolKeys(nowhere(), spool) + " connecttimeout = 200;"), 0);
    for (int n = 1; n <= 5; ++n) ASSERT_EQ(send(plugin, "N=" + std::to_string(n)), "0;SPOOLED=1");
    testing_support::writeFile(scratch.file("other"), "not a spool");
    fs::rename(scratch.file("other"), spool);
    EXPECT_EQ(send(plugin, "N=6"), "0;SPOOLED=1");
    std::vector<fs::path> aside = filesNamed(".replaced-");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(testing_support::readFile(aside[0].string()), "not a spool");
    EXPECT_TRUE(logHas("pgsql: the spool " + spool +
                       " was replaced (the file found there is kept as " + aside[0].string() +
                       ") while open; made anew there with its 5 records"));
    EXPECT_EQ(
        RecordsFile(spool).value("SELECT group_concat(json_extract(entries, '$.N')) FROM spool"),
        "1,2,3,4,5,6");
}
#endif

}  // namespace
