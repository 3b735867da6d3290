#include <gtest/gtest.h>

#include <filesystem>

#include "TestJournal.h"
#include "TestSupport.h"
#include "loader/loadPlugin.h"
#include "plugin/CControlPlugin.h"
#include "plugin/CDatabasePlugin.h"
#include "plugin/CProtocolPlugin.h"

namespace fs = std::filesystem;
using testing_support::pluginFile;

namespace {

// Runs the test from another folder, so that only the search beside the
// executable can find a bare name.
class ElsewhereDir {
public:
    ElsewhereDir() : previous_(fs::current_path()) { fs::current_path(scratch_.path()); }
    ~ElsewhereDir() { fs::current_path(previous_); }

private:
    testing_support::ScratchDir scratch_;
    fs::path previous_;
};

}  // namespace

TEST(LoadPlugin, AMissingFileGivesNull) {
    EXPECT_EQ(loadPlugin(pluginFile("doesnotexist").c_str()), nullptr);
    EXPECT_EQ(loadPlugin((testing_support::binaryDir() / "nothere.dll").string().c_str()), nullptr);
    EXPECT_EQ(loadPlugin(""), nullptr);
    EXPECT_EQ(loadPlugin(nullptr), nullptr);
}

TEST(LoadPlugin, ALibraryWithoutTheFactoryExportGivesNull) {
    EXPECT_EQ(loadPlugin(pluginFile("noexport").c_str()), nullptr);
    EXPECT_EQ(loadPlugin(pluginFile("noexport").c_str()), nullptr)
        << "a second load is no different";
}

TEST(LoadPlugin, AFactoryThatReturnsNullGivesNull) {
    EXPECT_EQ(loadPlugin(pluginFile("nullfactory").c_str()), nullptr);
}

TEST(LoadPlugin, TwoLoadsOfTheSameNameGiveTwoObjectsEachMadeWithThatName) {
    TestJournal::clear();
    std::string name = pluginFile("testprotocol");
    auto* first = static_cast<CProtocolPlugin*>(loadPlugin(name.c_str()));
    auto* second = static_cast<CProtocolPlugin*>(loadPlugin(name.c_str()));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_NE(first->getLog(), second->getLog());

    int factories = 0;
    for (const auto& entry : TestJournal::entries()) {
        if (entry.call == "factory") {
            ++factories;
            EXPECT_EQ(entry.detail, name);
        }
    }
    EXPECT_EQ(factories, 2);
    delete first;
    delete second;
}

TEST(LoadPlugin, ABareNameIsFoundBesideTheExecutableFromAnyCurrentFolder) {
    ElsewhereDir elsewhere;
    auto* plugin = static_cast<CProtocolPlugin*>(loadPlugin(pluginFile("testprotocol").c_str()));
    ASSERT_NE(plugin, nullptr);
    delete plugin;
}

TEST(LoadPlugin, ANameWithADirectoryIsUsedAsGiven) {
    ElsewhereDir elsewhere;
    fs::path full = testing_support::binaryDir() / pluginFile("testdatabase");
    void* plugin = loadPlugin(full.string().c_str());
    ASSERT_NE(plugin, nullptr);
    delete static_cast<CDatabasePlugin*>(plugin);

    fs::path relative = fs::path("nowhere") / pluginFile("testdatabase");
    EXPECT_EQ(loadPlugin(relative.string().c_str()), nullptr);
}

TEST(LoadPlugin,
     ALibraryOfAnotherKindIsRefusedBeforeItsFactoryRunsAndOneWithoutAKindIsAskedForItsObject) {
    TestJournal::clear();
    EXPECT_EQ(loadPlugin(pluginFile("testdatabase").c_str(), "protocol"), nullptr);
    EXPECT_EQ(lastPluginLoadError(), PluginLoadError::kWrongKind);
    EXPECT_EQ(lastPluginLoadFailure(), "it is a database plug-in, not a protocol plug-in");
    EXPECT_TRUE(TestJournal::entries().empty()) << "the factory was called";

    auto* database =
        static_cast<CDatabasePlugin*>(loadPlugin(pluginFile("testdatabase").c_str(), "database"));
    EXPECT_NE(database, nullptr);
    EXPECT_EQ(lastPluginLoadError(), PluginLoadError::kNone);
    delete database;

    // nullfactory says no kind: it is asked, and its own failure is what is reported.
    EXPECT_EQ(loadPlugin(pluginFile("nullfactory").c_str(), "protocol"), nullptr);
    EXPECT_EQ(lastPluginLoadError(), PluginLoadError::kNoObject);
}

TEST(LoadPlugin, AnUnmarkedLibraryIsToldByItsObjectsTypeAndRefusedInEveryWrongPlace) {
    // Before, a database library named as a protocol was called through the
    // wrong interface and the host crashed.
    const char* const kinds[] = {"control", "protocol", "database"};
    for (const char* made : kinds) {
        std::string library = pluginFile(std::string("unmarked") + made);
        for (const char* asked : kinds) {
            void* plugin = loadPlugin(library.c_str(), asked);
            if (std::string(made) == asked) {
                EXPECT_NE(plugin, nullptr)
                    << made << " as " << asked << ": " << lastPluginLoadFailure();
                EXPECT_EQ(lastPluginLoadError(), PluginLoadError::kNone);
            } else {
                EXPECT_EQ(plugin, nullptr) << made << " as " << asked;
                EXPECT_EQ(lastPluginLoadError(), PluginLoadError::kWrongKind);
                EXPECT_EQ(lastPluginLoadFailure(),
                          std::string("it is a ") + made + " plug-in, not a " + asked + " plug-in");
            }
            if (plugin == nullptr) continue;
            if (std::string(asked) == "database") delete static_cast<CDatabasePlugin*>(plugin);
            if (std::string(asked) == "protocol") delete static_cast<CProtocolPlugin*>(plugin);
            if (std::string(asked) == "control") delete static_cast<CControlPlugin*>(plugin);
        }
    }
}

TEST(LoadPlugin, ALibraryRefusedForItsKindIsNotAskedAgainForThatKind) {
    TestJournal::clear();
    std::string firstWhy;
    for (int attempt = 0; attempt < 3; ++attempt) {
        EXPECT_EQ(loadPlugin(pluginFile("notaplugin").c_str(), "protocol"), nullptr);
        EXPECT_EQ(lastPluginLoadError(), PluginLoadError::kWrongKind);
        if (attempt == 0) firstWhy = lastPluginLoadFailure();
        EXPECT_EQ(lastPluginLoadFailure(), firstWhy) << "the same reason every time";
    }
    EXPECT_NE(firstWhy.find("is no plug-in, not a protocol plug-in"), std::string::npos)
        << firstWhy;
    // One object at most: an earlier test in this process may have been refused already.
    EXPECT_LE(TestJournal::entries().size(), 1u) << "its factory was asked again";

    // An object of another plug-in kind is destroyed by its own destructor, once.
    TestJournal::clear();
    for (int attempt = 0; attempt < 3; ++attempt)
        EXPECT_EQ(loadPlugin(pluginFile("unmarkeddatabase").c_str(), "protocol"), nullptr);
    size_t made = 0, destroyed = 0;
    for (const auto& entry : TestJournal::entries()) {
        made += entry.call == "factory";
        destroyed += entry.call == "destroy";
    }
    EXPECT_LE(made, 1u);
    EXPECT_EQ(destroyed, made);
    auto* database = static_cast<CDatabasePlugin*>(
        loadPlugin(pluginFile("unmarkeddatabase").c_str(), "database"));
    EXPECT_NE(database, nullptr) << "refused only where it does not belong";
    delete database;
}
