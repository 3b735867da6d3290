#include "OstraService/ProtocolApp.h"

#include <libconfig.h++>
#include <thread>

#include "OstraService/Messages.h"
#include "OstraService/PluginCalls.h"
#include "OstraService/ProtocolType.h"
#include "OstraService/SettingsNotice.h"
#include "loader/loadPlugin.h"
#include "plugin/PluginExtension.h"

namespace {
const char kSource[] = "ProtocolApp";

// The library's report, or null when it says nothing of its objects.
OstraReport reportOf(const std::string& dll) {
    const OstraExtension* extension = pluginExtension(dll.c_str());
    return extension != nullptr ? extension->report : nullptr;
}

// The library's extension when it has the batch fields, else null.
const OstraExtension* batchesOf(const std::string& dll) {
    const OstraExtension* extension = pluginExtension(dll.c_str());
    return extension != nullptr && extension->version >= 2 ? extension : nullptr;
}

// Inside a catch block: what the exception made of a start attempt.
std::string attemptException() {
    try {
        throw;
    } catch (const libconfig::SettingException& error) {
        return std::string("configuration: ") + error.what() + " at " + error.getPath();
    } catch (...) {
        return plugin_calls::currentExceptionText();
    }
}
}  // namespace

CProtocolApp::CProtocolApp()
    : enabled(true),
      configuredLevel(LOG_LEVEL_DEBUG),
      protocol(nullptr),
      setting(nullptr),
      setUpAndEnabled(false),
      lastAttemptResult(0),
      tearingDown(false),
      relaysInside(0),
      generation(0),
      counters_(std::make_shared<metrics::ProtocolCounters>()) {
    InitializeCriticalSection(&critSection);
}

CProtocolApp::~CProtocolApp() {
    stop();
    DeleteCriticalSection(&critSection);
}

int CProtocolApp::init(CLog& hostLog, Setting& entry) {
    LineGuard sync(critSection, waitLine);
    enabled = true;
    noteState();
    log.copySettingsFrom(hostLog);
    configuredLevel = hostLog.getLevel();
    setting = &entry;
    return start(false);
}

void CProtocolApp::setLevel(int level) {
    LineGuard sync(critSection, waitLine);
    configuredLevel = level;
    log.setLevel(level);
    // getLog is asked at every start too; what it returns is the plug-in's own.
    auto relevel = [&](CLog* pluginLog) {
        if (pluginLog != nullptr && pluginLog != &log) pluginLog->setLevel(level);
    };
    // (Copied out: the lambdas run under the lock, where the analysis cannot see it.)
    CProtocolPlugin* const running = protocol;
    if (running != nullptr)
        plugin_calls::guard(
            false,
            [&] {
                relevel(running->getLog());
                return true;
            },
            faultOf(protocolDll, "getLog"));
    for (size_t index = 0; index < databases.size(); ++index) {
        CDatabasePlugin* const database = databases[index];
        plugin_calls::guard(
            false,
            [&] {
                relevel(database->getLog());
                return true;
            },
            faultOf(databaseDlls[index], "getLog"));
    }
}

int CProtocolApp::start(bool force) {
    // An app with its plug-ins in place has nothing to do but set its log's
    // level (the host's, as configured: plug-ins' logs copy it at start). Reading the entry again
    // would find what the attempt that made them found (the tree never changes once read), and the
    // flag is only changed under the host lock, which the caller holds. This keeps a wake-up pass
    // nearly free.
    if (!force && setUpAndEnabled.load()) {
        log.setLevel(configuredLevel);
        return 0;
    }
    // A failed protocol waits for its retry: the pass goes on at its pace.
    if (!force && !retry.due(RetryPacing::Clock::now())) return lastAttemptResult.load();
    LineGuard sync(critSection, waitLine);
    if (!enabled && !force) return 0;
    log.setLevel(configuredLevel);
    if (setting == nullptr) return -1;
    if (protocol != nullptr) return 0;
    repeatedFailures.begin();
    int result;
    try {
        ThreadLogFilter attemptLines(&repeatedFailures);
        result = startLocked();
    } catch (...) {
        // A wrong-typed value fails the attempt as surely as a refusal.
        noteState();
        retry.failed(RetryPacing::Clock::now());
        lastAttemptResult.store(-1);
        const auto now = metrics::WallClock::now();
        counters_->attempted(true, attemptException(), now);
        counters_->setState(metrics::ProtocolState::kFailing, now);
        repeatedFailures.end(true, log, name);
        throw;
    }
    noteState();
    const bool failed = protocol == nullptr || result != 0;
    if (failed)
        retry.failed(RetryPacing::Clock::now());
    else
        retry.reset();
    lastAttemptResult.store(result);
    // One moment for both: a failure at or after the state's start is why it fails.
    const auto now = metrics::WallClock::now();
    counters_->attempted(failed, repeatedFailures.attemptFailure(), now);
    counters_->setState(failed ? metrics::ProtocolState::kFailing : runningState(), now);
    repeatedFailures.end(failed, log, name);
    return result;
}

int CProtocolApp::startLocked() {
    Setting& entry = *setting;
    std::string dll;
    int typeCode;
    try {
        name = static_cast<const char*>(entry["name"]);
        counters_->setName(name);
        dll = static_cast<const char*>(entry["dll"]);
        typeCode = protocol_type::codeOf(static_cast<const char*>(entry["type"]));
    } catch (const libconfig::SettingNotFoundException&) {
        return -1;
    }
    if (typeCode < 0) {
        log.log(LOG_LEVEL_ERROR, kSource, __LINE__, messages::protocolUnknownType(name).c_str());
        return -1;
    }
    if (protocol != nullptr) return 0;

    protocol = static_cast<CProtocolPlugin*>(loadPlugin(dll.c_str(), "protocol"));
    if (protocol == nullptr) {
        log.log(LOG_LEVEL_ERROR, kSource, __LINE__,
                messages::protocolNotCreated(name, dll).c_str());
        reportLoadFailure(dll);
        return 0;
    }
    protocolDll = dll;
    settings_notice::logUnreadKeys(log, kSource, entry, dll, messages::protocolOwner(name),
                                   host_keys::protocolEntry());
    CProtocolPlugin* created = protocol;
    bool wired = plugin_calls::guard(
        false,
        [&] {
            handLogTo(created->getLog());
            created->setCallback(protocolEventProc, this);
            const OstraExtension* batches = batchesOf(dll);
            if (batches != nullptr && batches->takeBatchRelay != nullptr)
                batches->takeBatchRelay(created, protocolBatchProc, this);
            return true;
        },
        faultOf(dll, "setCallback", &counters_->faults));
    int started = wired ? plugin_calls::guard(
                              -1, [&] { return created->start(entry); },
                              faultOf(dll, "start", &counters_->faults))
                        : -1;
    if (started != 0) {
        // Not kept until a stop: the retry makes a new one.
        tearDown();
        return -1;
    }

    if (OstraReport report = reportOf(dll)) counters_->protocolReport.attach(created, report);

    try {
        if (!startDatabases(entry, typeCode, dll)) return -1;
        publishRelayTargets();
        return 0;
    } catch (const libconfig::ConfigException&) {
        // A database element of the wrong type fails the whole attempt, as
        // a database that refuses does: no protocol runs without its
        // databases (STATUS would say STARTED), and the next attempt starts
        // from nothing.
        tearDown();
        throw;
    }
}

bool CProtocolApp::startDatabases(Setting& entry, int typeCode, const std::string& protocolDll) {
    Setting* list;
    try {
        list = &entry["databases"];
    } catch (const libconfig::SettingNotFoundException&) {
        return false;
    }
    for (int index = 0;; ++index) {
        Setting* element;
        std::string dll;
        try {
            element = &(*list)[index];
            dll = static_cast<const char*>((*element)["dll"]);
        } catch (const libconfig::SettingNotFoundException&) {
            return true;  // the end of the list, or an element without "dll"
        }
        metrics::DatabaseCounters& counted = counters_->database(static_cast<size_t>(index), dll);
        auto* database = static_cast<CDatabasePlugin*>(loadPlugin(dll.c_str(), "database"));
        if (database == nullptr) {
            log.log(LOG_LEVEL_ERROR, kSource, __LINE__,
                    messages::databaseNotCreated(name, protocolDll).c_str());
            reportLoadFailure(dll);
            // The protocol runs without it, and says so.
            log.log(LOG_LEVEL_ERROR, kSource, __LINE__,
                    ("Protocol " + name + " runs DEGRADED: its database library " + dll +
                     " did not load")
                        .c_str());
            counted.report.notLoaded();
            missingDatabases.push_back(&counted);
            continue;
        }
        settings_notice::logUnreadKeys(log, kSource, *element, dll, messages::protocolOwner(name),
                                       host_keys::databaseElement());
        bool wired = plugin_calls::guard(
            false,
            [&] {
                handLogTo(database->getLog());
                database->setType(typeCode);
                database->setCallback(databaseEventProc, this);
                return true;
            },
            faultOf(dll, "setCallback", &counted.faults));
        int started = wired ? plugin_calls::guard(
                                  -1, [&] { return database->start(*element); },
                                  faultOf(dll, "start", &counted.faults))
                            : -1;
        if (started != 0) {
            // The databases started earlier in this attempt go with the rest,
            // so that the next attempt starts from an empty list.
            tearDown(database);
            return false;
        }
        databases.push_back(database);
        databaseDlls.push_back(dll);
        databaseCounters.push_back(&counted);
        if (OstraReport report = reportOf(dll)) counted.report.attach(database, report);
    }
}

void CProtocolApp::stop() {
    LineGuard sync(critSection, waitLine);
    enabled = false;
    noteState();
    retry.reset();
    tearDown();
    counters_->setState(metrics::ProtocolState::kStopped);
    repeatedFailures.stopped(log, name);
}

bool CProtocolApp::isRunning() {
    LineGuard sync(critSection, waitLine);
    if (protocol == nullptr) return false;
    bool running = pluginsSayRunning();
    counters_->setState(running ? runningState() : metrics::ProtocolState::kFailing);
    return running;
}

metrics::ProtocolState CProtocolApp::runningState() const {
    return missingDatabases.empty() ? metrics::ProtocolState::kRunning
                                    : metrics::ProtocolState::kDegraded;
}

bool CProtocolApp::pluginsSayRunning() {
    CProtocolPlugin* running = protocol;
    if (!plugin_calls::guard(
            false, [&] { return running->isRunning(); },
            faultOf(protocolDll, "isRunning", &counters_->faults)))
        return false;
    for (size_t index = 0; index < databases.size(); ++index) {
        CDatabasePlugin* database = databases[index];
        if (!plugin_calls::guard(
                false, [&] { return database->isRunning(); },
                faultOf(databaseDlls[index], "isRunning", &databaseCounters[index]->faults)))
            return false;
    }
    return true;
}

void CProtocolApp::publishRelayTargets() {
    std::vector<OstraProcessBatch> batches;
    for (const std::string& dll : databaseDlls) {
        const OstraExtension* extension = batchesOf(dll);
        batches.push_back(extension != nullptr ? extension->processBatch : nullptr);
    }
    ownedTargets.reset(new RelayTargets{generation, databases, databaseCounters, batches});
    publishedTargets.store(ownedTargets.get());
}

void CProtocolApp::tearDown(CDatabasePlugin* refusedDatabase) {
    setUpAndEnabled.store(false);
    // Withdrawn before the flag goes up: a relay that still finds it
    // counted itself in before, and is waited for below.
    publishedTargets.store(nullptr);
    tearingDown.store(true);
    waitLine.wakeAll();
    ++generation;
    // No report runs on an object from here on (PluginReports.h).
    counters_->protocolReport.detach();
    for (metrics::DatabaseCounters* counted : databaseCounters) counted->report.detach();
    for (metrics::DatabaseCounters* counted : missingDatabases) counted->report.detach();
    missingDatabases.clear();
    delete refusedDatabase;  // refused its start: destroyed without stop()
    if (protocol != nullptr) {
        CProtocolPlugin* stopping = protocol;
        plugin_calls::guard(
            false,
            [&] {
                stopping->stop();
                return true;
            },
            faultOf(protocolDll, "stop", &counters_->faults));
    }
    for (size_t index = 0; index < databases.size(); ++index) {
        CDatabasePlugin* database = databases[index];
        plugin_calls::guard(
            false,
            [&] {
                database->stop();
                return true;
            },
            faultOf(databaseDlls[index], "stop", &databaseCounters[index]->faults));
    }

    // Relays still running leave without touching a plug-in once they see
    // the flag; none may be inside one when it is destroyed.
    for (unsigned attempt = 0; relaysInside.load() > 0; ++attempt) {
        if (attempt < 1000)
            std::this_thread::yield();
        else
            Sleep(1);
    }

    delete protocol;
    protocol = nullptr;
    for (CDatabasePlugin* database : databases) delete database;
    databases.clear();
    databaseDlls.clear();
    databaseCounters.clear();
    ownedTargets.reset();
    tearingDown.store(false);
}

void CProtocolApp::FaultReport::operator()(const char* what) const {
    if (counter != nullptr) counter->add();
    app.log.log(
        LOG_LEVEL_ERROR, kSource, __LINE__,
        messages::pluginFault(messages::protocolOwner(app.name), dll, operation, what).c_str());
}

void CProtocolApp::reportLoadFailure(const std::string& dll) {
    std::string reason = plugin_calls::loadFailureWorthLogging(dll);
    if (!reason.empty())
        log.log(LOG_LEVEL_ERROR, kSource, __LINE__,
                messages::pluginNotLoaded(messages::protocolOwner(name), dll, reason).c_str());
}

void CProtocolApp::handLogTo(CLog* pluginLog) {
    if (pluginLog != nullptr && pluginLog != &log) pluginLog->copySettingsFrom(log);
}
