// Relays in both directions from plug-in threads while another thread
// tears the plug-ins down and builds them again, over and over.
#include <chrono>
#include <future>
#include <thread>

#include "AppFixture.h"

namespace {

std::string busyEntry(const std::string& workerKeys) {
    std::string databases;
    for (int i = 1; i <= 3; ++i) {
        if (i > 1) databases += ", ";
        databases += "{ dll = " + configString(testing_support::pluginFile("testdatabase")) +
                     "; id = \"db" + std::to_string(i) +
                     "\"; answer = " + std::to_string(i == 1 ? 3 : i - 2) + "; " + workerKeys +
                     " }";
    }
    return "{ name = \"busy\"; id = \"p\"; type = \"KEYCARD\"; dll = " +
           configString(testing_support::pluginFile("testprotocol")) + "; " + workerKeys +
           " databases = ( " + databases + " ); }";
}

}  // namespace

class RelayStress : public AppFixture {
protected:
    RelayStress() { hostLog.removeAllStreams(); }  // millions of trace lines otherwise
};

TEST_F(RelayStress, StopAndForcedStartWhileFourPluginThreadsRelayInBothDirections) {
    makeApp(busyEntry("workerEvents = -1; quietEvents = true;"));
    ASSERT_EQ(initResult, 0);

    constexpr int kCycles = 1000;
    auto cycling = std::async(std::launch::async, [this] {
        for (int cycle = 0; cycle < kCycles; ++cycle) {
            app->stop();
            if (app->start(true) != 0) return cycle;
        }
        return kCycles;
    });
    ASSERT_EQ(cycling.wait_for(std::chrono::minutes(3)), std::future_status::ready)
        << "stop/start deadlocked with relays in flight";
    EXPECT_EQ(cycling.get(), kCycles);
    app->stop();

    EXPECT_EQ(countAll("badEventResult"), 0u) << "an event got something other than 0, 1 or 3";
    EXPECT_EQ(countAll("create"), countAll("destroy"));
    EXPECT_EQ(count("p", "create"), static_cast<size_t>(kCycles + 1));
}

TEST_F(RelayStress, APluginThatJoinsItsRaisingWorkerInStopIsStoppedWithinASecond) {
    // The worker is nearly always inside a database call or waiting for the
    // app lock when stop() arrives and joins it.
    std::string databases = "{ dll = " + configString(plugin("testdatabase")) +
                            "; id = \"slow\"; answer = 3; processDelayMs = 20; }";
    makeApp("{ name = \"j\"; id = \"p\"; type = \"PBX\"; dll = " +
            configString(plugin("testprotocol")) + "; workerEvents = -1; databases = ( " +
            databases + " ); }");
    ASSERT_EQ(initResult, 0);
    while (count("slow", "processRecord") < 3)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));

    auto stopped = std::async(std::launch::async, [this] {
        auto begin = std::chrono::steady_clock::now();
        app->stop();
        return std::chrono::steady_clock::now() - begin;
    });
    ASSERT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "deadlock";
    EXPECT_LT(stopped.get(), std::chrono::seconds(1));
    EXPECT_EQ(calls("p").back(), "destroy");
    for (const auto& result : TestJournal::callsOf("p", "eventResult"))
        EXPECT_EQ(result.detail, "3");
}
