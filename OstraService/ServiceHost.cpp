#include "OstraService/ServiceHost.h"

#include <memory>
#include <new>
#include <thread>

#include "OstraService/ConfigFile.h"
#include "OstraService/Messages.h"
#include "OstraService/PluginCalls.h"
#include "OstraService/SettingText.h"
#include "OstraService/SettingsNotice.h"
#include "loader/loadPlugin.h"
#include "platform/console.h"
#include "platform/event_log.h"
#include "platform/timer.h"
#include "plugin/PluginExtension.h"

namespace {
const char kSource[] = "OstraService";

std::string protocolFaultText(int index, const std::string& name,
                              const libconfig::ConfigException& error) {
    const auto* setting = dynamic_cast<const libconfig::SettingException*>(&error);
    std::string path = setting != nullptr ? setting->getPath() : error.what();
    return dynamic_cast<const libconfig::SettingNotFoundException*>(&error) != nullptr
               ? messages::protocolSettingMissing(index, name, path)
               : messages::protocolSettingMistyped(index, name, path);
}
}  // namespace

CServiceHost::CServiceHost()
    : wakeUpWait(kDefaultWakeUpWait),
      fileStream(countingLogDisk(ostra::realLogDisk(), logLineCounts, noticeLogLoss)),
      logMaxSize(512),
      logRotate(7),
      control(nullptr),
      controlReport(std::make_shared<reports::ReportSlot>()),
      numberCatalog(std::make_shared<reports::NumberCatalog>()),
      stopping(false),
      requestsWaiting(0),
      startedAt(std::chrono::steady_clock::now()) {
    InitializeCriticalSection(&hostLock);
}

CServiceHost::~CServiceHost() {
    stop();
    DeleteCriticalSection(&hostLock);
}

void CServiceHost::run() {
    if (startFailure() != 0) return;  // the configuration could not even be read
    logMilestone(__LINE__, "Service started");
    serve(false, kStopKey);
    logMilestone(__LINE__, "Service stopped");
}

void CServiceHost::logMilestone(int line, const char* text) {
    if (logLevelPasses(LOG_LEVEL_INFO, log.getLevel())) {
        log.log(LOG_LEVEL_INFO, kSource, line, text);
        return;
    }
    // Copied each time: streams are added to the host log as the run goes
    // on (the control plug-in's), and these lines are a handful per run.
    milestoneLog.copySettingsFrom(log);
    milestoneLog.setLevel(LOG_LEVEL_INFO);
    milestoneLog.log(LOG_LEVEL_INFO, kSource, line, text);
}

void CServiceHost::setUpFailed(const std::string& text) {
    log.log(LOG_LEVEL_ERROR, kSource, __LINE__, text.c_str());
    ostra::reportErrorEvent(getName(), text);
}

CLog* CServiceHost::getLog(const char* path) {
    if (path != nullptr) {
        logsToFile = true;
        fileStream.setMaxSizeM(logMaxSize);
        fileStream.setRotate(logRotate);
        fileStream.open(path);
        logPath = path;
        log.addStream(&fileStream);
        log.setFormatter(&formatter);
        log.setName(getName());
    }
    return &log;
}

void CServiceHost::openLogFileOnFirstFailure(const std::string& path) {
    if (logsToFile || fileOnFailure) return;
    fileStream.setMaxSizeM(logMaxSize);
    fileStream.setRotate(logRotate);
    fileOnFailure.reset(new FirstFailureLogFile(fileStream, path));
    log.addStream(fileOnFailure.get());
    log.setFormatter(&formatter);
    log.setName(getName());
}

void CServiceHost::moveLogFile(const std::string& path) {
    if (!logsToFile) {
        getLog(path.c_str());
        return;
    }
    fileStream.setMaxSizeM(logMaxSize);
    fileStream.setRotate(logRotate);
    if (path == logPath) return;
    fileStream.open(path.c_str());
    logPath = path;
}

void CServiceHost::onReopenLogRequest() {
    if (fileStream.reopen()) log.log(LOG_LEVEL_INFO, kSource, __LINE__, "Log file reopened");
}

void CServiceHost::serve(bool console, int stopKey) {
    // Before the set-up, so that keys typed meanwhile are neither echoed
    // nor held back for a line end.
    std::unique_ptr<ostra::ConsoleKeyboard> keyboard;
    // The keyboard watch counts one-millisecond sleeps; on Windows they would
    // last a timer period each and stretch the wait between passes sixteen-
    // fold. The service loop keeps the coarse default: its passes only
    // repair, and fewer wake-ups cost the machine less.
    std::unique_ptr<ostra::FineSleepResolution> fineSleep;
    if (console) {
        keyboard.reset(new ostra::ConsoleKeyboard);
        fineSleep.reset(new ostra::FineSleepResolution);
    }
    reportStarting();
    {
        LineGuard sync(hostLock, hostLine);
        if (!setUp()) {
            reportStartFailure(kSetUpFailed);
            return;
        }
        logMilestone(__LINE__, "Service started");
    }
    sampler.reset(new ReportSampler(protocolCounters, controlReport, numberCatalog));
    // The service manager hears "running" once the first pass has started
    // the protocols, so a start that returns means they listen. A stop asked
    // for during the set-up ends the run before that pass.
    bool reportedRunning = false;
    for (;;) {
        bool running = console ? !watchKeyboard(*keyboard, stopKey) : isRunning();
        if (!running) break;
        wakeProtocols();
        if (!reportedRunning) {
            reportRunning();
            reportedRunning = true;
            // Only now: before the first pass every protocol would show FAILING.
            if (statusChannelWanted) {
                statusChannel.reset(
                    new StatusChannel(log, getName(), [this] { return statusChannelReply(); }));
                reloadChannel.reset(new StatusChannel(
                    log, getName(), [this] { return encodeStatusReply(requestReload()); },
                    "reload"));
            }
        }
        reportStatusWhenDue();
        serveDeferredRequests();
        serveReloadRequest();
        // The next pass takes the host lock again at once: let waiting
        // control requests in first.
        while (requestsWaiting.load() > 0 && isRunning()) std::this_thread::yield();
    }
    stopSequence();
}

bool CServiceHost::setUp() {
    const std::string serviceName = getName();
    const std::string path = config_file::pathFor(serviceName);
    std::string failure, location;
    config = std::make_shared<libconfig::Config>();
    if (config_file::read(*config, path, failure, &location) != config_file::ReadResult::kRead) {
        setUpFailed(failure);
        if (!location.empty()) log.log(LOG_LEVEL_ERROR, kSource, __LINE__, location.c_str());
        return false;
    }

    libconfig::Setting* protocolList;
    libconfig::Setting* controlGroup;
    std::string controlDll;
    try {
        protocolList = &config->lookup(config_file::settingPath(serviceName, "protocols"));
        // A list of the wrong type is as good as none: it would run no protocol.
        if (!protocolList->isAggregate()) throw libconfig::SettingTypeException(*protocolList);
        controlGroup = &config->lookup(config_file::settingPath(serviceName, "control"));
        controlDll = static_cast<const char*>((*controlGroup)["dll"]);
    } catch (const libconfig::ConfigException&) {
        setUpFailed(messages::configIncomplete(serviceName));
        return false;
    }

    controlTree = config;
    controlText = setting_text::of(*controlGroup);
    noteConfiguration(*config);
    control = static_cast<CControlPlugin*>(loadPlugin(controlDll.c_str(), "control"));
    if (control != nullptr) {
        this->controlDll = controlDll;
        settings_notice::logUnreadKeys(log, kSource, *controlGroup, controlDll,
                                       messages::kControlOwner, host_keys::controlGroup());
        CControlPlugin* created = control;
        plugin_calls::guard(
            false,
            [&] {
                created->setCallback(controlEventProc, this);
                return true;
            },
            controlFault("setCallback"));
        controlStream.setPlugin(control, &log, controlDll);
        log.addStream(&controlStream);
        // The plug-in says why on its own; this line puts the refusal in
        // the log and, under systemd, among the journal's errors.
        int started = plugin_calls::guard(
            0, [&] { return created->start(*controlGroup); }, controlFault("start"));
        if (started != 0)
            log.log(
                LOG_LEVEL_ERROR, kSource, __LINE__,
                messages::pluginStartRefused(messages::kControlOwner, controlDll, started).c_str());
        // Reports come from started objects only.
        const OstraExtension* extension = pluginExtension(controlDll.c_str());
        if (started == 0 && extension != nullptr && extension->report != nullptr)
            controlReport->attach(created, extension->report);
    } else {
        std::string reason = plugin_calls::loadFailureWorthLogging(controlDll);
        if (!reason.empty())
            log.log(LOG_LEVEL_ERROR, kSource, __LINE__,
                    messages::pluginNotLoaded(messages::kControlOwner, controlDll, reason).c_str());
    }

    config->lookupValue(config_file::settingPath(serviceName, "wakeupwait"), wakeUpWait);
    createProtocols(*protocolList);
    return true;
}

void CServiceHost::createProtocols(libconfig::Setting& list) {
    for (int index = 0;; ++index) {
        libconfig::Setting* entry;
        try {
            entry = &list[index];
        } catch (const libconfig::ConfigException&) {
            return;  // the end of the list
        }
        HostedProtocol made;
        if (!makeProtocol(*entry, index, made)) return;
        if (!made.app) continue;
        protocols.push_back(std::move(made));
        protocolCounters.push_back(protocols.back().app->counters());
    }
}

bool CServiceHost::makeProtocol(libconfig::Setting& entry, int index, HostedProtocol& made) {
    std::string name;
    try {
        name = static_cast<const char*>(entry["name"]);
        std::unique_ptr<CProtocolApp> app(new (std::nothrow) CProtocolApp());
        if (!app) {
            log.log(LOG_LEVEL_DEBUG, kSource, __LINE__,
                    messages::protocolAllocationFailed(name).c_str());
            return true;
        }
        app->init(log, entry);  // an app whose init throws is not kept
        made = HostedProtocol{std::move(app), name, std::string(), setting_text::of(entry), config};
        return true;
    } catch (const libconfig::ConfigException& error) {
        // An entry the host cannot use: the protocols made so far stay,
        // later entries are not looked at, and the operator is told why.
        log.log(LOG_LEVEL_ERROR, kSource, __LINE__, protocolFaultText(index, name, error).c_str());
        return false;
    }
}

void CServiceHost::reportProtocolFault(size_t index, const libconfig::ConfigException& error) {
    HostedProtocol& protocol = protocols[index];
    std::string text = protocolFaultText(static_cast<int>(index), protocol.name, error);
    if (text == protocol.reportedFault) return;
    protocol.reportedFault = text;
    log.log(LOG_LEVEL_ERROR, kSource, __LINE__, text.c_str());
}

void CServiceHost::wakeProtocols() {
    {
        // In line with the control requests, so that one asking in a loop
        // cannot keep the pass out (it would be woken and refused once per
        // request). Once the host stops, the pass is skipped.
        InterruptibleLock sync(hostLock, hostLine, stopping);
        if (sync.acquire()) {
            for (size_t index = 0; index < protocols.size(); ++index) {
                try {
                    protocols[index].app->start(false);
                } catch (const libconfig::ConfigException& error) {
                    // This attempt fails, the next pass tries again; it must not end the run.
                    reportProtocolFault(index, error);
                }
            }
        }
    }
    // Sleeping outside the host lock: a control request waits for the
    // protocols' starts at most, not for the sleep as well.
    Sleep(1);
}

void CServiceHost::reportStatusWhenDue() {
    // A look at the protocols' state counts every 100 ms costs nothing a
    // pass would notice. The plug-ins are not asked here: a state is what
    // the last start, stop, STATUS or METRICS found (the web console asks
    // once a second), so the line never adds calls into a plug-in.
    constexpr std::chrono::milliseconds kLookInterval(100);
    auto now = std::chrono::steady_clock::now();
    if (now < nextStatusLook) return;
    nextStatusLook = now + kLookInterval;
    auto summedChanges = [this] {
        metrics::Count changes = 0;
        for (const auto& counters : protocolCounters) changes += counters->stateChanges();
        return changes;
    };
    const metrics::Count changes = summedChanges();
    if (!status.due(now, changes)) return;
    std::vector<metrics::ProtocolSnapshot> snapshots;
    for (const auto& counters : protocolCounters) snapshots.push_back(counters->snapshot());
    reportStatus(status.update(snapshots, now, changes));
    for (const StatusReport::Change& change : status.changes()) {
        // INFO: the failure itself has had its ERROR line already.
        log.log(LOG_LEVEL_INFO, kSource, __LINE__, change.text.c_str());
        if (change.failing)
            ostra::reportErrorEvent(getName(), change.text);
        else
            ostra::reportInfoEvent(getName(), change.text);
    }
}

bool CServiceHost::watchKeyboard(ostra::ConsoleKeyboard& keyboard, int stopKey) {
    // With fewer than one period no tick would ever look at the keyboard and
    // the run could not be stopped: such a value counts as one period.
    const long long ticks = static_cast<long long>(wakeUpWait < 1 ? 1 : wakeUpWait) * 100;
    for (long long tick = 0; tick < ticks; ++tick) {
        if (!isRunning()) return true;  // a stop request (SIGINT, SIGTERM, Ctrl+C)
        serveDeferredRequests();
        serveReloadRequest();
        if (keyboard.keyWaiting()) {
            int key = keyboard.readKey();
            if (key >= 'a' && key <= 'z') key = key - 'a' + 'A';
            if (key == stopKey) return true;
        }
        Sleep(1);
    }
    return false;
}

std::function<void(const char*)> CServiceHost::controlFault(const char* operation) {
    return [this, operation](const char* what) {
        log.log(
            LOG_LEVEL_ERROR, kSource, __LINE__,
            messages::pluginFault(messages::kControlOwner, controlDll, operation, what).c_str());
    };
}

void CServiceHost::stopSequence() {
    reportStopping();
    logMilestone(__LINE__, "Service stopped");
    stopping.store(true);
    hostLine.wakeAll();
    {
        ostra::MutexLock hold(reloadLock);
        reloadDone.notifyAll();  // a reload still asked for is answered "stopping"
    }
    sampler.reset();
    serveDeferredRequests();  // what is still queued is answered "STOPPED"
    {
        LineGuard sync(hostLock, hostLine);
        for (auto& protocol : protocols) protocol.app->stop();
        if (control != nullptr) {
            controlReport->detach();
            controlStream.setPlugin(nullptr);
            CControlPlugin* stopping = control;
            plugin_calls::guard(
                false,
                [&] {
                    stopping->stop();
                    return true;
                },
                controlFault("stop"));
            delete control;
            control = nullptr;
        }
        protocols.clear();
    }
    // Last: until here `status` tells an operator the host is stopping.
    reloadChannel.reset();
    statusChannel.reset();
}
