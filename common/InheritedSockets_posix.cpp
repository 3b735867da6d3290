#include "common/InheritedSockets.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Descriptors from 3 on, as many as LISTEN_FDS says, when LISTEN_PID is
// this process. Taken once; the variables are then removed, so that a
// program a plug-in starts does not take the sockets for its own.
const std::vector<int>& inheritedListeners() {
    static const std::vector<int> listeners = [] {
        std::vector<int> found;
        const char* pid = std::getenv("LISTEN_PID");
        const char* count = std::getenv("LISTEN_FDS");
        if (pid == nullptr || count == nullptr || std::atol(pid) != static_cast<long>(getpid()))
            return found;
        const long many = std::atol(count);
        for (long fd = 3; fd < 3 + many && fd < 3 + 1024; ++fd) {
            fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
            found.push_back(static_cast<int>(fd));
        }
        unsetenv("LISTEN_PID");
        unsetenv("LISTEN_FDS");
        unsetenv("LISTEN_FDNAMES");
        return found;
    }();
    return listeners;
}

bool isListeningStream(int fd) {
    int type = 0, listening = 0;
    socklen_t size = sizeof type;
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM) return false;
    size = sizeof listening;
    return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0;
}

bool sameAddress(const sockaddr_storage& bound, const addrinfo& wanted) {
    if (bound.ss_family != wanted.ai_family) return false;
    if (bound.ss_family == AF_INET) {
        const auto& a = reinterpret_cast<const sockaddr_in&>(bound);
        const auto& b = *reinterpret_cast<const sockaddr_in*>(wanted.ai_addr);
        return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
    }
    if (bound.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(bound);
        const auto& b = *reinterpret_cast<const sockaddr_in6*>(wanted.ai_addr);
        return a.sin6_port == b.sin6_port &&
               std::memcmp(&a.sin6_addr, &b.sin6_addr, sizeof a.sin6_addr) == 0;
    }
    return false;
}

}  // namespace

extern "C" int ostraInheritedListener(const char* address, int port) {
    const std::vector<int>& listeners = inheritedListeners();
    if (listeners.empty() || address == nullptr || port <= 0 || port > 65535) return -1;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(*address != '\0' ? address : nullptr, service.c_str(), &hints, &found) != 0)
        return -1;
    int match = -1;
    for (int fd : listeners) {
        sockaddr_storage bound{};
        socklen_t size = sizeof bound;
        if (!isListeningStream(fd) ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) != 0)
            continue;
        for (addrinfo* wanted = found; wanted != nullptr && match < 0; wanted = wanted->ai_next)
            if (sameAddress(bound, *wanted)) match = fd;
        if (match >= 0) break;
    }
    freeaddrinfo(found);
    return match >= 0 ? fcntl(match, F_DUPFD_CLOEXEC, 3) : -1;
}
