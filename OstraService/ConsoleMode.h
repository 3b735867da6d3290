// Console mode: the run sequence in the foreground, until S is pressed (or
// arrives on a piped standard input), or SIGINT/SIGTERM (Linux) or Ctrl+C
// (Windows) asks it to stop.
#pragma once

class CServiceHost;

void runConsole(CServiceHost& host);
