// The platform layer's promises, each where it can be seen: a log file that
// child processes do not inherit and that others may rename or delete while
// it is open, the module path, critical sections that know their owner,
// operator files read whole, and the sleep resolution.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <thread>

#include "ChildProcess.h"
#include "TestSupport.h"
#include "platform/critical_section.h"
#include "platform/logfile.h"
#include "platform/paths.h"
#include "platform/textfile.h"
#include "platform/timer.h"
#include "platform/winapi.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

const char kChildFlag[] = "--as-child";

bool runningAsChild() {
    for (const std::string& argument : ::testing::internal::GetArgvs())
        if (argument == kChildFlag) return true;
    return false;
}

std::string thisExecutable() {
    return ostra::joinPath(ostra::executableDirectory(),
                           std::string("platform_test") + OSTRA_EXE_SUFFIX);
}

}  // namespace

// Runs only as the child of the test below: says which files it holds
// (where the system lets a process see that), then waits for its input to end.
TEST(PlatformChild, DISABLED_SaysWhichFilesItHoldsThenWaitsForItsInputToEnd) {
    if (!runningAsChild()) GTEST_SKIP() << "runs only as a child process";
#ifndef _WIN32
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ignored;
        std::cout << "holds " << fs::read_symlink(entry.path(), ignored).string() << "\n";
    }
#endif
    std::cout << "listed" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
    }
}

TEST(LogFileHandle, IsNotInheritedByAChildProcessTheHostStarts) {
    testing_support::ScratchDir dir;
    const std::string path = dir.file("x.log");
    ostra::LogFile file;
    ASSERT_TRUE(file.open(path));
    testing_support::ChildProcess child(
        thisExecutable(),
        {"--gtest_filter=PlatformChild.*", "--gtest_also_run_disabled_tests", kChildFlag},
        dir.path().string());
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(eventually([&] { return child.output().find("listed") != std::string::npos; }));
#ifdef _WIN32
    // A handle the child inherited would keep the file open after ours is
    // closed, and an exclusive open would fail.
    file.close();
    HANDLE exclusive =
        CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(exclusive, INVALID_HANDLE_VALUE) << "the child process holds the log file";
    if (exclusive != INVALID_HANDLE_VALUE) CloseHandle(exclusive);
#else
    EXPECT_NE(child.output().find("holds "), std::string::npos) << child.output();
    EXPECT_EQ(child.output().find(path), std::string::npos)
        << "the child process holds the log file";
#endif
    child.closeInput();
    EXPECT_EQ(child.wait(std::chrono::seconds(30)), 0);
}

TEST(LogFileHandle, OthersMayRenameAndDeleteTheFileWhileItIsOpen) {
    testing_support::ScratchDir dir;
    const std::string path = dir.file("x.log");
    ostra::LogFile file;
    ASSERT_TRUE(file.open(path));
    ASSERT_TRUE(file.write("a\n", 2));
    std::error_code error;
    fs::rename(path, path + ".1", error);
    EXPECT_FALSE(error) << "rename while open: " << error.message();
    EXPECT_TRUE(file.write("b\n", 2)) << "the open file goes on under its new name";
    fs::remove(path + ".1", error);
    EXPECT_FALSE(error) << "delete while open: " << error.message();
    file.close();  // Windows lets a deleted file go with its last handle
    EXPECT_FALSE(ostra::LogFile::exists(path + ".1"));
}

TEST(ModulePath, IsTheFolderOfTheRunningExecutable) {
    EXPECT_TRUE(fs::is_regular_file(thisExecutable())) << thisExecutable();
    EXPECT_NE(ostra::executableDirectory().back(), ostra::kPathSeparator);
}

TEST(CriticalSection, KnowsWhetherTheCallingThreadHoldsItThroughNestedEntries) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EXPECT_FALSE(ostra::enteredByThisThread(section));
    EnterCriticalSection(&section);
    ASSERT_TRUE(TryEnterCriticalSection(&section)) << "re-entrant for its owner";
    bool seenByOther = true;
    std::thread([&] {
        seenByOther = ostra::enteredByThisThread(section);
        if (TryEnterCriticalSection(&section)) {
            seenByOther = true;
            LeaveCriticalSection(&section);
        }
    }).join();
    EXPECT_FALSE(seenByOther) << "another thread took the section or thought it held it";
    LeaveCriticalSection(&section);
    EXPECT_TRUE(ostra::enteredByThisThread(section)) << "entered twice, left once";
    LeaveCriticalSection(&section);
    EXPECT_FALSE(ostra::enteredByThisThread(section));
    DeleteCriticalSection(&section);
}

TEST(TextFile, IsReadWholeAndAFolderMissingOrSpecialFileIsRefusedWithItsReason) {
    testing_support::ScratchDir dir;
    const std::string path = dir.file("a.cfg");
    const std::string bytes = std::string("x = 1;\r\n\xE8\x9A\0 end", 16);
    testing_support::writeFile(path, bytes);
    std::string content, whyNot;
    ASSERT_TRUE(ostra::readTextFile(path, content, whyNot)) << whyNot;
    EXPECT_EQ(content, bytes) << "bytes unchanged";

    EXPECT_FALSE(ostra::readTextFile(dir.path().string(), content, whyNot));
    EXPECT_EQ(whyNot, "a folder");
    EXPECT_FALSE(ostra::readTextFile(dir.file("none.cfg"), content, whyNot));
    EXPECT_EQ(whyNot, "not found");
#ifndef _WIN32
    const std::string fifo = dir.file("pipe");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(ostra::readTextFile(fifo, content, whyNot)) << "and it did not hang";
    EXPECT_EQ(whyNot, "not a regular file");
#endif
    EXPECT_EQ(ostra::folderOf(path), dir.path().string());
    EXPECT_TRUE(ostra::isAbsolutePath(path));
    EXPECT_FALSE(ostra::isAbsolutePath("parts/a.cfg"));
}

TEST(SleepResolution, FiftyOneMillisecondSleepsTakeFarLessThanFiftyTimerPeriods) {
    ostra::FineSleepResolution fine;
    auto began = std::chrono::steady_clock::now();
    for (int i = 0; i < 50; ++i) Sleep(1);
    auto took = std::chrono::steady_clock::now() - began;
    // 50 default Windows timer periods are 780 ms; 50 fine sleeps about 50 ms.
    EXPECT_LT(took, std::chrono::milliseconds(600));
    EXPECT_GE(took, std::chrono::milliseconds(50));
}
