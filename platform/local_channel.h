// A local channel: a running host hands a short reply to programs of the
// same machine that connect to it, without any network.
//
//   Linux:   a unix stream socket, a file of mode 0600 (only its owner, the
//            host's account, and root may connect); a connected peer whose
//            uid is neither 0 nor the host's effective uid is closed at once.
//   Windows: a named pipe whose security descriptor admits LocalSystem,
//            Administrators and the account that created it, and refuses
//            remote clients.
//
// The server never interprets what a client sends; a client that connects
// and never reads costs it at most the send limit given to serve(). On
// Linux a client asks by sending a byte once connected (readLocalChannel
// does): a peer that sends nothing within 200 ms, such as a host starting
// beside this one that connects to see whether this one lives, gets no
// reply and asks for nothing.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace ostra {

// The address of the channel of service `serviceName` for `purpose`
// ("status" or "reload": one channel each, so that a client asks by
// connecting and the server reads nothing), for the executable that is
// running: Linux "<executable's folder>/<name>.<purpose>"; Windows
// "\\.\pipe\OstraService-<name>-<hash of the executable's folder>-<purpose>"
// (pipe names are machine-wide: the hash keeps copies of the host in
// different folders apart, as the socket file beside each does on Linux).
std::string localChannelAddress(const std::string& serviceName, const char* purpose = "status");

// Where the running host opens its channel: the address above, except on
// Linux under a unit that gives the service a runtime folder of its own
// (systemd's RuntimeDirectory=, whose path arrives in $RUNTIME_DIRECTORY):
// then "<that folder>/<name>.<purpose>". A service that may not write beside
// its executable (a packaged one, run as its own user) serves there, and
// its package puts a link to it beside the executable, which clients
// follow.
std::string localChannelServingAddress(const std::string& serviceName,
                                       const char* purpose = "status");

class LocalChannelServer {
public:
    enum class OpenResult {
        kOpened,
        kInUse,   // another live process serves this address: left alone
        kFailed,  // whyNot says why (on Linux, say, a path too long for a socket)
    };

    LocalChannelServer();
    // Closes the channel; on Linux also removes the socket file, unless
    // another process has replaced it meanwhile.
    ~LocalChannelServer();
    LocalChannelServer(const LocalChannelServer&) = delete;
    LocalChannelServer& operator=(const LocalChannelServer&) = delete;

    // Opens the channel at `address`. On Linux a socket file that nobody
    // answers on (left by a host that was killed) is replaced; a file that
    // is not a socket is not touched. Call once.
    OpenResult open(const std::string& address, std::string& whyNot);

    // Serves clients one at a time until stop(): for each admitted client,
    // calls `reply`, writes its result within `sendLimit` (a client that
    // does not take it loses it) and disconnects the client. Blocks; run it
    // on one thread, after a successful open().
    void serve(const std::function<std::string()>& reply, std::chrono::milliseconds sendLimit);

    // Makes serve() return promptly, also from inside a write that waits;
    // when serve() has not begun yet, it returns at once. Thread safe.
    void stop();

private:
    struct State;
    std::unique_ptr<State> state_;
};

enum class LocalChannelRead {
    kRead,      // `reply` holds what the server sent
    kNoServer,  // nothing serves the address: no such host runs
    kRefused,   // the system refused the connection, or the server closed
                // it without a byte (it does so to peers it does not admit)
    kFailed,    // whyNot says why (no reply within the time, say)
};

// Connects to the channel at `address` and reads the server's reply until
// `complete(reply)` is true or the server closes; all within `limit`.
LocalChannelRead readLocalChannel(const std::string& address, std::chrono::milliseconds limit,
                                  const std::function<bool(const std::string&)>& complete,
                                  std::string& reply, std::string& whyNot);

}  // namespace ostra
