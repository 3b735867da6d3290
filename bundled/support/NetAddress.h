// A socket address (IPv4 or IPv6) and port for the socket calls of
// Net_*.cpp: the one part of them that is the same on both platforms.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <string>

namespace ostra_net {

struct SocketAddress {
    sockaddr_storage storage{};
    int length = 0;  // of the address in `storage`
    int family() const { return storage.ss_family; }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};

// `host` as a socket address with `port`: empty or "0.0.0.0" for any IPv4
// address, "::" for any IPv6 one, a dotted or an IPv6 address (with or
// without brackets), or a name (its IPv4 address when it has one, as a
// name like "localhost" always meant here). False with `error` set when
// the name does not resolve.
bool resolveAddress(const std::string& host, int port, SocketAddress& address, std::string& error);

// The port of a bound address.
int portOf(const sockaddr_storage& address);

}  // namespace ostra_net
