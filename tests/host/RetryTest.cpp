// A protocol whose start failed is tried again on a growing interval: not
// on every pass of the run loop, and not never.
#include <thread>

#include "HostFixture.h"

class Retry : public HostFixture {
protected:
    // While this file exists the plug-in configured with it refuses its start.
    std::string refusal() {
        std::string path = scratch.file("refuse");
        testing_support::writeFile(path, "no\n");
        return path;
    }
    bool startedWithin(std::chrono::seconds limit) {
        return eventually(
            [&] {
                request("STATUS");
                auto all = answers();
                return !all.empty() && all.back() == "tag=0 CMD=ANSWER,ANSWER=STARTED";
            },
            limit);
    }

    testing_support::ScratchDir scratch;
};

TEST_F(Retry, ARefusingDatabaseIsTriedAboutOnceASecondAndComesUpOnceItCan) {
    const std::string file = refusal();
    writeConfig(controlGroup() + " protocols = ( " +
                protocol("pbx", "p", "", "refuseWhile = " + configString(file) + ";") + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    std::this_thread::sleep_for(std::chrono::seconds(4));
    // Attempts come 1, 2, 4 s apart: three in four seconds. Every pass (a
    // thousand a second) would have made thousands.
    const size_t attempts = count("pdb", "start");
    EXPECT_GE(attempts, 2u) << "the failed start was never tried again";
    EXPECT_LE(attempts, 8u) << "tried more often than about once a second";
    EXPECT_TRUE(eventually([&] { return count("p", "destroy") == count("p", "create"); },
                           std::chrono::seconds(2)))
        << "the protocol is kept (and listens) between attempts";

    std::filesystem::remove(file);
    EXPECT_TRUE(startedWithin(std::chrono::seconds(40))) << "not started again without a command";
    EXPECT_EQ(count("pdb", "destroy") + 1, count("pdb", "create"));
}

TEST_F(Retry, AProtocolThatRefusedItsStartIsStoppedAndStartsByItselfOnceItCan) {
    // As a port another program holds at boot, freed later.
    const std::string file = refusal();
    writeConfig(controlGroup() + " protocols = ( " +
                protocol("pbx", "p", "refuseWhile = " + configString(file) + ";") + " );");
    startServing();
    ASSERT_TRUE(waitForLine("Service started"));
    ASSERT_TRUE(eventually([&] { return count("p", "destroy") == 1; }));
    EXPECT_EQ(count("p", "stop"), 1u) << "a refused protocol is stopped, then destroyed";
    EXPECT_EQ(count("pdb", "create"), 0u);

    std::filesystem::remove(file);
    EXPECT_TRUE(startedWithin(std::chrono::seconds(40))) << "not started again without a command";
    EXPECT_EQ(count("pdb", "start"), 1u);
}

TEST(RetryPacing, DelaysGrowFromASecondToAtMostThirtyAndAResetStartsAgain) {
    RetryPacing pacing;
    const auto t0 = RetryPacing::Clock::now();
    EXPECT_TRUE(pacing.due(t0)) << "a first attempt waits for nothing";
    auto at = t0;
    std::vector<long long> delays;
    for (int failure = 0; failure < 8; ++failure) {
        pacing.failed(at);
        long long waited = 0;
        while (!pacing.due(at + std::chrono::seconds(waited))) ++waited;
        delays.push_back(waited);
        at += std::chrono::seconds(waited);
    }
    EXPECT_EQ(delays, (std::vector<long long>{1, 2, 4, 8, 16, 30, 30, 30}));
    pacing.reset();
    EXPECT_TRUE(pacing.due(at));
    pacing.failed(at);
    EXPECT_FALSE(pacing.due(at + std::chrono::milliseconds(999)));
    EXPECT_TRUE(pacing.due(at + std::chrono::seconds(1)));
}
