// The addresses `check` finds the configuration's listeners on, and
// whether two of them would keep each other from listening.
#pragma once

#include <string>

namespace listen_address {

// Whether `bind` reaches this machine only, as the web console tells it.
bool isLoopback(const std::string& bind);

// A bind address as the socket layer takes it: "" is every IPv4 address,
// a name like "localhost" its IPv4 address, brackets dropped.
std::string boundAddress(std::string bind);

// Whether two listeners on one port would keep each other from listening:
// the same address, or one of them on every address of the other's family
// ("::" takes IPv4 as well where the system maps it).
bool clash(const std::string& a, const std::string& b);

// "address:port", an IPv6 address in brackets.
std::string endpoint(const std::string& address, long long port);

}  // namespace listen_address
