// A scriptable database plug-in (see TestPluginCore.h for its keys).
//
// Built once more as "reportingdatabase", whose library exports a report
// (PluginExtension.h) journaled as "report" when it begins and "reported"
// when it ends, with keys of its own:
//   reportState   OK, DEGRADED or FAILING (default OK)
//   reportReason  the reason it gives
//   reportHangMs  how long each report takes (default 0)
//   reportQueue   the gauge test_queue_records it reports (default 0)
#include <libconfig.h++>

#include <chrono>
#include <thread>

#include "TestPluginCore.h"
#include "plugin/CDatabasePlugin.h"
#include "plugin/PluginExport.h"
#include "plugin/PluginExtension.h"

namespace {

class TestDatabase : public CDatabasePlugin {
public:
    TestDatabase() : core_("database", static_cast<CDatabasePlugin*>(this)) {}
    ~TestDatabase() override { core_.stop(); }

    int start(Setting& entry) override {
        std::string state = "OK";
        entry.lookupValue("reportState", state);
        reportState_ = state == "FAILING"    ? OSTRA_STATE_FAILING
                       : state == "DEGRADED" ? OSTRA_STATE_DEGRADED
                                             : OSTRA_STATE_OK;
        entry.lookupValue("reportReason", reportReason_);
        entry.lookupValue("reportHangMs", reportHangMs_);
        entry.lookupValue("reportQueue", reportQueue_);
        return core_.start(entry);
    }

    void report(const OstraReportSink* sink) {
        core_.note("report");
        if (reportHangMs_ > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(reportHangMs_));
        sink->state(sink->context, reportState_, reportReason_.c_str());
        sink->number(sink->context, "test_queue_records", OSTRA_NUMBER_GAUGE, reportQueue_,
                     "Records the test database holds.");
        sink->number(sink->context, "test_reports_total", OSTRA_NUMBER_COUNTER, ++reports_,
                     "Reports made.");
        core_.note("reported");
    }
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
    int reportState_ = OSTRA_STATE_OK;
    std::string reportReason_;
    int reportHangMs_ = 0;
    int reportQueue_ = 0;
    double reports_ = 0;  // the host never reports twice at once on one object
};

}  // namespace

// Built once more without the marker, as plug-ins made before it existed.
#ifndef TEST_PLUGIN_UNMARKED
OSTRA_PLUGIN_KIND(database)
#endif

#ifdef TEST_PLUGIN_REPORTS
static void reportTestDatabase(void* instance, const OstraReportSink* sink) {
    static_cast<TestDatabase*>(static_cast<CDatabasePlugin*>(instance))->report(sink);
}
OSTRA_PLUGIN_EXTENSION(nullptr, nullptr, reportTestDatabase)
#endif

OSTRA_PLUGIN_FACTORY {
    auto* plugin = new TestDatabase;
    plugin->noteFactory(dllName);
    return static_cast<CDatabasePlugin*>(plugin);
}
