// Where Windows looks for a plug-in and for the libraries it needs.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <string>

#include "TestSupport.h"
#include "loader/loadPlugin.h"
#include "plugin/CDatabasePlugin.h"

namespace fs = std::filesystem;
using testing_support::binaryDir;
using testing_support::pluginFile;

namespace {

// The test runs in a scratch current folder of its own.
class WindowsSearch : public ::testing::Test {
protected:
    WindowsSearch() : previous_(fs::current_path()) { fs::current_path(scratch_.path()); }
    ~WindowsSearch() override { fs::current_path(previous_); }

    // needsdependency.dll needs libabsentdependency.dll, which is built
    // into this folder and put nowhere else.
    static fs::path dependencyFolder() { return binaryDir().parent_path() / "elsewhere"; }

    testing_support::ScratchDir scratch_;
    fs::path previous_;
};

// Whether the system loaded the library (needsdependency's factory then
// makes no object, which is no matter here).
bool loads(const std::string& name) {
    delete static_cast<CDatabasePlugin*>(loadPlugin(name.c_str(), "database"));
    return lastPluginLoadError() != PluginLoadError::kNotLoaded;
}

}  // namespace

TEST_F(WindowsSearch, ADependencyInAFolderOnPathIsFound) {
    ASSERT_FALSE(loads(pluginFile("needsdependency"))) << "found without PATH";

    std::string path = dependencyFolder().string() + ";" + std::getenv("PATH");
    ASSERT_TRUE(SetEnvironmentVariableA("PATH", path.c_str()));
    EXPECT_TRUE(loads(pluginFile("needsdependency"))) << lastPluginLoadFailure();
}

TEST_F(WindowsSearch, ALibraryPlantedInTheCurrentFolderIsNeverLoaded) {
    fs::copy_file(binaryDir() / pluginFile("testdatabase"), "planted.dll");
    fs::copy_file(dependencyFolder() / "libabsentdependency.dll", "libabsentdependency.dll");

    EXPECT_FALSE(loads("planted.dll"));
    EXPECT_FALSE(loads(pluginFile("needsdependency")))
        << "its dependency came from the current folder";
}

TEST_F(WindowsSearch, ARelativeNameWithAFolderIsTakenFromBesideTheExecutable) {
    // Put there once, and left: a loaded DLL cannot be deleted, and other
    // test processes may be loading it.
    fs::path folder = binaryDir() / "relative-plugins";
    fs::create_directories(folder);
    if (!fs::exists(folder / "relative.dll"))
        testing_support::installFile(binaryDir() / pluginFile("testdatabase"),
                                     folder / "relative.dll");
    fs::create_directories("relative-plugins");  // an empty look-alike in the current folder

    EXPECT_TRUE(loads("relative-plugins\\relative.dll")) << lastPluginLoadFailure();
    EXPECT_TRUE(loads("relative-plugins/relative.dll")) << lastPluginLoadFailure();
}
