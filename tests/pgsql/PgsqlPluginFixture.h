// The pgsql plug-in loaded through the real loading path and driven
// directly, as the host's relay does (from any thread), with its log lines
// collected, against a real PostgreSQL server the test starts.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <libconfig.h++>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../host/AppFixture.h"
#include "PgServer.h"
#include "common/Record.h"
#include "loader/loadPlugin.h"
#include "plugin/CDatabasePlugin.h"
#include "plugin/PluginExtension.h"

class PgsqlPluginFixture : public ::testing::Test {
protected:
    ~PgsqlPluginFixture() override {
        if (HasFailure())
            for (const auto& line : lines.lines()) std::printf("plug-in: %s\n", line.c_str());
        for (CDatabasePlugin* plugin : plugins_) {
            plugin->stop();
            delete plugin;
        }
    }

    // A pgsql plug-in whose lines go to `lines`; owned by the fixture.
    CDatabasePlugin* load() {
        auto* plugin = static_cast<CDatabasePlugin*>(
            loadPlugin(testing_support::pluginFile("pgsql").c_str(), "database"));
        if (plugin == nullptr) {
            ADD_FAILURE() << "the pgsql plug-in does not load";
            return nullptr;
        }
        plugin->getLog()->addStream(&lines);
        plugins_.push_back(plugin);
        return plugin;
    }
    // start() with `keys` as its databases element (under a service group
    // named "PgsqlTest").
    int start(CDatabasePlugin* plugin, const std::string& keys) {
        configs_.push_back(std::make_unique<libconfig::Config>());
        configs_.back()->readString("PgsqlTest = { db = { " + keys + " }; };");
        return plugin->start(configs_.back()->lookup("PgsqlTest.db"));
    }
    std::string spoolKeys(const std::string& conninfo, const std::string& spool) {
        return "conninfo = " + configString(conninfo) + "; spool = " + configString(spool) + ";";
    }
    // What processRecord answers for "N=n", as a sender would read it.
    static std::string send(CDatabasePlugin* plugin, const std::string& entries) {
        Record record;
        fillRecord(record, entries);
        return answerOf(plugin->processRecord(0, &record), record);
    }
    // What processBatch answers for each of `entries`, given all at once
    // as the host gives a pipelining sender's records.
    static std::vector<std::string> sendBatch(CDatabasePlugin* plugin,
                                              const std::vector<std::string>& entries) {
        const OstraExtension* extension =
            pluginExtension(testing_support::pluginFile("pgsql").c_str());
        if (extension == nullptr || extension->version < 2 || !extension->processBatch) {
            ADD_FAILURE() << "the pgsql plug-in takes no batches";
            return {};
        }
        std::vector<Record> records(entries.size());
        std::vector<Record*> given;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            fillRecord(records[i], entries[i]);
            given.push_back(&records[i]);
        }
        std::vector<int> results(entries.size(), -1);
        extension->processBatch(plugin, 0, given.data(), results.data(),
                                static_cast<int>(given.size()));
        std::vector<std::string> answers;
        for (std::size_t i = 0; i < entries.size(); ++i)
            answers.push_back(answerOf(results[i], records[i]));
        return answers;
    }
    bool logHas(const std::string& text) {
        for (const auto& line : lines.lines())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }
    int linesWith(const std::string& text) {
        int count = 0;
        for (const auto& line : lines.lines())
            if (line.find(text) != std::string::npos) ++count;
        return count;
    }

    PgServer server;
    testing_support::ScratchDir scratch;
    CollectingStream lines;

private:
    static void fillRecord(Record& record, const std::string& entries) {
        std::size_t start = 0;
        while (start < entries.size()) {
            std::size_t end = entries.find(';', start);
            if (end == std::string::npos) end = entries.size();
            std::string entry = entries.substr(start, end - start);
            std::size_t equals = entry.find('=');
            record.set(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str());
            start = end + 1;
        }
    }
    static std::string answerOf(int result, const Record& record) {
        std::string answer = std::to_string(result);
        for (const char* key : {"ROW_ID", "SPOOLED", "FOUND", "COUNT", "REASON"})
            if (record.get(key)[0] != '\0')
                answer += std::string(";") + key + "=" + record.get(key);
        return answer;
    }

    std::vector<std::unique_ptr<libconfig::Config>> configs_;
    std::vector<CDatabasePlugin*> plugins_;
};
