// The running host's answer to `OstraService status`: a local channel
// (platform/local_channel.h) served by one thread, each client getting the
// host's state and a table of its protocols, then disconnected.
//
// The reply on the wire:
//
//   OSTRA-STATUS <exit code> <length>\n<text>
//
// <exit code> is what `status` ends with (see StatusExit), <length> the
// number of bytes of <text>: lines in the host's message bytes, each ending
// "\n", ready to print. A reply is complete once <length> bytes of text
// have arrived, so the client needs no end of stream.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/local_channel.h"

class CLog;
class Record;

// The exit codes of `status`, after the LSB's for init scripts, which
// systemctl uses too.
enum StatusExit {
    kStatusRunning = 0,     // every protocol not stopped by a command runs
    kStatusFailing = 1,     // a protocol is FAILING
    kStatusNotRunning = 3,  // no host of that name runs (or it is stopping)
    kStatusUnknown = 4,     // access refused, or no usable reply
};

struct StatusReply {
    int exitCode = kStatusUnknown;
    std::string text;
};

// The reply built from the host's answer to a METRICS request (the keys
// are in plugin/CControlPlugin.h); `stopping`: the stop sequence has begun.
StatusReply statusReply(const std::string& serviceName, bool stopping, const Record& metrics);

// `reply` as it goes on the wire.
std::string encodeStatusReply(const StatusReply& reply);
// Reads a reply from what has arrived so far: false while it is incomplete
// or when it is malformed.
bool decodeStatusReply(const std::string& received, StatusReply& reply);

class StatusChannel {
public:
    // How long a client that does not read may hold the channel's thread.
    static constexpr std::chrono::seconds kSendLimit{1};

    // Opens the channel of `serviceName` for `purpose` (local_channel.h) and
    // serves it on a thread of its own, each client getting `reply()`
    // (called on that thread). A channel that cannot be opened costs one
    // ERROR line in `log`; the host runs on without it.
    StatusChannel(CLog& log, const std::string& serviceName, std::function<std::string()> reply,
                  const char* purpose = "status");
    // Ends the thread, promptly even while it writes to a client, and
    // closes the channel.
    ~StatusChannel();
    StatusChannel(const StatusChannel&) = delete;
    StatusChannel& operator=(const StatusChannel&) = delete;

private:
    ostra::LocalChannelServer server_;
    std::thread thread_;
};
