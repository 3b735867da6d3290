// A scriptable protocol plug-in (see TestPluginCore.h for its keys).
#include <libconfig.h++>

#include "TestPluginCore.h"
#include "plugin/CProtocolPlugin.h"
#include "plugin/PluginExport.h"

namespace {

class TestProtocol : public CProtocolPlugin {
public:
    TestProtocol() : core_("protocol", static_cast<CProtocolPlugin*>(this)) {}
    ~TestProtocol() override { core_.stop(); }

    void stop() override {
        core_.note("stop");
        core_.stop();
        core_.maybeThrow("stop");
    }
    int start(Setting& entry) override { return core_.start(entry); }
    void setCallback(EventProc proc, void* context) override { core_.setCallback(proc, context); }
    int processRecord(int tag, Record* record) override { return core_.processRecord(tag, record); }
    CLog* getLog() override {
        core_.note("getLog");
        return &core_.log();
    }
    bool isRunning() override {
        core_.note("isRunning");
        core_.maybeThrow("isRunning");
        return core_.isRunning();
    }

    void noteFactory(const char* dllName) { core_.note("factory", dllName ? dllName : ""); }

private:
    TestPluginCore core_;
};

}  // namespace

// Built once more without the marker, as plug-ins made before it existed.
#ifndef TEST_PLUGIN_UNMARKED
OSTRA_PLUGIN_KIND(protocol)
#endif

OSTRA_PLUGIN_FACTORY {
    auto* plugin = new TestProtocol;
    plugin->noteFactory(dllName);
    return static_cast<CProtocolPlugin*>(plugin);
}
