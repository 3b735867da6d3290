#include "OstraService/ListenAddress.h"

namespace listen_address {

bool isLoopback(const std::string& bind) {
    if (bind == "localhost" || bind == "::1" || bind == "[::1]") return true;
    int parts = 0;
    size_t at = 0;
    while (parts < 4) {
        size_t end = bind.find_first_not_of("0123456789", at);
        if (end == std::string::npos) end = bind.size();
        if (end == at || end - at > 3 || std::stoi(bind.substr(at, end - at)) > 255) return false;
        if (parts == 0 && bind.substr(at, end - at) != "127") return false;
        ++parts;
        if (parts == 4) return end == bind.size();
        if (end >= bind.size() || bind[end] != '.') return false;
        at = end + 1;
    }
    return false;
}

std::string boundAddress(std::string bind) {
    if (bind.size() >= 2 && bind.front() == '[' && bind.back() == ']')
        bind = bind.substr(1, bind.size() - 2);
    if (bind.empty()) return "0.0.0.0";
    if (bind == "localhost") return "127.0.0.1";
    return bind;
}

bool clash(const std::string& a, const std::string& b) {
    auto everyAddress = [](const std::string& bind, const std::string& other) {
        return bind == "::" || (bind == "0.0.0.0" && other.find(':') == std::string::npos);
    };
    return a == b || everyAddress(a, b) || everyAddress(b, a);
}

std::string endpoint(const std::string& address, long long port) {
    bool ipv6 = address.find(':') != std::string::npos;
    return (ipv6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

}  // namespace listen_address
