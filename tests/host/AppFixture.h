// A protocol application under test: a real configuration file in a
// scratch folder, the real test plug-ins, and a host log whose lines the
// test reads.
#pragma once

#include <gtest/gtest.h>

#include <libconfig.h++>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "OstraService/ProtocolApp.h"
#include "TestJournal.h"
#include "TestSupport.h"
#include "common/log/CLog.h"

// Keeps every line it is given; safe to read while logs write.
class CollectingStream : public logstream {
public:
    bool write(std::string line) override {
        std::lock_guard<std::mutex> guard(lock_);
        lines_.push_back(std::move(line));
        return true;
    }
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> guard(lock_);
        return lines_;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(lock_);
        lines_.clear();
    }

private:
    std::mutex lock_;
    std::vector<std::string> lines_;
};

// `text` as a string of the configuration language (Windows paths hold
// backslashes, which the language reads as escapes).
inline std::string configString(const std::string& text) {
    std::string result = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') result += '\\';
        result += c;
    }
    return result + "\"";
}

class AppFixture : public ::testing::Test {
protected:
    AppFixture() {
        TestJournal::clear();
        hostLog.addStream(&hostLines);  // no formatter: a line is the text alone
    }

    static std::string plugin(const char* name) { return testing_support::pluginFile(name); }

    // Writes `protocols` (the text of the list's entries) into a
    // configuration file, reads it, and returns entry `index`.
    libconfig::Setting& entry(const std::string& protocols, int index = 0) {
        std::string path = scratch.file("OstraService.cfg");
        testing_support::writeFile(path, "OstraService: { protocols = ( " + protocols + " ); };\n");
        config.readFile(path.c_str());
        return config.lookup("OstraService.protocols")[index];
    }

    // init() on a new app with `protocols` entry `index`.
    CProtocolApp& makeApp(const std::string& protocols, int index = 0) {
        app = std::make_unique<CProtocolApp>();
        initResult = app->init(hostLog, entry(protocols, index));
        return *app;
    }

    std::vector<std::string> calls(const std::string& who) {
        std::vector<std::string> result;
        for (const auto& e : TestJournal::entriesOf(who)) result.push_back(e.call);
        return result;
    }
    size_t count(const std::string& who, const std::string& call) {
        return TestJournal::callsOf(who, call).size();
    }
    size_t countAll(const std::string& call) {
        size_t n = 0;
        for (const auto& e : TestJournal::entries()) n += e.call == call;
        return n;
    }

    testing_support::ScratchDir scratch;
    libconfig::Config config;
    CollectingStream hostLines;
    CLog hostLog;
    std::unique_ptr<CProtocolApp> app;
    int initResult = 0;
};
