// Listening sockets that a service manager opened for the host and keeps
// open across its restarts (systemd's socket units: LISTEN_FDS and
// LISTEN_PID). While the host restarts or is upgraded, the kernel queues
// new connections on them instead of refusing them, and the new process
// answers them.
//
// A plug-in that listens asks here before it binds a socket of its own:
//
//   int listener = ostraInheritedListener("127.0.0.1", 7765);
//   if (listener < 0) listener = /* socket(), bind(), listen() as before */;
//
// Part of ostracommon: a plug-in that calls it needs the host's ostracommon
// of this kit or later.
#pragma once

#include "common/ostracommon_export.h"

// A descriptor of the inherited listening TCP socket bound to exactly
// `address` (a numeric IPv4 or IPv6 address, "0.0.0.0" or "::" for every
// address, or a name that resolves to one) and `port`, or -1 when none
// matches. The descriptor is a duplicate, the caller's to close: the host
// keeps the original, so connections queue on it while the plug-in is
// stopped and the next start gets it again. Always -1 on Windows and where
// no service manager passed sockets. Safe to call from any thread.
extern "C" OSTRACOMMON_API int ostraInheritedListener(const char* address, int port);
