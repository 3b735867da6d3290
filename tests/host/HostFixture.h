// A service host under test, in-process: a configuration file beside the
// test executable under a service name of the test's own, the real test
// plug-ins, and the host's log lines collected.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "AppFixture.h"
#include "OstraService/ServiceHost.h"
#include "common/Record.h"

class HostFixture : public ::testing::Test {
protected:
    HostFixture()
        : serviceName(std::string("T_") +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name()),
          configPath((testing_support::binaryDir() / (serviceName + ".cfg")).string()) {
        TestJournal::clear();
        host.setName(serviceName.c_str());
        host.getLog(nullptr)->addStream(&hostLines);
    }
    ~HostFixture() override {
        if (runner.joinable()) {
            host.requestStop();
            runner.join();
        }
        std::error_code ignored;
        std::filesystem::remove(configPath, ignored);
    }

    static std::string plugin(const char* name) { return testing_support::pluginFile(name); }
    static std::string controlGroup(const std::string& keys = "") {
        return "control = { dll = " + configString(plugin("testcontrol")) + "; id = \"ctl\"; " +
               keys + " };";
    }
    // A protocols entry named `name` with protocol id `id` and one database.
    static std::string protocol(const std::string& name, const std::string& id,
                                const std::string& keys = "", const std::string& dbKeys = "") {
        return "{ name = " + configString(name) + "; id = " + configString(id) +
               "; type = \"PBX\"; dll = " + configString(plugin("testprotocol")) + "; " + keys +
               " databases = ( { dll = " + configString(plugin("testdatabase")) +
               "; id = " + configString(id + "db") + "; " + dbKeys + " } ); }";
    }

    void writeConfig(const std::string& settings) {
        testing_support::writeFile(configPath, serviceName + ": { " + settings + " };\n");
    }

    // serve(false, 'S') on its own thread, as the service library would.
    void startServing() {
        runner = std::thread([this] { host.serve(false, 'S'); });
    }
    bool waitForLine(const std::string& line) {
        return eventually([&] { return hasLine(line); });
    }
    bool hasLine(const std::string& line) {
        for (const auto& l : hostLines.lines())
            if (l == line) return true;
        return false;
    }
    void stopServing() {
        host.requestStop();
        runner.join();
    }

    // A request from the control plug-in, raised on a thread of its own.
    int request(Record& record, int tag = 0) {
        int result = -1;
        std::thread([&] {
            TestPluginHandle* control = TestJournal::find("ctl");
            result = control ? control->raise(tag, &record) : -100;
        }).join();
        return result;
    }
    int request(const char* command, const char* type = nullptr, int tag = 0) {
        Record record;
        record.set("CMD", command);
        if (type) record.set("TYPE", type);
        return request(record, tag);
    }

    size_t count(const std::string& who, const std::string& call) {
        return TestJournal::callsOf(who, call).size();
    }
    std::vector<std::string> answers() {
        std::vector<std::string> result;
        for (const auto& e : TestJournal::callsOf("ctl", "processRecord"))
            result.push_back(e.detail);
        return result;
    }

    std::string serviceName;
    std::string configPath;
    CollectingStream hostLines;
    CServiceHost host;
    std::thread runner;
};
