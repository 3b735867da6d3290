#include "TestJournal.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "common/Record.h"

namespace TestJournal {

namespace {

struct StoredEntry {
    int serial;
    JournalEntry entry;
};

struct State {
    std::mutex lock;
    int lastSerial = 0;
    std::vector<StoredEntry> stored;
    std::map<int, std::string> labels;
    std::map<std::string, TestPluginHandle*> plugins;
};

State& state() {
    static State* instance = new State;  // outlives every plug-in's destructor
    return *instance;
}

std::string labelOf(State& s, int serial) {
    auto found = s.labels.find(serial);
    return found != s.labels.end() ? found->second : "#" + std::to_string(serial);
}

void mirrorToFile(const JournalEntry& entry) {
    const char* path = std::getenv("OSTRA_TEST_JOURNAL");
    if (path == nullptr || *path == '\0') return;
    if (FILE* file = std::fopen(path, "ab")) {
        std::fprintf(file, "%s %s %s %s\n", entry.who.c_str(), entry.kind.c_str(),
                     entry.call.c_str(), entry.detail.c_str());
        std::fclose(file);
    }
}

}  // namespace

int newSerial() {
    std::lock_guard<std::mutex> guard(state().lock);
    return ++state().lastSerial;
}

void add(int serial, const char* kind, const std::string& call, const std::string& detail) {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    s.stored.push_back({serial, {std::string(), kind, call, detail}});
    JournalEntry resolved = s.stored.back().entry;
    resolved.who = labelOf(s, serial);
    mirrorToFile(resolved);
}

void setLabel(int serial, const std::string& label) {
    std::lock_guard<std::mutex> guard(state().lock);
    state().labels[serial] = label;
}

std::vector<JournalEntry> entries() {
    State& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    std::vector<JournalEntry> result;
    result.reserve(s.stored.size());
    for (const auto& stored : s.stored) {
        result.push_back(stored.entry);
        result.back().who = labelOf(s, stored.serial);
    }
    return result;
}

std::vector<JournalEntry> entriesOf(const std::string& who) {
    std::vector<JournalEntry> result;
    for (auto& entry : entries())
        if (entry.who == who) result.push_back(entry);
    return result;
}

std::vector<JournalEntry> callsOf(const std::string& who, const std::string& call) {
    std::vector<JournalEntry> result;
    for (auto& entry : entriesOf(who))
        if (entry.call == call) result.push_back(entry);
    return result;
}

void clear() {
    std::lock_guard<std::mutex> guard(state().lock);
    state().stored.clear();
}

void registerPlugin(const std::string& label, TestPluginHandle* plugin) {
    std::lock_guard<std::mutex> guard(state().lock);
    state().plugins[label] = plugin;
}

void unregisterPlugin(TestPluginHandle* plugin) {
    std::lock_guard<std::mutex> guard(state().lock);
    auto& plugins = state().plugins;
    for (auto it = plugins.begin(); it != plugins.end();) {
        it = it->second == plugin ? plugins.erase(it) : std::next(it);
    }
}

TestPluginHandle* find(const std::string& label) {
    std::lock_guard<std::mutex> guard(state().lock);
    auto found = state().plugins.find(label);
    return found != state().plugins.end() ? found->second : nullptr;
}

std::string describe(const Record& record) {
    std::string text;
    for (int i = 0; i < record.count(); ++i) {
        if (i > 0) text += ",";
        text += record.keyAt(i);
        text += "=";
        text += record.valueAt(i);
    }
    return text;
}

}  // namespace TestJournal
