#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "common/log/CLog.h"
#include "common/log/CStdLogFormat.h"
#include "common/log/flogstream.h"

namespace {

// A stream that keeps what it is given, and can be told to act on a write.
class CollectingStream : public logstream {
public:
    bool write(std::string line) override {
        lines.push_back(line);
        if (onWrite) onWrite(line);
        return true;
    }
    std::vector<std::string> lines;
    std::function<void(const std::string&)> onWrite;
};

class ThrowingStream : public logstream {
public:
    bool write(std::string) override { throw std::runtime_error("disk on fire"); }
};

}  // namespace

TEST(CLog, ANewLogWithoutStreamsWritesNothingAndDoesNotFail) {
    CLog log;
    log.log(LOG_LEVEL_ERROR, "OstraService", 1, "nobody hears this");
    CStdLogFormat formatter;
    log.setFormatter(&formatter);
    log.log(LOG_LEVEL_INFO, nullptr, 2, nullptr);
    EXPECT_TRUE(log.getStreams().empty());
    EXPECT_EQ(log.getLevel(), LOG_LEVEL_DEBUG);
}

TEST(CLog, LevelsFilterByImportanceErrorInfoDebug) {
    CLog log;
    CollectingStream stream;
    log.addStream(&stream);
    auto writeAll = [&] {
        stream.lines.clear();
        log.log(LOG_LEVEL_INFO, "f", 1, "info");
        log.log(LOG_LEVEL_ERROR, "f", 2, "error");
        log.log(LOG_LEVEL_DEBUG, "f", 3, "debug");
        return stream.lines;
    };
    using Lines = std::vector<std::string>;
    EXPECT_EQ(writeAll(), (Lines{"info", "error", "debug"})) << "a new log writes everything";
    log.setLevel(LOG_LEVEL_ERROR);
    EXPECT_EQ(writeAll(), (Lines{"error"}));
    log.setLevel(LOG_LEVEL_INFO);
    EXPECT_EQ(writeAll(), (Lines{"info", "error"}));
    log.setLevel(LOG_LEVEL_DEBUG);
    EXPECT_EQ(writeAll(), (Lines{"info", "error", "debug"}));
    log.setLevel(LOG_LEVEL_INFO);
    log.log(7, "f", 4, "unknown level counts as debug");
    EXPECT_EQ(stream.lines.size(), 3u);
}

TEST(CLog, StandardFormatLaysOutTimeLevelThreadNameSourceAndText) {
    CLog log;
    CStdLogFormat formatter;
    CollectingStream stream;
    log.setFormatter(&formatter);
    log.setName("OstraService");
    log.addStream(&stream);
    log.log(LOG_LEVEL_ERROR, "ProtocolApp", 214, "Nije uspjelo\nkreiranje");
    ASSERT_EQ(stream.lines.size(), 1u);
    std::regex layout(
        R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} ERROR \[\d+\] OstraService ProtocolApp:214 Nije uspjelo kreiranje)");
    EXPECT_TRUE(std::regex_match(stream.lines[0], layout)) << stream.lines[0];
}

TEST(CLog, AStreamIsCarriedOnceAndCopiedSettingsShareTheSameObjects) {
    CLog host;
    CStdLogFormat formatter;
    CollectingStream first, second;
    host.setName("Kasa");
    host.setFormatter(&formatter);
    host.addStream(&first);
    host.addStream(&second);
    host.addStream(&first);
    host.setLevel(LOG_LEVEL_ERROR);
    ASSERT_EQ(host.getStreams().size(), 2u);

    CLog plugin;
    CollectingStream own;
    plugin.addStream(&own);
    plugin.copySettingsFrom(host);
    EXPECT_EQ(plugin.getStreams(), host.getStreams());
    EXPECT_EQ(plugin.getFormatter(), &formatter);
    EXPECT_EQ(plugin.getName(), "Kasa");
    EXPECT_EQ(plugin.getLevel(), LOG_LEVEL_ERROR);
    plugin.log(LOG_LEVEL_ERROR, "p", 1, "shared");
    EXPECT_EQ(first.lines.size(), 1u);
    EXPECT_EQ(second.lines.size(), 1u);
    EXPECT_TRUE(own.lines.empty());
    plugin.removeAllStreams();
    EXPECT_TRUE(plugin.getStreams().empty());
    EXPECT_EQ(host.getStreams().size(), 2u);
}

TEST(CLog, AStreamThatLogsFromInsideWriteNeitherDeadlocksNorRecurses) {
    CLog log;
    CollectingStream echoing, other;
    log.addStream(&echoing);
    log.addStream(&other);
    int nestedCalls = 0;
    echoing.onWrite = [&](const std::string& line) {
        ++nestedCalls;
        log.log(LOG_LEVEL_INFO, "f", 1, ("echo of " + line).c_str());
    };
    log.log(LOG_LEVEL_INFO, "f", 1, "original");
    EXPECT_EQ(nestedCalls, 1);
    EXPECT_EQ(echoing.lines, std::vector<std::string>{"original"});
    EXPECT_EQ(other.lines, (std::vector<std::string>{"echo of original", "original"}));
}

TEST(CLog, AThrowingStreamLosesItsLineButTheOthersGetIt) {
    CLog log;
    ThrowingStream broken;
    CollectingStream healthy;
    log.addStream(&broken);
    log.addStream(&healthy);
    EXPECT_NO_THROW(log.log(LOG_LEVEL_ERROR, "f", 1, "still here"));
    EXPECT_EQ(healthy.lines, std::vector<std::string>{"still here"});
}

TEST(CLog, EightThreadsThroughOwnLogsSharingOneFileWriteWholeLinesNoneLost) {
    testing_support::ScratchDir dir;
    std::string path = dir.file("shared.log");
    flogstream file;
    ASSERT_TRUE(file.open(path.c_str()));
    CStdLogFormat formatter;

    constexpr int kThreads = 8;
    constexpr int kLinesEach = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            CLog log;
            log.setFormatter(&formatter);
            log.setName(("log" + std::to_string(t)).c_str());
            log.addStream(&file);
            std::string padding(40 + 13 * t, static_cast<char>('a' + t));
            for (int i = 0; i < kLinesEach; ++i) {
                std::string text = "thread=" + std::to_string(t) + " seq=" + std::to_string(i) +
                                   " " + padding + " end";
                log.log(LOG_LEVEL_INFO, "CLogTest", __LINE__, text.c_str());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    file.flush();

    auto lines = testing_support::readLines(path);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesEach));
    std::regex whole(R"(.* INFO  \[\d+\] log(\d) CLogTest:\d+ thread=(\d) seq=(\d+) ([a-h]+) end)");
    std::vector<int> nextSeq(kThreads, 0);
    for (const auto& line : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, whole)) << "torn line: " << line;
        int t = std::stoi(match[2]);
        ASSERT_EQ(std::stoi(match[1]), t);
        ASSERT_EQ(match[4].length(), static_cast<long>(40 + 13 * t)) << line;
        ASSERT_EQ(std::stoi(match[3]), nextSeq[t]) << "lost or reordered: " << line;
        ++nextSeq[t];
    }
}
