#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "common/CSync.h"

namespace {

class Section {
public:
    Section() { InitializeCriticalSection(&section_); }
    ~Section() { DeleteCriticalSection(&section_); }
    CRITICAL_SECTION* get() { return &section_; }

private:
    CRITICAL_SECTION section_;
};

// Starts a thread that enters `section` and records when it got in.
class Contender {
public:
    explicit Contender(CRITICAL_SECTION* section)
        : thread_([this, section] {
              CSync sync(section);
              entered_ = true;
          }) {}
    ~Contender() { thread_.join(); }
    // Whether the thread got in within `wait`.
    bool enteredWithin(std::chrono::milliseconds wait) {
        auto deadline = std::chrono::steady_clock::now() + wait;
        while (!entered_ && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return entered_;
    }

private:
    std::atomic<bool> entered_{false};
    std::thread thread_;
};

constexpr std::chrono::milliseconds kShortWait(100);
constexpr std::chrono::milliseconds kLongWait(10000);

}  // namespace

TEST(CSync, IsReentrantOnTheOwningThread) {
    Section section;
    CSync outer(section.get());
    {
        CSync inner(section.get());  // would hang if not re-entrant
        EXPECT_TRUE(inner.holds());
    }
    EXPECT_TRUE(outer.holds());
    Contender other(section.get());
    EXPECT_FALSE(other.enteredWithin(kShortWait)) << "inner CSync released the outer hold";
    outer.unlock();
    EXPECT_TRUE(other.enteredWithin(kLongWait));
}

TEST(CSync, ExcludesOtherThreadsUntilReleased) {
    Section section;
    auto sync = std::make_unique<CSync>(section.get());
    Contender other(section.get());
    EXPECT_FALSE(other.enteredWithin(kShortWait));
    sync.reset();
    EXPECT_TRUE(other.enteredWithin(kLongWait));
}

TEST(CSync, UnlockLetsOthersInAndLockTakesItBack) {
    Section section;
    CSync sync(section.get());
    sync.unlock();
    EXPECT_FALSE(sync.holds());
    {
        Contender other(section.get());
        EXPECT_TRUE(other.enteredWithin(kLongWait));
    }
    sync.lock();
    EXPECT_TRUE(sync.holds());
    sync.lock();  // no effect while held: one unlock releases it
    Contender later(section.get());
    EXPECT_FALSE(later.enteredWithin(kShortWait));
    sync.unlock();
    EXPECT_TRUE(later.enteredWithin(kLongWait));
}

TEST(CSync, DestructorLeavesOnlyWhatItHolds) {
    Section section;
    EnterCriticalSection(section.get());  // held by this thread outside any CSync
    {
        CSync sync(section.get());
        sync.unlock();
    }  // must not leave the section a second time
    Contender other(section.get());
    EXPECT_FALSE(other.enteredWithin(kShortWait)) << "destructor left a section it did not hold";
    LeaveCriticalSection(section.get());
    EXPECT_TRUE(other.enteredWithin(kLongWait));
}

TEST(CSync, DestructorAfterAnExceptionBetweenUnlockAndLockLeavesNothing) {
    Section section;
    try {
        CSync sync(section.get());
        sync.unlock();
        throw 1;
    } catch (int) {
    }
    Contender other(section.get());
    EXPECT_TRUE(other.enteredWithin(kLongWait));
}
