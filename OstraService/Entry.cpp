#include "OstraService/Entry.h"
#include "common/InheritedSockets.h"

#include <cstdio>
#include <libconfig.h++>
#include <string>

#include "OstraService/ConfigCheck.h"
#include "OstraService/ConfigFile.h"
#include "OstraService/ConsoleMode.h"
#include "OstraService/JournalStream.h"
#include "OstraService/LogSetup.h"
#include "OstraService/Messages.h"
#include "OstraService/ServiceHost.h"
#include "OstraService/StatusVerb.h"
#include "OstraService/Text.h"
#include "platform/console_output.h"
#include "platform/event_log.h"

namespace {

const char kSource[] = "OstraService";
const char kDefaultServiceName[] = "OstraService";

// The outcome goes to the log and, for an operator at a terminal or
// console, to standard error as well: the log may be a file they do not see.
void logResult(CServiceHost& host, int result, const std::string& success,
               const std::string& failure) {
    const std::string& line = result == 0 ? success : failure;
    if (line.empty()) return;
    if (result == 0)
        host.logMilestone(__LINE__, line.c_str());
    else
        host.getLog(nullptr)->log(LOG_LEVEL_ERROR, kSource, __LINE__, line.c_str());
    if (ostra::isInteractive(stderr)) ostra::writeText(stderr, line + "\n");
}

int carryOut(CServiceHost& host, const char* verb, const std::string& serviceName) {
    const char* name = serviceName.c_str();
    if (text::equalsIgnoreCase(verb, "install")) {
        int result = host.install(name, name);
        logResult(host, result, messages::serviceInstalled(serviceName),
                  messages::serviceNotInstalled(serviceName));
        return result;
    }
    if (text::equalsIgnoreCase(verb, "remove") || text::equalsIgnoreCase(verb, "uninstall")) {
        int result = host.uninstall();
        logResult(host, result, messages::serviceRemoved(serviceName),
                  messages::serviceNotRemoved(serviceName));
        return result;
    }
    if (text::equalsIgnoreCase(verb, "start")) {
        int result = host.StartServiceA(name);
        logResult(host, result, "", messages::serviceNotStarted(serviceName));
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
        ostra::writeText(stdout, std::string(messages::kUsage) + messages::kMoreVerbs);
        return 1;
    }
    int result = host.start(text::equalsIgnoreCase(verb, CService::kServiceVerb));
    if (result != 0 && result == host.startFailure()) return result;  // said already
    logResult(host, result, "", messages::serviceNotStarted(verb ? verb : serviceName));
    return result;
}

// Every verb but these runs the process as the service ("service" always;
// no verb or another word only where a service manager started it).
bool runsAsService(const char* verb) {
    for (const char* other :
         {"install", "remove", "uninstall", "start", "stop", "console", "help", "?"})
        if (text::equalsIgnoreCase(verb, other)) return false;
    return true;
}

}  // namespace

int runEntry(int argc, char* argv[]) {
    // Before anything of the host exists: a check opens no log, no port and
    // starts no plug-in, whatever the configuration says.
    if (argc > 1 && text::equalsIgnoreCase(argv[1], "check"))
        return config_check::run(argc > 2 ? argv[2] : kDefaultServiceName);
    // Nor do `status` and `reload`: they only ask the running host.
    if (argc > 1 && text::equalsIgnoreCase(argv[1], "status"))
        return status_verb::run(argc > 2 ? argv[2] : kDefaultServiceName);
    if (argc > 1 && text::equalsIgnoreCase(argv[1], "reload"))
        return status_verb::reload(argc > 2 ? argv[2] : kDefaultServiceName);
    // The sockets a service manager passed are claimed before any thread
    // or plug-in runs (and before a plug-in could start a program that
    // would inherit the variables naming them).
    ostraInheritedListener(nullptr, 0);
    JournalStream journal;  // declared first: it outlives the host, whose log carries it
    CServiceHost host;
    if (JournalStream::wanted()) host.getLog(nullptr)->addStream(&journal);
    const std::string serviceName = argc > 2 ? argv[2] : kDefaultServiceName;
    host.setName(serviceName.c_str());
    host.enableStatusChannel();

    const std::string path = config_file::pathFor(serviceName);
    {
        libconfig::Config config;
        std::string failure, location;
        if (config_file::read(config, path, failure, &location) != config_file::ReadResult::kRead) {
            // Under systemd standard output goes to the journal too: marked as an error
            // there, and followed by where the fault is (the message names no line).
            const bool toJournal = ostra::goesToJournal(stdout);
            ostra::writeText(stdout, (toJournal ? "<3>" : "") + failure + "\n");
            if (toJournal && !location.empty()) ostra::writeText(stdout, "<3>" + location + "\n");
            const char* verb = argc > 1 ? argv[1] : nullptr;
            if (!runsAsService(verb)) return -1;
            // Run by a service manager: it must hear of the failure (systemd
            // from the exit code, the Windows manager from the service's
            // status), and not take it for a clean stop. Nobody reads a
            // service's standard output on Windows: the line also goes to
            // the log beside the executable and to the Event Log.
            CLog* log = host.getLog(logFilePath("", serviceName).c_str());
            log->log(LOG_LEVEL_ERROR, kSource, __LINE__, failure.c_str());
            if (!location.empty()) log->log(LOG_LEVEL_ERROR, kSource, __LINE__, location.c_str());
            ostra::reportErrorEvent(serviceName, failure);
            host.reportStartFailure(CServiceHost::kSetUpFailed);
            int result = host.start(text::equalsIgnoreCase(verb, CService::kServiceVerb));
            return result != 0 ? result : CServiceHost::kSetUpFailed;
        }
        setUpLog(host, config, serviceName, path);
        host.setWritableFolders(logFolders(config, serviceName));
        std::string account;
        config.lookupValue(config_file::settingPath(serviceName, "account"), account);
        host.setAccount(account);
        if (runsAsService(argc > 1 ? argv[1] : nullptr) && !host.hasLogFile())
            host.openLogFileOnFirstFailure(logFilePath("", serviceName));
    }
    return carryOut(host, argc > 1 ? argv[1] : nullptr, serviceName);
}
