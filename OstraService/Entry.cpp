#include "OstraService/Entry.h"

#include <cstdio>
#include <libconfig.h++>
#include <string>

#include "OstraService/ConfigFile.h"
#include "OstraService/ConsoleMode.h"
#include "OstraService/JournalStream.h"
#include "OstraService/LogSetup.h"
#include "OstraService/Messages.h"
#include "OstraService/ServiceHost.h"
#include "OstraService/Text.h"

namespace {

const char kSource[] = "OstraService";
const char kDefaultServiceName[] = "OstraService";

void logResult(CLog& log, int result, const std::string& success, const std::string& failure) {
    if (result == 0) {
        if (!success.empty()) log.log(LOG_LEVEL_INFO, kSource, __LINE__, success.c_str());
    } else {
        log.log(LOG_LEVEL_ERROR, kSource, __LINE__, failure.c_str());
    }
}

int carryOut(CServiceHost& host, const char* verb, const std::string& serviceName) {
    CLog& log = *host.getLog(nullptr);
    const char* name = serviceName.c_str();
    if (text::equalsIgnoreCase(verb, "install")) {
        int result = host.install(name, name);
        logResult(log, result, messages::serviceInstalled(serviceName),
                  messages::serviceNotInstalled(serviceName));
        return result;
    }
    if (text::equalsIgnoreCase(verb, "remove") || text::equalsIgnoreCase(verb, "uninstall")) {
        int result = host.uninstall();
        logResult(log, result, messages::serviceRemoved(serviceName),
                  messages::serviceNotRemoved(serviceName));
        return result;
    }
    if (text::equalsIgnoreCase(verb, "start")) {
        int result = host.StartServiceA(name);
        logResult(log, result, "", messages::serviceNotStarted(serviceName));
        return result;
    }
    if (text::equalsIgnoreCase(verb, "stop")) {
        host.StopService(name);
        return 0;
    }
    if (text::equalsIgnoreCase(verb, "console")) {
        runConsole(host);
        return host.startFailure();  // a set-up that failed is no clean stop
    }
    if (text::equalsIgnoreCase(verb, "help") || text::equalsIgnoreCase(verb, "?")) {
        std::printf("%s", messages::kUsage);
        std::fflush(stdout);
        return 1;
    }
    int result = host.start();
    if (result != 0 && result == host.startFailure()) return result;  // said already
    logResult(log, result, "", messages::serviceNotStarted(verb ? verb : serviceName));
    return result;
}

// Every verb but these runs the process as the service.
bool runsAsService(const char* verb) {
    for (const char* other :
         {"install", "remove", "uninstall", "start", "stop", "console", "help", "?"})
        if (text::equalsIgnoreCase(verb, other)) return false;
    return true;
}

}  // namespace

int runEntry(int argc, char* argv[]) {
    JournalStream journal;  // declared first: it outlives the host, whose log carries it
    CServiceHost host;
    if (JournalStream::wanted()) host.getLog(nullptr)->addStream(&journal);
    const std::string serviceName = argc > 2 ? argv[2] : kDefaultServiceName;
    host.setName(serviceName.c_str());

    const std::string path = config_file::pathFor(serviceName);
    {
        libconfig::Config config;
        std::string failure;
        if (config_file::read(config, path, failure) != config_file::ReadResult::kRead) {
            // Under systemd standard output goes to the journal too: marked as an error there.
            std::printf("%s%s\n", JournalStream::wanted() ? "<3>" : "", failure.c_str());
            std::fflush(stdout);
            const char* verb = argc > 1 ? argv[1] : nullptr;
            if (!runsAsService(verb)) return -1;
            // Run by a service manager: it must hear of the failure (systemd
            // from the exit code, the Windows manager from the service's
            // status), and not take it for a clean stop.
            host.reportStartFailure(CServiceHost::kSetUpFailed);
            int result = host.start();
            return result != 0 ? result : CServiceHost::kSetUpFailed;
        }
        setUpLog(host, config, serviceName, path);
    }
    return carryOut(host, argc > 1 ? argv[1] : nullptr, serviceName);
}
