#include <gtest/gtest.h>

#include "OstraService/LogSetup.h"
#include "OstraService/ServiceHost.h"
#include "TestSupport.h"
#include "platform/paths.h"

namespace {

struct SetUpResult {
    int size;
    int rotate;
};

SetUpResult setUpWith(const std::string& entry) {
    testing_support::ScratchDir dir;
    libconfig::Config config;
    config.readString("Kasa: { logs = ( { type = \"FILE\"; path = \"" + dir.path().string() +
                      "\"; " + entry + " } ); };");
    CServiceHost host;
    host.setName("Kasa");
    setUpLog(host, config, "Kasa", "Kasa.cfg");
    return {host.getLogMaxSize(), host.getLogRotate()};
}

}  // namespace

TEST(LogSetup, SizeAndRotateAreTakenInEveryIntegerFormAndDefaultOtherwise) {
    EXPECT_EQ(setUpWith("size = 8; rotate = 3;").size, 8)
        << "a plain integer (refused as long on LP64)";
    EXPECT_EQ(setUpWith("size = 8; rotate = 3;").rotate, 3);
    EXPECT_EQ(setUpWith("size = 8L;").size, 8);
    EXPECT_EQ(setUpWith("size = 0;").size, 0) << "0 is passed on: no limit";
    EXPECT_EQ(setUpWith("size = \"big\";").size, 512);
    EXPECT_EQ(setUpWith("").size, 512);
    EXPECT_EQ(setUpWith("rotate = \"many\";").rotate, 7);
}

TEST(LogSetup, TheFileIsTheServiceNameInPathWithOrWithoutTheSeparator) {
    std::string sep(1, ostra::kPathSeparator);
    EXPECT_EQ(logFilePath("logs", "Kasa"), "logs" + sep + "Kasa.log");
    EXPECT_EQ(logFilePath("logs" + sep, "Kasa"), "logs" + sep + "Kasa.log");
    EXPECT_EQ(logFilePath("", "Kasa"), ostra::executableDirectory() + sep + "Kasa.log");
}
