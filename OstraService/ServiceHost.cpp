#include "OstraService/ServiceHost.h"

#include <memory>
#include <new>
#include <thread>

#include "OstraService/ConfigFile.h"
#include "OstraService/Messages.h"
#include "OstraService/PluginCalls.h"
#include "common/CSync.h"
#include "platform/console.h"
#include "platform/timer.h"
#include "plugin/loadPlugin.h"

namespace {
const char kSource[] = "OstraService";
}

CServiceHost::CServiceHost()
    : wakeUpWait(kDefaultWakeUpWait),
      logMaxSize(512),
      logRotate(7),
      control(nullptr),
      stopping(false),
      requestsWaiting(0) {
    InitializeCriticalSection(&hostLock);
}

CServiceHost::~CServiceHost() {
    stop();
    DeleteCriticalSection(&hostLock);
}

void CServiceHost::run() {
    log.log(LOG_LEVEL_INFO, kSource, __LINE__, "Service started");
    serve(false, kStopKey);
    log.log(LOG_LEVEL_INFO, kSource, __LINE__, "Service stopped");
}

CLog* CServiceHost::getLog(const char* path) {
    if (path != nullptr) {
        fileStream.setMaxSizeM(logMaxSize);
        fileStream.setRotate(logRotate);
        fileStream.open(path);
        log.addStream(&fileStream);
        log.setFormatter(&formatter);
        log.setName(getName());
    }
    return &log;
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
    {
        CSync sync(&hostLock);
        if (!setUp()) return;
        log.log(LOG_LEVEL_INFO, kSource, __LINE__, "Service started");
    }
    for (;;) {
        bool running = console ? !watchKeyboard(*keyboard, stopKey) : isRunning();
        if (!running) break;
        wakeProtocols();
        // The pass held the host lock for a millisecond and the next one
        // takes it again at once: let waiting control requests in first.
        while (requestsWaiting.load() > 0 && isRunning()) std::this_thread::yield();
    }
    stopSequence();
}

bool CServiceHost::setUp() {
    const std::string serviceName = getName();
    const std::string path = config_file::pathFor(serviceName);
    std::string failure;
    if (config_file::read(config, path, failure) != config_file::ReadResult::kRead) {
        log.log(LOG_LEVEL_ERROR, kSource, __LINE__, failure.c_str());
        return false;
    }

    libconfig::Setting* protocolList;
    libconfig::Setting* controlGroup;
    std::string controlDll;
    try {
        protocolList = &config.lookup(config_file::settingPath(serviceName, "protocols"));
        controlGroup = &config.lookup(config_file::settingPath(serviceName, "control"));
        controlDll = static_cast<const char*>((*controlGroup)["dll"]);
    } catch (const libconfig::ConfigException&) {
        log.log(LOG_LEVEL_ERROR, kSource, __LINE__, messages::configIncomplete(serviceName).c_str());
        return false;
    }

    control = static_cast<CControlPlugin*>(loadPlugin(controlDll.c_str()));
    if (control != nullptr) {
        this->controlDll = controlDll;
        CControlPlugin* created = control;
        plugin_calls::guard(false, [&] { created->setCallback(controlEventProc, this); return true; },
                            controlFault("setCallback"));
        controlStream.setPlugin(control, &log, controlDll);
        log.addStream(&controlStream);
        plugin_calls::guard(0, [&] { return created->start(*controlGroup); }, controlFault("start"));
    } else {
        std::string reason = plugin_calls::loadFailureWorthLogging(controlDll);
        if (!reason.empty())
            log.log(LOG_LEVEL_ERROR, kSource, __LINE__,
                    messages::pluginNotLoaded(messages::kControlOwner, controlDll, reason).c_str());
    }

    config.lookupValue(config_file::settingPath(serviceName, "wakeupwait"), wakeUpWait);
    createProtocols(*protocolList);
    return true;
}

void CServiceHost::createProtocols(libconfig::Setting& list) {
    for (int index = 0;; ++index) {
        CProtocolApp* app = nullptr;
        try {
            libconfig::Setting& entry = list[index];
            std::string name = static_cast<const char*>(entry["name"]);
            app = new (std::nothrow) CProtocolApp();
            if (app == nullptr) {
                log.log(LOG_LEVEL_DEBUG, kSource, __LINE__,
                        messages::protocolAllocationFailed(name).c_str());
                continue;
            }
            app->init(log, entry);
            protocols.push_back(app);
        } catch (const libconfig::ConfigException&) {
            // The end of the list, or an entry the host cannot use: the
            // protocols made so far stay, later entries are not looked at.
            delete app;  // an app whose init threw is not kept
            return;
        }
    }
}

void CServiceHost::wakeProtocols() {
    {
        CSync sync(&hostLock);
        for (CProtocolApp* app : protocols) {
            try {
                app->start(false);
            } catch (const libconfig::ConfigException&) {
                // A value of the wrong type: this attempt fails, the next
                // pass tries again; it must not end the run.
            }
        }
    }
    // Sleeping outside the host lock: a control request waits for the
    // protocols' starts at most, not for the sleep as well.
    Sleep(1);
}

bool CServiceHost::watchKeyboard(ostra::ConsoleKeyboard& keyboard, int stopKey) {
    // With fewer than one period no tick would ever look at the keyboard and
    // the run could not be stopped: such a value counts as one period.
    const long long ticks = static_cast<long long>(wakeUpWait < 1 ? 1 : wakeUpWait) * 100;
    for (long long tick = 0; tick < ticks; ++tick) {
        if (!isRunning()) return true;  // a stop request (SIGINT, SIGTERM, Ctrl+C)
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
        log.log(LOG_LEVEL_ERROR, kSource, __LINE__,
                messages::pluginFault(messages::kControlOwner, controlDll, operation, what).c_str());
    };
}

void CServiceHost::stopSequence() {
    log.log(LOG_LEVEL_INFO, kSource, __LINE__, "Service stopped");
    stopping.store(true);
    CSync sync(&hostLock);
    for (CProtocolApp* app : protocols) app->stop();
    if (control != nullptr) {
        controlStream.setPlugin(nullptr);
        CControlPlugin* stopping = control;
        plugin_calls::guard(false, [&] { stopping->stop(); return true; }, controlFault("stop"));
        delete control;
        control = nullptr;
    }
    for (CProtocolApp* app : protocols) delete app;
    protocols.clear();
}
