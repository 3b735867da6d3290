#include <gtest/gtest.h>

#include "OstraService/ConfigFile.h"
#include "TestSupport.h"
#include "platform/paths.h"

using testing_support::ScratchDir;

TEST(ConfigFile, LiesBesideTheExecutableNamedAfterTheService) {
    std::string expected = ostra::executableDirectory() + ostra::kPathSeparator + "Kasa.cfg";
    EXPECT_EQ(config_file::pathFor("Kasa"), expected);
    EXPECT_EQ(config_file::settingPath("Kasa", "protocols"), "Kasa.protocols");
}

TEST(ConfigFile, SettingsAreLookedUpInsideTheGroupNamedAfterTheService) {
    ScratchDir dir;
    std::string path = dir.file("Kasa.cfg");
    testing_support::writeFile(path,
                               "Kasa: { wakeupwait = 3; protocols = ( { name = \"a\"; }, { name = \"b\"; } ); };\n"
                               "OstraService: { wakeupwait = 9; };\n");
    libconfig::Config config;
    std::string message;
    ASSERT_EQ(config_file::read(config, path, message), config_file::ReadResult::kRead);
    int wakeUpWait = 0;
    EXPECT_TRUE(config.lookupValue(config_file::settingPath("Kasa", "wakeupwait"), wakeUpWait));
    EXPECT_EQ(wakeUpWait, 3);

    // Lists are walked by index until the next lookup fails.
    libconfig::Setting& protocols = config.lookup(config_file::settingPath("Kasa", "protocols"));
    std::vector<std::string> names;
    try {
        for (int i = 0;; ++i) names.push_back(static_cast<const char*>(protocols[i]["name"]));
    } catch (const libconfig::SettingNotFoundException&) {
    }
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
}

TEST(ConfigFile, AMissingFileIsToldApartFromAMalformedOne) {
    ScratchDir dir;
    libconfig::Config config;
    std::string message;
    std::string missing = dir.file("OstraService.cfg");
    EXPECT_EQ(config_file::read(config, missing, message), config_file::ReadResult::kUnreadable);
    EXPECT_EQ(message, "Neuspelo čitanje konfiguracijske datoteke " + missing);

    std::string broken = dir.file("Broken.cfg");
    testing_support::writeFile(broken, "Broken: { protocols = ( ; };\n");
    libconfig::Config other;
    EXPECT_EQ(config_file::read(other, broken, message), config_file::ReadResult::kMalformed);
    EXPECT_EQ(message, "Konfiguracijska datoteka " + broken + " nije ispravna, greška: syntax error");
}
