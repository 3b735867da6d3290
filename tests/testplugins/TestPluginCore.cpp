#include "TestPluginCore.h"

#include <chrono>
#include <fstream>
#include <libconfig.h++>
#include <stdexcept>

#include "common/Record.h"

namespace {

template <typename T>
void readKey(libconfig::Setting& group, const char* key, T& value) {
    // lookupValue leaves `value` alone when the key is absent or mistyped.
    group.lookupValue(key, value);
}

}  // namespace

TestPluginCore::TestPluginCore(const char* kind, void* sender)
    : kind_(kind), sender_(sender), serial_(TestJournal::newSerial()) {
    label_ = "#" + std::to_string(serial_);
    note("create");
}

TestPluginCore::~TestPluginCore() {
    stop();
    TestJournal::unregisterPlugin(this);
    note("destroy");
}

void TestPluginCore::note(const std::string& call, const std::string& detail) {
    // Compared as strings (lengths first): the benchmarks call this on every isRunning.
    static const std::string kAlwaysNoted = "badEventResult";
    if (journal_.load(std::memory_order_relaxed) || call == kAlwaysNoted)
        TestJournal::add(serial_, kind_, call, detail);
}

void TestPluginCore::setCallback(EventProc proc, void* context) {
    {
        std::lock_guard<std::mutex> guard(callbackLock_);
        proc_ = proc;
        context_ = context;
    }
    note("setCallback", proc ? "set" : "null");
}

int TestPluginCore::start(libconfig::Setting& group) {
    std::string id;
    readKey(group, "id", id);
    bool journal = true;
    readKey(group, "journal", journal);
    if (!id.empty()) {
        label_ = id;
        // A plug-in that keeps no journal (a benchmark's, a soak's) leaves
        // nothing behind in it either.
        if (journal) TestJournal::setLabel(serial_, id);
    }
    readKey(group, "startResult", startResult_);
    std::string refuseWhile;
    readKey(group, "refuseWhile", refuseWhile);
    if (!refuseWhile.empty() && startResult_ == 0 && std::ifstream(refuseWhile).good())
        startResult_ = 1;
    readKey(group, "running", reportRunning_);
    readKey(group, "answer", answer_);
    readKey(group, "eventTag", eventTag_);
    readKey(group, "raiseOnStart", raiseOnStart_);
    readKey(group, "request", request_);
    readKey(group, "workerEvents", workerEvents_);
    readKey(group, "workerIntervalMs", workerIntervalMs_);
    readKey(group, "quietEvents", quietEvents_);
    readKey(group, "processDelayMs", processDelayMs_);
    readKey(group, "quietLogs", quietLogs_);
    readKey(group, "trail", trail_);
    readKey(group, "throwIn", throwIn_);
    bool readMissingKey = false;
    readKey(group, "readMissingKey", readMissingKey);
    readKey(group, "logOnStart", logOnStart_);
    readKey(group, "logOnRecord", logOnRecord_);
    readKey(group, "stopDelayMs", stopDelayMs_);
    readKey(group, "startDelayMs", startDelayMs_);
    readKey(group, "requestOnAnswer", requestOnAnswer_);
    std::string logRequests;
    readKey(group, "logRequests", logRequests);
    logRequests_.clear();
    for (size_t from = 0; from < logRequests.size();) {
        size_t end = logRequests.find(',', from);
        if (end == std::string::npos) end = logRequests.size();
        std::string request = logRequests.substr(from, end - from);
        size_t colon = request.find(':');
        if (colon == std::string::npos)
            logRequests_.emplace_back(request, "");
        else
            logRequests_.emplace_back(request.substr(0, colon), request.substr(colon + 1));
        from = end + 1;
    }
    TestJournal::registerPlugin(label_, this);
    note("start", "result=" + std::to_string(startResult_));
    journal_.store(journal);
    if (readMissingKey) {
        int missing = group["noSuchKey"];  // throws SettingNotFoundException
        (void)missing;
    }
    maybeThrow("start");

    if (!logOnStart_.empty()) log_.log(LOG_LEVEL_INFO, "TestPlugin", __LINE__, logOnStart_.c_str());
    if (startDelayMs_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(startDelayMs_));
    for (int i = 0; i < raiseOnStart_; ++i) {
        Record event = makeEvent(i);
        int result = raise(eventTag_, &event);
        note("startEventResult", std::to_string(result));
    }
    if (startResult_ != 0) return startResult_;

    started_ = true;
    if (workerEvents_ != 0) {
        stopRequested_ = false;
        worker_ = std::thread(&TestPluginCore::runWorker, this);
    }
    return 0;
}

void TestPluginCore::stop() {
    {
        std::lock_guard<std::mutex> guard(workerLock_);
        stopRequested_ = true;
    }
    workerWake_.notify_all();
    if (worker_.joinable()) worker_.join();
    if (started_ && stopDelayMs_ > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(stopDelayMs_));
    started_ = false;
}

void TestPluginCore::maybeThrow(const char* operation) const {
    if (throwIn_.empty()) return;
    std::string list = "," + throwIn_ + ",";
    if (list.find("," + std::string(operation) + ",") != std::string::npos)
        throw std::runtime_error(std::string("test fault in ") + operation);
}

void TestPluginCore::raiseLogRequest() {
    if (logRequests_.empty()) return;
    const auto& request = logRequests_[nextLogRequest_.fetch_add(1) % logRequests_.size()];
    Record record;
    record.set("CMD", request.first.c_str());
    if (!request.second.empty()) record.set("TYPE", request.second.c_str());
    raise(eventTag_, &record);
}

int TestPluginCore::processRecord(int tag, Record* record) {
    maybeThrow("processRecord");
    if (journal_.load(std::memory_order_relaxed))
        note("processRecord", "tag=" + std::to_string(tag) + " " + TestJournal::describe(*record));
    if (trail_) {
        std::string trail = record->get("TRAIL");
        trail += label_ + ";";
        record->set("TRAIL", trail.c_str());
    }
    if (!logOnRecord_.empty())
        log_.log(LOG_LEVEL_INFO, "TestPlugin", __LINE__, logOnRecord_.c_str());
    if (processDelayMs_ > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(processDelayMs_));
    return answer_;
}

int TestPluginCore::raise(int tag, Record* record) {
    EventProc proc;
    void* context;
    {
        std::lock_guard<std::mutex> guard(callbackLock_);
        proc = proc_;
        context = context_;
    }
    if (proc == nullptr) return -100;
    eventsRaised_.fetch_add(1);
    return proc(context, sender_, tag, record);
}

Record TestPluginCore::makeEvent(int sequence) const {
    Record event;
    if (!request_.empty()) event.set("CMD", request_.c_str());
    event.set("FROM", label_.c_str());
    event.set("SEQ", std::to_string(sequence).c_str());
    return event;
}

void TestPluginCore::runWorker() {
    for (int sequence = 0; workerEvents_ < 0 || sequence < workerEvents_; ++sequence) {
        {
            std::unique_lock<std::mutex> guard(workerLock_);
            if (stopRequested_) break;
        }
        Record event = makeEvent(sequence);
        int result = raise(eventTag_, &event);
        if (!quietEvents_) note("eventResult", std::to_string(result));
        if (result != 0 && result != 1 && result != 3)
            note("badEventResult", std::to_string(result));

        std::unique_lock<std::mutex> guard(workerLock_);
        if (workerIntervalMs_ > 0) {
            workerWake_.wait_for(guard, std::chrono::milliseconds(workerIntervalMs_),
                                 [this] { return stopRequested_; });
        }
        if (stopRequested_) break;
    }
}
