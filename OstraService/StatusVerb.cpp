#include "OstraService/StatusVerb.h"

#include <chrono>

#include "OstraService/StatusChannel.h"
#include "platform/console_output.h"
#include "platform/local_channel.h"

namespace status_verb {

int run(const std::string& serviceName) {
    // A host answers at once unless a protocol's start holds its lock:
    // wait as long as a slow start may take.
    constexpr std::chrono::seconds kReplyLimit{10};
    const std::string address = ostra::localChannelAddress(serviceName);
    std::string received, whyNot;
    StatusReply reply;
    auto complete = [&reply](const std::string& soFar) { return decodeStatusReply(soFar, reply); };
    switch (ostra::readLocalChannel(address, kReplyLimit, complete, received, whyNot)) {
        case ostra::LocalChannelRead::kRead:
            if (!decodeStatusReply(received, reply)) break;
            ostra::writeText(stdout, reply.text);
            return reply.exitCode;
        case ostra::LocalChannelRead::kNoServer:
            ostra::writeText(stdout,
                             serviceName + ": not running (nothing answers at " + address + ")\n");
            return kStatusNotRunning;
        case ostra::LocalChannelRead::kRefused:
            ostra::writeText(stderr, serviceName +
                                         ": access refused; only the service's account, " +
                                         "root or an Administrator may ask for its status\n");
            return kStatusUnknown;
        case ostra::LocalChannelRead::kFailed:
            ostra::writeText(stderr, serviceName + ": status unknown: " + whyNot + "\n");
            return kStatusUnknown;
    }
    ostra::writeText(stderr,
                     serviceName + ": status unknown: a malformed reply from " + address + "\n");
    return kStatusUnknown;
}

}  // namespace status_verb
