#include "OstraService/ControlLogStream.h"

#include "OstraService/Messages.h"
#include "OstraService/PluginCalls.h"
#include "common/CSync.h"
#include "common/Record.h"

namespace {
thread_local bool delivering = false;

class DeliveryScope {
public:
    DeliveryScope() : outer_(delivering) { delivering = true; }
    ~DeliveryScope() { delivering = outer_; }

private:
    bool outer_;
};
}  // namespace

bool CControlLogStream::deliveringOnThisThread() { return delivering; }

CControlLogStream::CControlLogStream() : plugin(nullptr), faultLog(nullptr), quoteChar('"') {
    InitializeCriticalSection(&lock);
}

CControlLogStream::~CControlLogStream() {
    setPlugin(nullptr);
    DeleteCriticalSection(&lock);
}

void CControlLogStream::setPlugin(CControlPlugin* newPlugin, CLog* newFaultLog,
                                  const std::string& newDll) {
    CSync sync(&lock);
    plugin = newPlugin;
    faultLog = newFaultLog;
    dll = newDll;
}

void CControlLogStream::flush() {}

bool CControlLogStream::write(std::string line) {
    CSync sync(&lock);
    if (plugin == nullptr) return true;
    std::string quoted;
    quoted.reserve(line.size() + 2);
    quoted += quoteChar;
    quoted += line;
    quoted += quoteChar;
    Record record;
    record.set("CMD", "CMD_LOG");
    record.set("LOG_LINE", quoted.c_str());
    DeliveryScope scope;
    // The lock stays held while both lambdas run (the analysis cannot see
    // into them): they read what it guards.
    CControlPlugin* receiver = plugin;
    plugin_calls::guard(
        0, [&] { return receiver->processLog(&record); },
        [&](const char* what) OSTRA_NO_THREAD_SAFETY_ANALYSIS {
            if (faultLog != nullptr)
                faultLog->log(
                    LOG_LEVEL_ERROR, "OstraService", __LINE__,
                    messages::pluginFault(messages::kControlOwner, dll, "processLog", what)
                        .c_str());
        });
    return true;
}
