// A scriptable database plug-in (see TestPluginCore.h for its keys).
#include <libconfig.h++>

#include "TestPluginCore.h"
#include "plugin/CDatabasePlugin.h"
#include "plugin/PluginExport.h"

namespace {

class TestDatabase : public CDatabasePlugin {
public:
    TestDatabase() : core_("database", static_cast<CDatabasePlugin*>(this)) {}
    ~TestDatabase() override { core_.stop(); }

    int start(Setting& entry) override { return core_.start(entry); }
    void stop() override {
        core_.note("stop");
        core_.stop();
        core_.maybeThrow("stop");
    }
    void setCallback(EventProc proc, void* context) override { core_.setCallback(proc, context); }
    void setType(int typeCode) override { core_.note("setType", std::to_string(typeCode)); }
    bool isRunning() override {
        core_.note("isRunning");
        core_.maybeThrow("isRunning");
        return core_.isRunning();
    }
    int processRecord(int tag, Record* record) override { return core_.processRecord(tag, record); }
    CLog* getLog() override {
        core_.note("getLog");
        return &core_.log();
    }

    void noteFactory(const char* dllName) { core_.note("factory", dllName ? dllName : ""); }

private:
    TestPluginCore core_;
};

}  // namespace

// Built once more without the marker, as plug-ins made before it existed.
#ifndef TEST_PLUGIN_UNMARKED
OSTRA_PLUGIN_KIND(database)
#endif

OSTRA_PLUGIN_FACTORY {
    auto* plugin = new TestDatabase;
    plugin->noteFactory(dllName);
    return static_cast<CDatabasePlugin*>(plugin);
}
