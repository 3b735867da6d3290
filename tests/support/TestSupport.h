// Helpers shared by the tests: plug-in file names, scratch folders, files.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// The file name of a test plug-in library as the configuration names it,
// e.g. "testprotocol.so" or "testprotocol.dll".
std::string pluginFile(const std::string& name);

// The folder of the running test executable (where the plug-ins are built).
std::filesystem::path binaryDir();

// A fresh folder, removed with everything in it when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Copies `from` to `to` the way an installer should put a library in place
// that a running host may load at any moment: whole, by renaming a full
// copy (a library mapped while still being copied can crash the loader).
void installFile(const std::filesystem::path& from, const std::filesystem::path& to);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
// The file's lines without their line ends ("\n" or "\r\n").
std::vector<std::string> readLines(const std::string& path);

}  // namespace testing_support

// Polls `done` until it holds or `limit` passes; returns whether it held.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
