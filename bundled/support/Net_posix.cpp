#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "Net.h"

#include "NetAddress.h"
#include "common/InheritedSockets.h"

namespace ostra_net {

namespace {

int fd(Socket socket) { return static_cast<int>(socket); }

void setNonBlocking(int socket) { fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) | O_NONBLOCK); }

bool wouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; }

}  // namespace

bool initialise() {
    static std::once_flag once;
    // A peer that closes while we send must cost a failed send, not the
    // process: MSG_NOSIGNAL covers sends, this covers everything else.
    std::call_once(once, [] { signal(SIGPIPE, SIG_IGN); });
    return true;
}

Socket listenTcp(const std::string& bind, int port, int backlog, int* boundPort,
                 std::string& error) {
    SocketAddress address;
    if (!resolveAddress(bind, port, address, error)) return kInvalidSocket;
    // One a service manager keeps open across restarts, when it passed one.
    const int inherited = ostraInheritedListener(bind.c_str(), port);
    if (inherited >= 0) {
        setNonBlocking(inherited);
        if (boundPort) *boundPort = port;
        return inherited;
    }
    int socket = ::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        error = lastError();
        return kInvalidSocket;
    }
    setListenerOptions(socket);
    if (address.family() == AF_INET6) {
        int only = 1;  // "::" means IPv6 only, as "0.0.0.0" means IPv4 only
        setsockopt(socket, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    }
    if (::bind(socket, address.get(), static_cast<socklen_t>(address.length)) != 0 ||
        ::listen(socket, backlog) != 0) {
        error = "cannot listen on " + bind + ":" + std::to_string(port) + ": " + lastError();
        ::close(socket);
        return kInvalidSocket;
    }
    setNonBlocking(socket);
    if (boundPort) {
        socklen_t size = sizeof address.storage;
        getsockname(socket, reinterpret_cast<sockaddr*>(&address.storage), &size);
        *boundPort = portOf(address.storage);
    }
    return socket;
}

void setListenerOptions(Socket socket) {
    int on = 1;
    setsockopt(fd(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

Socket acceptConnection(Socket listener, bool* failed) {
    int socket = ::accept4(fd(listener), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (socket < 0) {
        // A connection reset before it was accepted is no failure of ours.
        if (failed) *failed = !wouldBlock() && errno != ECONNABORTED;
        return kInvalidSocket;
    }
    int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return socket;
}

Socket connectTcp(const std::string& host, int port, std::string& error) {
    SocketAddress address;
    if (!resolveAddress(host, port, address, error)) return kInvalidSocket;
    int socket = ::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        error = lastError();
        return kInvalidSocket;
    }
    if (::connect(socket, address.get(), static_cast<socklen_t>(address.length)) != 0) {
        error = "cannot connect to " + host + ":" + std::to_string(port) + ": " + lastError();
        ::close(socket);
        return kInvalidSocket;
    }
    int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return socket;
}

long sendSome(Socket socket, const char* data, std::size_t size) {
    ssize_t sent = ::send(fd(socket), data, size, MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<long>(sent);
    return wouldBlock() ? kWouldBlock : kFailed;
}

long receiveSome(Socket socket, char* buffer, std::size_t size) {
    ssize_t received = ::recv(fd(socket), buffer, size, 0);
    if (received >= 0) return static_cast<long>(received);
    return wouldBlock() ? kWouldBlock : kFailed;
}

bool sendAll(Socket socket, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t sent = ::send(fd(socket), data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

void setReceiveTimeout(Socket socket, int milliseconds) {
    timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
    setsockopt(fd(socket), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

bool localSocketPair(Socket& receiver, Socket& sender, std::string& error) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pair) != 0) {
        error = "cannot make a socket pair: " + lastError();
        return false;
    }
    receiver = pair[0];
    sender = pair[1];
    return true;
}

void shutdownSending(Socket socket) {
    if (socket != kInvalidSocket) ::shutdown(fd(socket), SHUT_WR);
}

void closeSocket(Socket socket) {
    if (socket != kInvalidSocket) ::close(fd(socket));
}

int pollSockets(std::vector<PollEntry>& entries, int timeoutMs) {
    std::vector<pollfd> polled(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        polled[i].fd = fd(entries[i].socket);
        polled[i].events = static_cast<short>((entries[i].wantRead ? POLLIN : 0) |
                                              (entries[i].wantWrite ? POLLOUT : 0));
    }
    int ready = ::poll(polled.data(), polled.size(), timeoutMs);
    if (ready < 0) return errno == EINTR ? 0 : -1;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        short events = polled[i].revents;
        entries[i].readable = events & (POLLIN | POLLHUP | POLLERR | POLLNVAL);
        entries[i].writable = events & POLLOUT;
    }
    return ready;
}

std::string lastError() { return std::strerror(errno); }

long openDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY) return -1;
    return static_cast<long>(limit.rlim_cur);
}

}  // namespace ostra_net
