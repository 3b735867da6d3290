// The real executable, copied with its libraries and the test plug-ins into
// a scratch folder of its own, as an operator would install it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "TestSupport.h"

class ExecutableFixture : public ::testing::Test {
protected:
    ExecutableFixture() {
        namespace fs = std::filesystem;
        for (const auto& file : fs::directory_iterator(testing_support::binaryDir())) {
            // The unversioned links are for the linker only; nothing is shipped with them.
            if (file.is_symlink()) continue;
            std::string extension = file.path().extension().string();
            bool versionedLibrary =
                file.path().filename().string().find(".so.") != std::string::npos;
            if (extension == ".so" || extension == ".dll" || versionedLibrary ||
                file.path().filename() == executableName())
                fs::copy_file(file.path(), dir.path() / file.path().filename());
        }
    }

    static std::string executableName() { return std::string("OstraService") + OSTRA_EXE_SUFFIX; }
    std::string executable() const { return dir.file(executableName()); }
    std::string configPath(const std::string& service = "OstraService") const {
        return dir.file(service + ".cfg");
    }
    void writeConfig(const std::string& body, const std::string& service = "OstraService") {
        testing_support::writeFile(configPath(service), service + ": { " + body + " };\n");
    }
    std::string configString(const std::string& text) const {
        std::string result = "\"";
        for (char c : text) {
            if (c == '\\' || c == '"') result += '\\';
            result += c;
        }
        return result + "\"";
    }
    // The settings every test needs besides its own: a control plug-in and one protocol.
    std::string basics() const {
        std::string suffix = OSTRA_PLUGIN_SUFFIX;
        return "wakeupwait = 1; control = { dll = \"testcontrol" + suffix +
               "\"; }; protocols = ( { name = \"p1\"; type = \"PBX\"; dll = \"testprotocol" +
               suffix + "\"; databases = ( { dll = \"testdatabase" + suffix + "\"; } ); } );";
    }

    struct Result {
        std::optional<int> exitCode;
        std::string output;  // line ends as "\n"
    };
    Result run(const std::vector<std::string>& arguments, const std::string& input = "") {
        testing_support::ChildProcess process(executable(), arguments, dir.path().string());
        process.writeInput(input);
        process.closeInput();
        Result result;
        result.exitCode = process.wait(std::chrono::seconds(60));
        result.output = withoutCarriageReturns(process.output());
        return result;
    }
    static std::string withoutCarriageReturns(std::string text) {
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        return text;
    }

    // The text part of each line of a log file (after "file:line ").
    std::vector<std::string> logTexts(const std::string& path) const {
        std::vector<std::string> texts;
        for (const auto& line : testing_support::readLines(path)) {
            size_t source = line.find(" OstraService:");
            size_t text =
                source == std::string::npos ? std::string::npos : line.find(' ', source + 1);
            texts.push_back(text == std::string::npos ? line : line.substr(text + 1));
        }
        return texts;
    }
    bool logHas(const std::string& path, const std::string& text, size_t times = 1) const {
        size_t seen = 0;
        for (const auto& t : logTexts(path)) seen += t == text;
        return seen >= times;
    }

    // Polls the log file until `text` is in it `times` times, or a minute passes.
    bool waitForLog(const std::string& log, const std::string& text, size_t times = 1) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (!logHas(log, text, times)) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    testing_support::ScratchDir dir;
};
