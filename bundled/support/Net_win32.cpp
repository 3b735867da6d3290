#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <mutex>

#include "Net.h"
#include "NetAddress.h"
#include "SystemError.h"

namespace ostra_net {

namespace {

SOCKET handle(Socket socket) { return static_cast<SOCKET>(socket); }
Socket wrap(SOCKET socket) {
    return socket == INVALID_SOCKET ? kInvalidSocket : static_cast<Socket>(socket);
}

// Sockets must not leak into processes the host starts.
SOCKET newSocket(int family) {
    return WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
}

void setNonBlocking(SOCKET socket) {
    u_long on = 1;
    ioctlsocket(socket, FIONBIO, &on);
}

void setNoDelay(SOCKET socket) {
    BOOL on = TRUE;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

bool wouldBlock() {
    int code = WSAGetLastError();
    return code == WSAEWOULDBLOCK || code == WSAEINTR || code == WSAETIMEDOUT;
}

}  // namespace

bool initialise() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] {
        WSADATA data;
        ready = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    });
    return ready;
}

Socket listenTcp(const std::string& bind, int port, int backlog, int* boundPort,
                 std::string& error) {
    SocketAddress address;
    if (!resolveAddress(bind, port, address, error)) return kInvalidSocket;
    SOCKET socket = newSocket(address.family());
    if (socket == INVALID_SOCKET) {
        error = lastError();
        return kInvalidSocket;
    }
    setListenerOptions(wrap(socket));
    if (address.family() == AF_INET6) {
        DWORD only = 1;  // "::" means IPv6 only, as "0.0.0.0" means IPv4 only
        setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&only),
                   sizeof only);
    }
    if (::bind(socket, address.get(), address.length) != 0 || ::listen(socket, backlog) != 0) {
        error = "cannot listen on " + bind + ":" + std::to_string(port) + ": " + lastError();
        closesocket(socket);
        return kInvalidSocket;
    }
    setNonBlocking(socket);
    if (boundPort) {
        int size = sizeof address.storage;
        getsockname(socket, reinterpret_cast<sockaddr*>(&address.storage), &size);
        *boundPort = portOf(address.storage);
    }
    return wrap(socket);
}

void setListenerOptions(Socket socket) {
    // Exclusive use: on Windows SO_REUSEADDR would let another process take
    // the port over; a closed listener's port is free again at once anyway.
    BOOL on = TRUE;
    setsockopt(handle(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
               sizeof on);
}

Socket acceptConnection(Socket listener, bool* failed) {
    SOCKET socket = ::accept(handle(listener), nullptr, nullptr);
    if (socket == INVALID_SOCKET) {
        // A connection reset before it was accepted is no failure of ours.
        if (failed) *failed = !wouldBlock() && WSAGetLastError() != WSAECONNRESET;
        return kInvalidSocket;
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    setNonBlocking(socket);
    setNoDelay(socket);
    return wrap(socket);
}

Socket connectTcp(const std::string& host, int port, std::string& error) {
    SocketAddress address;
    if (!resolveAddress(host, port, address, error)) return kInvalidSocket;
    SOCKET socket = newSocket(address.family());
    if (socket == INVALID_SOCKET) {
        error = lastError();
        return kInvalidSocket;
    }
    if (::connect(socket, address.get(), address.length) != 0) {
        error = "cannot connect to " + host + ":" + std::to_string(port) + ": " + lastError();
        closesocket(socket);
        return kInvalidSocket;
    }
    setNoDelay(socket);
    return wrap(socket);
}

long sendSome(Socket socket, const char* data, std::size_t size) {
    int sent = ::send(handle(socket), data, static_cast<int>(size), 0);
    if (sent != SOCKET_ERROR) return sent;
    return wouldBlock() ? kWouldBlock : kFailed;
}

long receiveSome(Socket socket, char* buffer, std::size_t size) {
    int received = ::recv(handle(socket), buffer, static_cast<int>(size), 0);
    if (received != SOCKET_ERROR) return received;
    return wouldBlock() ? kWouldBlock : kFailed;
}

bool sendAll(Socket socket, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        int sent =
            ::send(handle(socket), data.data() + done, static_cast<int>(data.size() - done), 0);
        if (sent == SOCKET_ERROR || sent == 0) return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

void setReceiveTimeout(Socket socket, int milliseconds) {
    DWORD timeout = static_cast<DWORD>(milliseconds);
    setsockopt(handle(socket), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
               sizeof timeout);
}

bool localSocketPair(Socket& receiver, Socket& sender, std::string& error) {
    // Windows has no socket pair: a connection over the loopback address.
    int port = 0;
    Socket listener = listenTcp("127.0.0.1", 0, 1, &port, error);
    if (listener == kInvalidSocket) return false;
    sender = connectTcp("127.0.0.1", port, error);
    receiver = sender == kInvalidSocket ? kInvalidSocket : acceptConnection(listener);
    closeSocket(listener);
    if (receiver == kInvalidSocket) {
        if (error.empty()) error = "cannot make a socket pair: " + lastError();
        closeSocket(sender);
        sender = kInvalidSocket;
        return false;
    }
    setNonBlocking(handle(sender));
    return true;
}

void shutdownSending(Socket socket) {
    if (socket != kInvalidSocket) shutdown(handle(socket), SD_SEND);
}

void closeSocket(Socket socket) {
    if (socket != kInvalidSocket) closesocket(handle(socket));
}

int pollSockets(std::vector<PollEntry>& entries, int timeoutMs) {
    std::vector<WSAPOLLFD> polled(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        polled[i].fd = handle(entries[i].socket);
        polled[i].events = static_cast<short>((entries[i].wantRead ? POLLRDNORM : 0) |
                                              (entries[i].wantWrite ? POLLWRNORM : 0));
    }
    if (polled.empty()) {
        Sleep(static_cast<DWORD>(timeoutMs));
        return 0;
    }
    int ready = WSAPoll(polled.data(), static_cast<ULONG>(polled.size()), timeoutMs);
    if (ready == SOCKET_ERROR) return -1;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        short events = polled[i].revents;
        entries[i].readable = events & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL);
        entries[i].writable = events & POLLWRNORM;
    }
    return ready;
}

std::string lastError() {
    int code = WSAGetLastError();
    return code == 0 ? "socket error" : bundled_support::systemErrorText(code);
}

long openDescriptorLimit() { return -1; }

}  // namespace ostra_net
