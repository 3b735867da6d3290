// A scriptable control plug-in (see TestPluginCore.h for its keys). It
// journals every answer and every log line it receives.
#include <libconfig.h++>

#include "TestPluginCore.h"
#include "common/Record.h"
#include "plugin/CControlPlugin.h"
#include "plugin/PluginExport.h"

namespace {

class TestControl : public CControlPlugin {
public:
    TestControl() : core_("control", static_cast<CControlPlugin*>(this)) {}
    ~TestControl() override { core_.stop(); }

    int processRecord(int tag, Record* record) override {
        // How deep answers nest on this thread: a request raised from inside
        // an answer that is answered at once comes back in here.
        static thread_local int depth = 0;
        ++depth;
        core_.note("processRecord",
                   "tag=" + std::to_string(tag) + " " + TestJournal::describe(*record));
        core_.note("answerDepth", std::to_string(depth));
        if (core_.requestOnAnswer()) core_.raiseLogRequest();
        --depth;
        return 0;
    }
    int processLog(Record* record) override {
        core_.raiseLogRequest();
        core_.maybeThrow("processLog");
        if (core_.quietLogs()) return 0;
        core_.note("processLog", std::string(record->get("CMD")) + " " + record->get("LOG_LINE"));
        return 0;
    }
    void setCallback(EventProc proc, void* context) override { core_.setCallback(proc, context); }
    int start(Setting& group) override { return core_.start(group); }
    void stop() override {
        core_.note("stop");
        core_.stop();
        core_.maybeThrow("stop");
    }

    void noteFactory(const char* dllName) { core_.note("factory", dllName ? dllName : ""); }

private:
    TestPluginCore core_;
};

}  // namespace

// Built once more without the marker, as plug-ins made before it existed.
#ifndef TEST_PLUGIN_UNMARKED
OSTRA_PLUGIN_KIND(control)
#endif

OSTRA_PLUGIN_FACTORY {
    auto* plugin = new TestControl;
    plugin->noteFactory(dllName);
    return static_cast<CControlPlugin*>(plugin);
}
