// An IPv4 address and port for the socket calls of Net_*.cpp: the one part
// of them that is the same on both platforms.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#endif

#include <string>

namespace ostra_net {

// `host` (a dotted address, a name, or empty / "0.0.0.0" for any) and `port`
// as a socket address. False with `error` set when the name does not resolve.
bool resolveIPv4(const std::string& host, int port, sockaddr_in& address, std::string& error);

}  // namespace ostra_net
