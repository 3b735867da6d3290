// A database plug-in that numbers every record it is offered and logs it.
#include <atomic>
#include <string>

#include "common/Record.h"
#include "common/log/CLog.h"
#include "plugin/CDatabasePlugin.h"
#include "plugin/PluginExport.h"

class MinimalDatabase : public CDatabasePlugin {
public:
    int start(Setting& entry) override {
        running_ = true;
        return 0;  // 0: started; anything else refuses
    }
    void stop() override { running_ = false; }
    void setCallback(EventProc proc, void* context) override {}  // raises no records
    void setType(int typeCode) override { type_ = typeCode; }
    bool isRunning() override { return running_; }

    // Called on the protocol's threads, possibly several at once.
    int processRecord(int tag, Record* record) override {
        long number = ++count_;
        std::string text = "record " + std::to_string(number) + " of type " +
                           std::to_string(type_) + " with " + std::to_string(record->count()) +
                           " entries";
        log_.log(LOG_LEVEL_INFO, "minimal", __LINE__, text.c_str());
        record->set("NUMBER", std::to_string(number).c_str());  // the sender sees it
        return 0;  // 0 or 1: a final answer; 3: not mine, offer it on
    }

    CLog* getLog() override { return &log_; }  // the host points it at its log

private:
    CLog log_;
    std::atomic<bool> running_{false};
    std::atomic<int> type_{0};
    std::atomic<long> count_{0};
};

OSTRA_PLUGIN_KIND(database)

OSTRA_PLUGIN_FACTORY { return static_cast<CDatabasePlugin*>(new MinimalDatabase); }
