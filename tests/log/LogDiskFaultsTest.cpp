// The log file when the disk refuses: through a LogDisk that wraps the real
// one and makes chosen calls fail, as another process or a full disk would.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "common/log/LogDisk.h"
#include "common/log/flogstream.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using testing_support::readLines;

namespace {

// The real disk, with faults on request. Shared with the test, which keeps
// a pointer while the stream owns it.
class FaultyDisk : public ostra::LogDisk {
public:
    FaultyDisk() : real_(ostra::realLogDisk()) {}

    void refuseRenamesOf(const std::string& path, int times) {
        std::lock_guard<std::mutex> guard(lock_);
        renameVictim_ = path;
        renamesToRefuse_ = times;
    }
    // The next write writes half its data, then fails; then `opens` opens fail.
    void failNextWriteThenOpens(int opens) {
        std::lock_guard<std::mutex> guard(lock_);
        failNextWrite_ = true;
        opensToRefuse_ = opens;
    }
    std::vector<Clock::time_point> renameAttempts() {
        std::lock_guard<std::mutex> guard(lock_);
        return renameAttempts_;
    }
    std::vector<Clock::time_point> openAttempts() {
        std::lock_guard<std::mutex> guard(lock_);
        return openAttempts_;
    }
    Clock::time_point failedWriteAt() {
        std::lock_guard<std::mutex> guard(lock_);
        return failedWriteAt_;
    }

    bool open(const std::string& path) override {
        std::lock_guard<std::mutex> guard(lock_);
        openAttempts_.push_back(Clock::now());
        if (opensToRefuse_ > 0 && !failNextWrite_) {
            --opensToRefuse_;
            return false;
        }
        return real_->open(path);
    }
    bool isOpen() const override { return real_->isOpen(); }
    long long size() const override { return real_->size(); }
    bool write(const char* data, size_t length) override {
        std::lock_guard<std::mutex> guard(lock_);
        if (failNextWrite_) {
            failNextWrite_ = false;
            failedWriteAt_ = Clock::now();
            real_->write(data, length / 2);
            return false;
        }
        return real_->write(data, length);
    }
    void close() override { real_->close(); }
    bool rename(const std::string& from, const std::string& to) override {
        std::lock_guard<std::mutex> guard(lock_);
        if (from == renameVictim_) {
            renameAttempts_.push_back(Clock::now());
            if (renamesToRefuse_ > 0) {
                --renamesToRefuse_;
                return false;
            }
        }
        return real_->rename(from, to);
    }
    bool remove(const std::string& path) override { return real_->remove(path); }
    bool exists(const std::string& path) override { return real_->exists(path); }

private:
    std::unique_ptr<ostra::LogDisk> real_;
    std::mutex lock_;
    std::string renameVictim_;
    int renamesToRefuse_ = 0;
    bool failNextWrite_ = false;
    int opensToRefuse_ = 0;
    Clock::time_point failedWriteAt_;
    std::vector<Clock::time_point> renameAttempts_;
    std::vector<Clock::time_point> openAttempts_;
};

std::string numbered(int i) { return "line " + std::to_string(i); }

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// Every line of `path` and its old files, oldest first.
std::vector<std::string> allLines(const std::string& path, int oldFiles) {
    std::vector<std::string> lines;
    for (int i = oldFiles; i >= 1; --i) {
        std::string old = path + "." + std::to_string(i);
        if (fs::exists(old))
            for (auto& line : readLines(old)) lines.push_back(line);
    }
    for (auto& line : readLines(path)) lines.push_back(line);
    return lines;
}

}  // namespace

TEST(LogDiskFaults, ARenameRefusedTwiceIsTriedAgainASecondApartAndNoLineIsLost) {
    testing_support::ScratchDir dir;
    const std::string path = dir.file("x.log");
    auto* disk = new FaultyDisk;
    disk->refuseRenamesOf(path, 2);
    flogstream stream{std::unique_ptr<ostra::LogDisk>(disk)};
    stream.setMaxSizeBytes(200);
    stream.setRotate(50);
    ASSERT_TRUE(stream.open(path.c_str()));
    int written = 0;
    while (disk->renameAttempts().size() < 4 && written < 1000) {
        ASSERT_TRUE(stream.write(numbered(written++)));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stream.flush();

    auto attempts = disk->renameAttempts();
    ASSERT_GE(attempts.size(), 3u);
    EXPECT_GE(secondsBetween(attempts[0], attempts[1]), 0.99)
        << "a refused rename was retried at once";
    EXPECT_GE(secondsBetween(attempts[1], attempts[2]), 0.99);
    std::vector<std::string> lines = allLines(path, 50);
    ASSERT_EQ(lines.size(), static_cast<size_t>(written));
    for (int i = 0; i < written; ++i) EXPECT_EQ(lines[static_cast<size_t>(i)], numbered(i));
    EXPECT_TRUE(fs::exists(path + ".1")) << "the rotation went through in the end";
}

TEST(LogDiskFaults, AWriteFailingMidBlockThenReopensFailingLoseOnlyThatBlock) {
    testing_support::ScratchDir dir;
    const std::string path = dir.file("x.log");
    auto* disk = new FaultyDisk;
    flogstream stream{std::unique_ptr<ostra::LogDisk>(disk)};
    ASSERT_TRUE(stream.open(path.c_str()));
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(stream.write("kept " + std::to_string(i)));
    stream.flush();

    disk->failNextWriteThenOpens(2);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(stream.write("lost " + std::to_string(i)));
    stream.flush();  // half of this block reaches the file, then the write fails
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(stream.write("after " + std::to_string(i))) << "the file is closed";

    // The stream's own thread opens the file again, at most once a second,
    // and writes what it kept.
    ASSERT_TRUE(eventually(
        [&] {
            auto lines = readLines(path);
            return !lines.empty() && lines.back() == "after 4";
        },
        std::chrono::seconds(10)));
    auto opens = disk->openAttempts();
    ASSERT_EQ(opens.size(), 4u) << "the first open, two refused, one that worked";
    EXPECT_GE(secondsBetween(disk->failedWriteAt(), opens[1]), 0.99);
    EXPECT_GE(secondsBetween(opens[1], opens[2]), 0.99);
    EXPECT_GE(secondsBetween(opens[2], opens[3]), 0.99);

    std::vector<std::string> lines = readLines(path);
    ASSERT_GE(lines.size(), 10u);
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(lines[static_cast<size_t>(i)], "kept " + std::to_string(i));
        EXPECT_EQ(lines[lines.size() - 5 + static_cast<size_t>(i)], "after " + std::to_string(i));
    }
    for (size_t i = 5; i + 5 < lines.size(); ++i)
        EXPECT_EQ(lines[i].find("after"), std::string::npos)
            << "a kept line ran into the torn block";
}
