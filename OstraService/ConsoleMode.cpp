#include "OstraService/ConsoleMode.h"

#include "platform/console_output.h"

#include "OstraService/Messages.h"
#include "OstraService/ServiceHost.h"
#include "service/StopSignals.h"

namespace {
const char kSource[] = "OstraService";
}

void runConsole(CServiceHost& host) {
    // Before serve starts any thread. A hang-up is the terminal going away.
    StopSignals signals(host, StopSignals::HangUp::kStops);
    ostra::writeText(stdout, messages::kConsoleStarted);
    host.getLog(nullptr)->log(LOG_LEVEL_INFO, kSource, __LINE__, "Console started");
    host.serve(true, CServiceHost::kStopKey);
    host.getLog(nullptr)->log(LOG_LEVEL_INFO, kSource, __LINE__, "Console stopped");
    ostra::writeText(stdout, messages::kConsoleStopped);
}
