// Net: the few socket calls the bundled plug-ins need, the same on Windows
// (Winsock) and Linux (BSD sockets). Sockets made here are non-blocking
// unless a function says otherwise, and never inherited by child processes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ostra_net {

// A socket handle: SOCKET on Windows, a file descriptor on Linux.
using Socket = std::intptr_t;
constexpr Socket kInvalidSocket = -1;

// Makes sockets usable in this process (WSAStartup on Windows, SIGPIPE
// ignored for sends on Linux). Safe to call many times, from any thread.
bool initialise();

// Sets what a listening socket needs before bind(): its address reusable
// at once after a restart, but never shared with a second listener (Linux:
// SO_REUSEADDR and no SO_REUSEPORT; Windows: SO_EXCLUSIVEADDRUSE).
void setListenerOptions(Socket socket);

// A listening TCP socket on `bind`:`port` (port 0: any free port, which
// `boundPort` then tells). Reuses the address so a restart does not wait
// for old connections. When a service manager passed the process a
// listening socket on exactly that address and port, a duplicate of it
// (common/InheritedSockets.h). Invalid socket and `error` set on failure.
Socket listenTcp(const std::string& bind, int port, int backlog, int* boundPort,
                 std::string& error);

// The next pending connection, non-blocking; invalid when none is waiting
// or accepting failed (`failed` then true: out of descriptors, say).
Socket acceptConnection(Socket listener, bool* failed = nullptr);

// The address of a connected socket's peer, "192.0.2.7:50123" or
// "[2001:db8::7]:50123"; "?" when the system cannot tell.
std::string peerName(Socket socket);
// A blocking connection to `host`:`port` (for clients and tests).
Socket connectTcp(const std::string& host, int port, std::string& error);

// Sends what the socket takes now: bytes sent, kWouldBlock, or kFailed.
// Receives what is there: bytes read (> 0), 0 when the peer closed,
// kWouldBlock, or kFailed.
constexpr long kWouldBlock = -1;
constexpr long kFailed = -2;
long sendSome(Socket socket, const char* data, std::size_t size);
long receiveSome(Socket socket, char* buffer, std::size_t size);

// Blocking helpers for clients: the whole buffer, or false. A receive
// timeout in milliseconds (0: none) makes receiveSome give up with
// kWouldBlock.
bool sendAll(Socket socket, const std::string& data);
void setReceiveTimeout(Socket socket, int milliseconds);

void closeSocket(Socket socket);
// Says that nothing more will be sent on `socket`; receiving goes on.
void shutdownSending(Socket socket);

// Two connected, non-blocking sockets of this process: what is sent on
// `sender` can be received on `receiver` (a wake-up for a waiting thread).
// Linux: a Unix socket pair; Windows: a TCP connection over 127.0.0.1.
bool localSocketPair(Socket& receiver, Socket& sender, std::string& error);

// Waits up to `timeoutMs` for readiness of the given sockets.
struct PollEntry {
    Socket socket = kInvalidSocket;
    bool wantRead = false;
    bool wantWrite = false;
    bool readable = false;  // also set on hang-up and error: the read tells
    bool writable = false;
};
// The number of ready entries, 0 on timeout, -1 on failure.
int pollSockets(std::vector<PollEntry>& entries, int timeoutMs);

// How many sockets and files this process may hold open at once, after
// raising its own limit as far as the system allows (Linux: the soft
// descriptor limit up to the hard one); -1 where no such limit applies
// (Windows counts sockets against no per-process limit of this kind).
long openDescriptorLimit();

// The last socket error of the calling thread, as text.
std::string lastError();

}  // namespace ostra_net
