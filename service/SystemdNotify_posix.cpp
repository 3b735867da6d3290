#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "service/SystemdNotify.h"

namespace systemd {

bool notify(const char* state) {
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (path == nullptr || (path[0] != '/' && path[0] != '@')) return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path, length);
    if (address.sun_path[0] == '@') address.sun_path[0] = '\0';  // abstract namespace

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    socklen_t addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    bool sent = sendto(fd, state, std::strlen(state), MSG_NOSIGNAL,
                       reinterpret_cast<sockaddr*>(&address), addressLength) >= 0;
    close(fd);
    return sent;
}

}  // namespace systemd
