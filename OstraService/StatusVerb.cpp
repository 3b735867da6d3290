#include "OstraService/StatusVerb.h"

#include <chrono>

#include "OstraService/StatusChannel.h"
#include "platform/console_output.h"
#include "platform/local_channel.h"

namespace status_verb {

namespace {

int ask(const std::string& serviceName, const char* purpose, std::chrono::milliseconds limit) {
    const std::string address = ostra::localChannelAddress(serviceName, purpose);
    std::string received, whyNot;
    StatusReply reply;
    auto complete = [&reply](const std::string& soFar) { return decodeStatusReply(soFar, reply); };
    switch (ostra::readLocalChannel(address, limit, complete, received, whyNot)) {
        case ostra::LocalChannelRead::kRead:
            if (!decodeStatusReply(received, reply)) break;
            ostra::writeText(stdout, reply.text);
            return reply.exitCode;
        case ostra::LocalChannelRead::kNoServer:
            ostra::writeText(stdout,
                             serviceName + ": not running (nothing answers at " + address + ")\n");
            return kStatusNotRunning;
        case ostra::LocalChannelRead::kRefused:
            ostra::writeText(stderr,
                             serviceName + ": access refused; only the service's account, " +
                                 "root or an Administrator may ask for its " + purpose + "\n");
            return kStatusUnknown;
        case ostra::LocalChannelRead::kFailed:
            ostra::writeText(stderr, serviceName + ": " + purpose + " unknown: " + whyNot + "\n");
            return kStatusUnknown;
    }
    ostra::writeText(stderr, serviceName + ": " + purpose + " unknown: a malformed reply from " +
                                 address + "\n");
    return kStatusUnknown;
}

}  // namespace

int run(const std::string& serviceName) {
    // A host answers at once unless a protocol's start holds its lock:
    // wait as long as a slow start may take.
    return ask(serviceName, "status", std::chrono::seconds(10));
}

int reload(const std::string& serviceName) {
    // A reload stops and starts the protocols that changed, and a database's
    // start may wait for its server: within systemd's usual reload limit.
    return ask(serviceName, "reload", std::chrono::seconds(85));
}

}  // namespace status_verb
