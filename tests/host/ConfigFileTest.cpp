#include <gtest/gtest.h>

#include <filesystem>
#include <utility>

#include "OstraService/ConfigFile.h"
#include "TestSupport.h"
#include "platform/paths.h"

using testing_support::ScratchDir;

namespace {
// Runs a test from a scratch folder of its own.
class ElsewhereFolder {
public:
    ElsewhereFolder() : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(scratch_.path());
    }
    ~ElsewhereFolder() { std::filesystem::current_path(previous_); }

private:
    ScratchDir scratch_;
    std::filesystem::path previous_;
};
}  // namespace

TEST(ConfigFile, LiesBesideTheExecutableNamedAfterTheService) {
    std::string expected = ostra::executableDirectory() + ostra::kPathSeparator + "Kasa.cfg";
    EXPECT_EQ(config_file::pathFor("Kasa"), expected);
    EXPECT_EQ(config_file::settingPath("Kasa", "protocols"), "Kasa.protocols");
}

TEST(ConfigFile, SettingsAreLookedUpInsideTheGroupNamedAfterTheService) {
    ScratchDir dir;
    std::string path = dir.file("Kasa.cfg");
    testing_support::writeFile(
        path,
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
    EXPECT_EQ(message,
              "Konfiguracijska datoteka " + broken + " nije ispravna, greška: syntax error");
}

TEST(ConfigFile, IncludesResolveBesideTheIncludingFileAndNest) {
    ScratchDir dir;
    std::filesystem::create_directory(dir.path() / "parts");
    testing_support::writeFile(dir.file("Kasa.cfg"),
                               "Kasa: {\n  @include \"parts/a.cfg\"\n  last = 3;\n};\n");
    testing_support::writeFile((dir.path() / "parts" / "a.cfg").string(),
                               "first = 1;\n@include \"b.cfg\" \n");
    testing_support::writeFile((dir.path() / "parts" / "b.cfg").string(), "second = 2;");
    ElsewhereFolder elsewhere;  // the current folder plays no part
    libconfig::Config config;
    std::string message;
    ASSERT_EQ(config_file::read(config, dir.file("Kasa.cfg"), message),
              config_file::ReadResult::kRead)
        << message;
    int first = 0, second = 0, last = 0;
    EXPECT_TRUE(config.lookupValue("Kasa.first", first));
    EXPECT_TRUE(config.lookupValue("Kasa.second", second));
    EXPECT_TRUE(config.lookupValue("Kasa.last", last));
    EXPECT_EQ(first + second + last, 6);
}

TEST(ConfigFile, AnIncludeThatCannotBeReadIsAMalformedFileNamingTheInclude) {
    ScratchDir dir;
    std::filesystem::create_directory(dir.path() / "folder");
    const std::string path = dir.file("Kasa.cfg");
    const std::string folder = dir.path().string();
    const std::pair<std::string, std::string> cases[] = {
        {".", "cannot open include file " + ostra::joinPath(folder, ".") + " (a folder)"},
        {"folder", "cannot open include file " + ostra::joinPath(folder, "folder") + " (a folder)"},
        {"missing.cfg",
         "cannot open include file " + ostra::joinPath(folder, "missing.cfg") + " (not found)"},
        {"Kasa.cfg", "include file nesting too deep: Kasa.cfg"},
    };
    for (const auto& [name, error] : cases) {
        testing_support::writeFile(path, "Kasa: {\n@include \"" + name + "\"\n};\n");
        libconfig::Config config;
        std::string message;
        EXPECT_EQ(config_file::read(config, path, message), config_file::ReadResult::kMalformed)
            << name;
        EXPECT_EQ(message, "Konfiguracijska datoteka " + path + " nije ispravna, greška: " + error);
    }
}

TEST(ConfigFile, ADirectiveInsideACommentOrAStringIsNotResolved) {
    ScratchDir dir;
    const std::string path = dir.file("Kasa.cfg");
    const std::string hidden[] = {
        "/* old:\n@include \"old-settings.cfg\"\n*/\n",
        "# @include \"old-settings.cfg\"\n",
        "// @include \"old-settings.cfg\"\n",
        // A comment opener inside a line comment or a string opens nothing.
        "# /*\n",
        "s = \"not /* a comment\";\n",
        "note = \"first line\n@include \\\"old-settings.cfg\\\"\nlast line\";\n",
    };
    for (const std::string& text : hidden) {
        testing_support::writeFile(path, "Kasa: {\n" + text + "a = 1;\n};\n");
        libconfig::Config config;
        std::string message;
        EXPECT_EQ(config_file::read(config, path, message), config_file::ReadResult::kRead)
            << text << message;
        int a = 0;
        EXPECT_TRUE(config.lookupValue("Kasa.a", a)) << text;
    }
    libconfig::Config config;
    std::string message;
    config_file::read(config, path, message);
    EXPECT_EQ(std::string(config.lookup("Kasa.note").c_str()),
              "first line\n@include \"old-settings.cfg\"\nlast line");

    // After a comment has closed, a directive counts again.
    testing_support::writeFile(path, "Kasa: {\n/* x\n*/\n@include \"old-settings.cfg\"\n};\n");
    EXPECT_EQ(config_file::read(config, path, message), config_file::ReadResult::kMalformed);
}

TEST(ConfigFile, ANulByteMakesTheFileMalformedWhereverItIs) {
    ScratchDir dir;
    const std::string path = dir.file("Kasa.cfg");
    const std::string head = "Kasa: { a = 1; };\n";
    testing_support::writeFile(path, head + std::string("\n\0 garbage ((", 13));
    libconfig::Config config;
    std::string message;
    EXPECT_EQ(config_file::read(config, path, message), config_file::ReadResult::kMalformed);
    EXPECT_EQ(message,
              "Konfiguracijska datoteka " + path + " nije ispravna, greška: a NUL byte on line 3");

    testing_support::writeFile(dir.file("part.cfg"), std::string("b = 2;\0", 7));
    testing_support::writeFile(path, "Kasa: {\n@include \"part.cfg\"\n};\n");
    EXPECT_EQ(config_file::read(config, path, message), config_file::ReadResult::kMalformed);
    EXPECT_EQ(message, "Konfiguracijska datoteka " + path +
                           " nije ispravna, greška: a NUL byte on line 1 of " +
                           ostra::joinPath(dir.path().string(), "part.cfg"));
}
