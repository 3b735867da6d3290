// The reload of a running host (ServiceHost.h says what it does).
#include <ctime>

#include "OstraService/ConfigCheck.h"
#include "OstraService/ConfigFile.h"
#include "OstraService/LogSetup.h"
#include "OstraService/ServiceHost.h"
#include "OstraService/SettingText.h"

namespace {
const char kSource[] = "OstraService";

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}
}  // namespace

StatusReply CServiceHost::requestReload() {
    // Long enough for the protocols' stops and starts; the client waits a
    // little longer, so it hears this answer rather than a timeout.
    constexpr std::chrono::seconds kLimit{80};
    const auto deadline = std::chrono::steady_clock::now() + kLimit;
    ostra::MutexLock hold(reloadLock);
    const std::uint64_t ticket = ++reloadsAsked;
    reloadWanted.store(true);
    while (reloadsDone < ticket && !stopping.load()) {
        if (!reloadDone.waitUntil(hold, deadline) && std::chrono::steady_clock::now() >= deadline)
            return StatusReply{kStatusUnknown, std::string(getName()) +
                                                   ": the reload has not ended yet; see the log\n"};
    }
    if (reloadsDone < ticket)
        return StatusReply{kStatusNotRunning,
                           std::string(getName()) + ": stopping; nothing reloaded\n"};
    return lastReload;
}

void CServiceHost::serveReloadRequest() {
    if (!reloadWanted.exchange(false)) return;
    std::uint64_t asked;
    {
        ostra::MutexLock hold(reloadLock);
        asked = reloadsAsked;
    }
    StatusReply outcome = reloadConfiguration();
    ostra::MutexLock hold(reloadLock);
    lastReload = std::move(outcome);
    reloadsDone = asked;
    reloadDone.notifyAll();
}

StatusReply CServiceHost::reloadConfiguration() {
    const std::string serviceName = getName();
    const std::string path = config_file::pathFor(serviceName);
    // Checked without the host lock: it loads libraries to learn their
    // kinds and tables, which may take a while, and control requests go on.
    auto fresh = std::make_shared<libconfig::Config>();
    const std::vector<std::string> problems = config_check::problemsIn(serviceName, *fresh);
    if (!problems.empty()) {
        const std::string count =
            std::to_string(problems.size()) + (problems.size() == 1 ? " problem" : " problems");
        const std::string headline =
            "Configuration reload refused: " + count + " in " + path + "; nothing changed";
        log.log(LOG_LEVEL_ERROR, kSource, __LINE__, headline.c_str());
        std::string text;
        for (const std::string& problem : problems) {
            log.log(LOG_LEVEL_ERROR, kSource, __LINE__, problem.c_str());
            text += problem + "\n";
        }
        {
            ostra::MutexLock hold(configInfoLock);
            reloadRefusal = problems.front() + (problems.size() > 1 ? " (and more)" : "");
        }
        return StatusReply{1, text + serviceName + ": reload refused: " + count + " in " + path +
                                  "; the running configuration stays\n"};
    }
    std::string done;
    {
        LineGuard sync(hostLock, hostLine);
        done = applyConfiguration(fresh);
    }
    log.log(LOG_LEVEL_INFO, kSource, __LINE__, ("Configuration reloaded: " + done).c_str());
    return StatusReply{0, serviceName + ": configuration reloaded: " + done + "\n"};
}

std::string CServiceHost::applyConfiguration(const std::shared_ptr<libconfig::Config>& fresh) {
    const std::string serviceName = getName();
    libconfig::Setting& service = fresh->lookup(serviceName);
    libconfig::Setting& list = service["protocols"];

    int level = log.getLevel();
    reapplyLog(*this, *fresh, serviceName, level);
    log.setLevel(level);
    wakeUpWait = kDefaultWakeUpWait;
    fresh->lookupValue(config_file::settingPath(serviceName, "wakeupwait"), wakeUpWait);
    if (setting_text::of(service["control"]) != controlText)
        log.log(LOG_LEVEL_INFO, kSource, __LINE__,
                "Configuration reload: the control plug-in keeps its settings until the next "
                "start");

    // Each entry of the new list is matched with an unchanged protocol of
    // the same name, once. An entry without a name ends the list, as at
    // the start (`check` has refused such a file already).
    struct Planned {
        libconfig::Setting* entry;
        std::string name, text;
        size_t kept;  // the protocol it keeps, or npos
    };
    const size_t none = static_cast<size_t>(-1);
    std::vector<Planned> plan;
    std::vector<bool> taken(protocols.size(), false);
    for (int index = 0; index < list.getLength(); ++index) {
        Planned next{&list[index], std::string(), setting_text::of(list[index]), none};
        if (!list[index].lookupValue("name", next.name)) break;
        for (size_t old = 0; old < protocols.size() && next.kept == none; ++old)
            if (!taken[old] && protocols[old].name == next.name &&
                protocols[old].entryText == next.text) {
                taken[old] = true;
                next.kept = old;
            }
        plan.push_back(std::move(next));
    }

    // The sampler asks the apps that run; it starts again over the new set.
    sampler.reset();
    std::vector<std::string> restarted, started, stopped, unchanged;
    std::vector<std::string> replacedNames;
    for (size_t old = 0; old < protocols.size(); ++old) {
        if (taken[old]) continue;
        replacedNames.push_back(protocols[old].name);
        protocols[old].app->stop();
        protocols[old].app.reset();
    }
    config = fresh;
    std::vector<HostedProtocol> next;
    std::vector<std::shared_ptr<metrics::ProtocolCounters>> counters;
    for (size_t index = 0; index < plan.size(); ++index) {
        Planned& planned = plan[index];
        HostedProtocol made;
        if (planned.kept != none) {
            made = std::move(protocols[planned.kept]);
            made.app->setLevel(level);
            unchanged.push_back(made.name);
        } else {
            if (!makeProtocol(*planned.entry, static_cast<int>(index), made)) break;
            if (!made.app) continue;
            bool wasThere = false;
            for (auto name = replacedNames.begin(); name != replacedNames.end(); ++name)
                if (*name == made.name) {
                    replacedNames.erase(name);
                    wasThere = true;
                    break;
                }
            (wasThere ? restarted : started).push_back(made.name);
        }
        counters.push_back(made.app->counters());
        next.push_back(std::move(made));
    }
    stopped = replacedNames;
    protocols = std::move(next);
    protocolCounters = std::move(counters);
    status = StatusReport();  // its window summed protocols that may be gone
    sampler.reset(new ReportSampler(protocolCounters, controlReport, numberCatalog));
    const std::string hash = noteConfiguration(*fresh);

    std::string done;
    auto say = [&done](const char* what, const std::vector<std::string>& names) {
        if (names.empty()) return;
        done += (done.empty() ? "" : "; ") + std::string(what) + " " + joined(names);
    };
    say("restarted", restarted);
    say("started", started);
    say("stopped", stopped);
    say("unchanged", unchanged);
    if (done.empty()) done = "no protocols";
    return done + " (configuration " + hash + ")";
}

std::string CServiceHost::noteConfiguration(const libconfig::Config& inForce) {
    const std::string hash = setting_text::hashOf(inForce);
    ostra::MutexLock hold(configInfoLock);
    configHash = hash;
    configLoadedAt = static_cast<long long>(std::time(nullptr));
    reloadRefusal.clear();
    return hash;
}
