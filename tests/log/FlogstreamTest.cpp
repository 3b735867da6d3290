#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "TestSupport.h"
#include "common/log/CLog.h"
#include "common/log/flogstream.h"

namespace fs = std::filesystem;
using testing_support::readLines;
using testing_support::ScratchDir;

namespace {

std::string numbered(int i) {
    std::string text = "line " + std::to_string(i) + " ";
    text.resize(60, '.');
    return text;
}

}  // namespace

TEST(Flogstream, AppendsLinesToAnExistingFile) {
    ScratchDir dir;
    std::string path = dir.file("app.log");
    testing_support::writeFile(path, "earlier\n");
    flogstream stream;
    ASSERT_TRUE(stream.open(path.c_str()));
    EXPECT_TRUE(stream.write("later"));
    stream.flush();
    EXPECT_EQ(readLines(path), (std::vector<std::string>{"earlier", "later"}));
}

TEST(Flogstream, RotationBySizeKeepsTheConfiguredNumberOfOldFiles) {
    ScratchDir dir;
    std::string path = dir.file("OstraService.log");
    flogstream stream;
    stream.setMaxSizeBytes(1000);
    stream.setRotate(3);
    ASSERT_TRUE(stream.open(path.c_str()));
    constexpr int kLines = 200;
    for (int i = 0; i < kLines; ++i) ASSERT_TRUE(stream.write(numbered(i)));
    stream.flush();

    EXPECT_TRUE(fs::exists(path + ".1"));
    EXPECT_TRUE(fs::exists(path + ".2"));
    EXPECT_TRUE(fs::exists(path + ".3"));
    EXPECT_FALSE(fs::exists(path + ".4"));
    EXPECT_LE(fs::file_size(path), 1000u);
    for (const char* suffix : {".1", ".2", ".3"}) {
        EXPECT_LE(fs::file_size(path + suffix), 1000u) << suffix;
        EXPECT_GT(fs::file_size(path + suffix), 900u) << suffix << " rotated before it was full";
    }
    // The newest lines, oldest file first, continue without a gap.
    std::vector<std::string> kept;
    for (const char* suffix : {".3", ".2", ".1", ""}) {
        auto lines = readLines(path + suffix);
        kept.insert(kept.end(), lines.begin(), lines.end());
    }
    ASSERT_FALSE(kept.empty());
    int first = kLines - static_cast<int>(kept.size());
    for (size_t i = 0; i < kept.size(); ++i)
        EXPECT_EQ(kept[i], numbered(first + static_cast<int>(i)));
}

TEST(Flogstream, RotationWithNoOldFilesStartsTheFileAgain) {
    ScratchDir dir;
    std::string path = dir.file("x.log");
    flogstream stream;
    stream.setMaxSizeBytes(500);
    stream.setRotate(0);
    ASSERT_TRUE(stream.open(path.c_str()));
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(stream.write(numbered(i)));
    stream.flush();
    EXPECT_FALSE(fs::exists(path + ".1"));
    EXPECT_LE(fs::file_size(path), 500u);
    EXPECT_EQ(readLines(path).back(), numbered(29));
}

TEST(Flogstream, MaxSizeOfZeroMeansNoLimit) {
    ScratchDir dir;
    std::string path = dir.file("x.log");
    flogstream stream;
    stream.setMaxSizeM(0);
    ASSERT_TRUE(stream.open(path.c_str()));
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(stream.write(numbered(i)));
    stream.flush();
    EXPECT_FALSE(fs::exists(path + ".1"));
    EXPECT_EQ(readLines(path).size(), 100u);
}

TEST(Flogstream, AnUnopenablePathMakesWriteReturnFalseAndNothingCrashes) {
    ScratchDir dir;
    std::string path = dir.file("missing-folder/x.log");
    flogstream stream;
    EXPECT_FALSE(stream.open(path.c_str()));
    EXPECT_FALSE(stream.isOpen());
    EXPECT_FALSE(stream.write("lost"));

    CLog log;
    log.addStream(&stream);
    log.log(LOG_LEVEL_ERROR, "f", 1, "goes nowhere");

    flogstream never;
    EXPECT_FALSE(never.write("never opened"));
    EXPECT_FALSE(never.open(""));
}

TEST(Flogstream, WritingResumesWhenTheFolderAppears) {
    ScratchDir dir;
    fs::path folder = dir.path() / "later";
    std::string path = (folder / "x.log").string();
    flogstream stream;
    EXPECT_FALSE(stream.open(path.c_str()));
    EXPECT_FALSE(stream.write("before"));
    fs::create_directory(folder);
    // The stream retries at most once a second.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    bool written = false;
    while (!written && std::chrono::steady_clock::now() < deadline) {
        written = stream.write("after");
        if (!written) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(written);
    stream.flush();
    // Lines written while the file could not be opened were kept for it.
    auto lines = readLines(path);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front(), "before");
    EXPECT_EQ(lines.back(), "after");
}

TEST(Flogstream, GatheredLinesReachTheFileWithinAMomentWithoutAFlush) {
    ScratchDir dir;
    std::string path = dir.file("x.log");
    flogstream stream;
    ASSERT_TRUE(stream.open(path.c_str()));
    ASSERT_TRUE(stream.write("soon on disk"));
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (readLines(path).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(readLines(path), std::vector<std::string>{"soon on disk"});
}

TEST(Flogstream, AnErrorLineIsOnDiskWhenTheLogCallReturns) {
    ScratchDir dir;
    std::string path = dir.file("x.log");
    flogstream stream;
    ASSERT_TRUE(stream.open(path.c_str()));
    CLog log;
    log.addStream(&stream);
    log.log(LOG_LEVEL_INFO, "f", 1, "info");
    log.log(LOG_LEVEL_ERROR, "f", 2, "error");
    EXPECT_EQ(readLines(path), (std::vector<std::string>{"info", "error"}));
}

TEST(Flogstream, DestroyingTheStreamWritesOutWhatHasGathered) {
    ScratchDir dir;
    std::string path = dir.file("x.log");
    {
        flogstream stream;
        ASSERT_TRUE(stream.open(path.c_str()));
        for (int i = 0; i < 10; ++i) stream.write(numbered(i));
    }
    EXPECT_EQ(readLines(path).size(), 10u);
}

TEST(Flogstream, AFullDiskLosesLinesButNeverFailsTheCaller) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    flogstream stream;
    ASSERT_TRUE(stream.open("/dev/full"));
    CLog log;
    log.addStream(&stream);
    for (int i = 0; i < 5000; ++i) log.log(LOG_LEVEL_INFO, "f", i, "nowhere to go");
    log.log(LOG_LEVEL_ERROR, "f", 1, "flushed into a full disk");
    EXPECT_FALSE(stream.write("refused while the file is closed"));
}

TEST(Flogstream, AFolderRemovedWhileRunningIsNoticedAndWritingResumesWhenItComesBack) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows keeps a folder that holds an open file";
#endif
    ScratchDir dir;
    fs::path folder = dir.path() / "logs";
    fs::create_directory(folder);
    std::string path = (folder / "x.log").string();
    flogstream stream;
    ASSERT_TRUE(stream.open(path.c_str()));
    ASSERT_TRUE(stream.write("before"));
    stream.flush();
    fs::remove_all(folder);
    stream.write("while the folder is gone");
    stream.flush();
    fs::create_directory(folder);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        stream.write("after");
        stream.flush();
        if (fs::exists(path) && !readLines(path).empty()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_TRUE(fs::exists(path));
    EXPECT_EQ(readLines(path).back(), "after");
}

TEST(Flogstream, ARotationWhoseRenameFailsKeepsEveryLineInTheFile) {
    ScratchDir dir;
    std::string path = dir.file("x.log");
    // A folder where the first old file would go: renaming onto it fails.
    fs::create_directory(path + ".1");
    testing_support::writeFile(path + ".1/keep", "x");
    flogstream stream;
    stream.setMaxSizeBytes(600);
    stream.setRotate(3);
    ASSERT_TRUE(stream.open(path.c_str()));
    for (int i = 0; i < 40; ++i) EXPECT_TRUE(stream.write(numbered(i)));
    stream.flush();
    auto lines = readLines(path);
    std::vector<std::string> kept;
    for (const char* suffix : {".3", ".2", ".1"})
        if (fs::is_regular_file(path + suffix))
            for (auto& line : readLines(path + suffix)) kept.push_back(line);
    kept.insert(kept.end(), lines.begin(), lines.end());
    ASSERT_EQ(kept.size(), 40u) << "lines were lost around a failed rotation";
    for (int i = 0; i < 40; ++i) EXPECT_EQ(kept[static_cast<size_t>(i)], numbered(i));
}
