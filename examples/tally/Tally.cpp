// A database plug-in that counts the records it is offered and tells each
// sender its number. It reads its own keys from its configuration entry:
//   databases = ( { dll = "tally.so"; label = "calls"; limit = 100; } );
// A record is answered 0 with "TALLY" set to "<label> <n>", or 1 once more
// than "limit" records came (0 or no "limit": no limit).
// It describes those keys to the host (kSettings below), so that `check`
// reports a mistyped or out-of-range one at its file and line.
#include <libconfig.h++>

#include <string>

#include "common/CSync.h"
#include "common/Record.h"
#include "common/log/CLog.h"
#include "plugin/CDatabasePlugin.h"
#include "plugin/PluginExport.h"
#include "plugin/PluginExtension.h"

class Tally : public CDatabasePlugin {
public:
    Tally() { InitializeCriticalSection(&lock_); }
    ~Tally() override { DeleteCriticalSection(&lock_); }

    int start(Setting& entry) override {
        // The configuration is read here and only here. A key left out keeps
        // its default; lookupValue returns false, changing nothing, for a key
        // of another type, and that refuses the start.
        std::string label = "tally";
        int limit = 0;
        if (!readKey(entry, "label", label) || !readKey(entry, "limit", limit)) return 1;
        CSync sync(&lock_);
        label_ = label;
        limit_ = limit;
        running_ = true;
        std::string text = "tally started: label " + label_ + ", limit " + std::to_string(limit_);
        log_.log(LOG_LEVEL_INFO, "tally", __LINE__, text.c_str());
        return 0;
    }
    void stop() override {
        CSync sync(&lock_);
        running_ = false;
    }
    void setCallback(EventProc, void*) override {}
    void setType(int) override {}
    bool isRunning() override {
        CSync sync(&lock_);
        return running_;
    }

    int processRecord(int tag, Record* record) override {
        CSync sync(&lock_);  // several protocol threads may call at once
        ++count_;
        if (limit_ > 0 && count_ > limit_) return 1;
        record->set("TALLY", (label_ + " " + std::to_string(count_)).c_str());
        return 0;
    }

    CLog* getLog() override { return &log_; }

private:
    // True when `key` is absent (`value` keeps its default) or was read.
    template <typename T>
    bool readKey(Setting& entry, const char* key, T& value) {
        if (!entry.exists(key) || entry.lookupValue(key, value)) return true;
        std::string text = std::string("tally: \"") + key + "\" has the wrong type";
        log_.log(LOG_LEVEL_ERROR, "tally", __LINE__, text.c_str());
        return false;
    }

    CRITICAL_SECTION lock_;
    CLog log_;
    std::string label_;
    int limit_ = 0;
    long count_ = 0;
    bool running_ = false;
};

// The keys start() reads: a key of the element not here (or "dll") is
// reported as unknown, a value outside its type or range as wrong.
static const OstraSetting kSettings[] = {
    {"label", OSTRA_SETTING_TEXT, 0, "tally", 0, -1, nullptr, "the word before each number"},
    {"limit", OSTRA_SETTING_INTEGER, 0, "0", 0, 2147483647, nullptr,
     "records answered before the rest are answered 1 (0: no limit)"},
    OSTRA_SETTINGS_END};

OSTRA_PLUGIN_EXTENSION(kSettings, nullptr, nullptr)

OSTRA_PLUGIN_KIND(database)

OSTRA_PLUGIN_FACTORY { return static_cast<CDatabasePlugin*>(new Tally); }
