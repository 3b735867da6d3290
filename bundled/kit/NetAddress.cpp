#include "NetAddress.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#endif

#include <cstring>

namespace ostra_net {

bool resolveIPv4(const std::string& host, int port, sockaddr_in& address, std::string& error) {
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(port));
    if (host.empty() || host == "0.0.0.0") {
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (status != 0 || !found) {
        error = "cannot resolve " + host + ": " + gai_strerror(status);
        return false;
    }
    address.sin_addr = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

}  // namespace ostra_net
