#include "OstraService/ConsoleMode.h"

#include "platform/console_output.h"

#include "OstraService/Messages.h"
#include "OstraService/ServiceHost.h"
#include "service/StopSignals.h"

void runConsole(CServiceHost& host) {
    // Before serve starts any thread. A hang-up is the terminal going away.
    StopSignals signals(host, StopSignals::HangUp::kStops);
    ostra::writeText(stdout, messages::kConsoleStarted);
    host.logMilestone(__LINE__, "Console started");
    host.serve(true, CServiceHost::kStopKey);
    host.logMilestone(__LINE__, "Console stopped");
    ostra::writeText(stdout, messages::kConsoleStopped);
}
