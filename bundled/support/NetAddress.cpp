#include "NetAddress.h"

#include "Net.h"

#ifndef _WIN32
#include <arpa/inet.h>
#include <netdb.h>
#endif

#include <cstring>

namespace ostra_net {

namespace {

void setIPv4(SocketAddress& address, const in_addr& host, int port) {
    auto* ipv4 = reinterpret_cast<sockaddr_in*>(&address.storage);
    ipv4->sin_family = AF_INET;
    ipv4->sin_port = htons(static_cast<unsigned short>(port));
    ipv4->sin_addr = host;
    address.length = sizeof(sockaddr_in);
}

void setIPv6(SocketAddress& address, const in6_addr& host, int port) {
    auto* ipv6 = reinterpret_cast<sockaddr_in6*>(&address.storage);
    ipv6->sin6_family = AF_INET6;
    ipv6->sin6_port = htons(static_cast<unsigned short>(port));
    ipv6->sin6_addr = host;
    address.length = sizeof(sockaddr_in6);
}

bool lookUp(const std::string& host, int family, int port, SocketAddress& address, int* status) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    *status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (*status != 0 || !found) return false;
    if (found->ai_family == AF_INET)
        setIPv4(address, reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, port);
    else
        setIPv6(address, reinterpret_cast<sockaddr_in6*>(found->ai_addr)->sin6_addr, port);
    freeaddrinfo(found);
    return true;
}

}  // namespace

bool resolveAddress(const std::string& host, int port, SocketAddress& address, std::string& error) {
    address = SocketAddress();
    in_addr ipv4{};
    in6_addr ipv6{};
    std::string bare = host;
    if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']')
        bare = bare.substr(1, bare.size() - 2);
    if (bare.empty() || bare == "0.0.0.0") {
        ipv4.s_addr = htonl(INADDR_ANY);
        setIPv4(address, ipv4, port);
        return true;
    }
    if (inet_pton(AF_INET, bare.c_str(), &ipv4) == 1) {
        setIPv4(address, ipv4, port);
        return true;
    }
    if (inet_pton(AF_INET6, bare.c_str(), &ipv6) == 1) {
        setIPv6(address, ipv6, port);
        return true;
    }
    int status = 0;
    if (lookUp(bare, AF_INET, port, address, &status) ||
        lookUp(bare, AF_INET6, port, address, &status))
        return true;
    error = "cannot resolve " + host + ": " + gai_strerror(status);
    return false;
}

int portOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

std::string peerName(Socket socket) {
    SocketAddress address;
    socklen_t length = sizeof(address.storage);
#ifdef _WIN32
    int got = ::getpeername(static_cast<SOCKET>(socket),
                            reinterpret_cast<sockaddr*>(&address.storage), &length);
#else
    int got = ::getpeername(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&address.storage),
                            &length);
#endif
    char host[64], port[16];
    if (got != 0 || ::getnameinfo(address.get(), length, host, sizeof host, port, sizeof port,
                                  NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    if (address.family() == AF_INET6) return std::string("[") + host + "]:" + port;
    return std::string(host) + ":" + port;
}

}  // namespace ostra_net
