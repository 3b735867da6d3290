#include "OstraService/ConsoleMode.h"

#include <cstdio>

#include "OstraService/Messages.h"
#include "OstraService/ServiceHost.h"
#include "service/StopSignals.h"

namespace {
const char kSource[] = "OstraService";
}

void runConsole(CServiceHost& host) {
    StopSignals signals(host);  // before serve starts any thread
    std::printf("%s", messages::kConsoleStarted);
    std::fflush(stdout);
    host.getLog(nullptr)->log(LOG_LEVEL_INFO, kSource, __LINE__, "Console started");
    host.serve(true, CServiceHost::kStopKey);
    host.getLog(nullptr)->log(LOG_LEVEL_INFO, kSource, __LINE__, "Console stopped");
    std::printf("%s", messages::kConsoleStopped);
    std::fflush(stdout);
}
