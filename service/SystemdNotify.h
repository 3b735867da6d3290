// Readiness and stop notices to systemd (the sd_notify protocol), sent only
// when systemd asks for them through $NOTIFY_SOCKET.
#pragma once

namespace systemd {

// Sends `state` (e.g. "READY=1"); false when not asked for or not sent.
bool notify(const char* state);

}  // namespace systemd
