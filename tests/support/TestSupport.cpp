#include "TestSupport.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/paths.h"

namespace testing_support {

std::string pluginFile(const std::string& name) { return name + OSTRA_PLUGIN_SUFFIX; }

std::filesystem::path binaryDir() { return std::filesystem::path(ostra::executableDirectory()); }

ScratchDir::ScratchDir() {
    static std::atomic<int> counter{0};
    std::random_device random;
    auto base = std::filesystem::temp_directory_path();
    do {
        path_ = base / ("ostra-test-" + std::to_string(random()) + "-" + std::to_string(++counter));
    } while (!std::filesystem::create_directory(path_));
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void installFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::filesystem::path part = to;
    part += ".part";
    std::filesystem::copy_file(from, part, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::rename(part, to);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

}  // namespace testing_support
