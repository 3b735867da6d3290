#include "AccessRules.h"

#include <httplib.h>

namespace webcontrol {

namespace {

// Compares without stopping at the first difference, so the time taken
// tells nothing about how much of a guess was right.
bool sameSecret(const std::string& given, const std::string& expected) {
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < given.size(); ++i)
        difference |= static_cast<unsigned char>(given[i] ^ expected[i % expected.size()]);
    return difference == 0;
}

std::string presentedToken(const httplib::Request& request) {
    if (request.has_header("X-Ostra-Token")) return request.get_header_value("X-Ostra-Token");
    const std::string bearer = "Bearer ";
    std::string authorization = request.get_header_value("Authorization");
    if (authorization.compare(0, bearer.size(), bearer) == 0)
        return authorization.substr(bearer.size());
    return request.get_param_value("token");
}

// "127.0.0.1:8765" -> "127.0.0.1"; "[::1]:8765" -> "[::1]".
std::string hostName(const std::string& host) {
    if (!host.empty() && host[0] == '[') return host.substr(0, host.find(']') + 1);
    return host.substr(0, host.find(':'));
}

bool isLoopbackName(const std::string& name) {
    return name == "localhost" || name == "[::1]" || name.compare(0, 4, "127.") == 0;
}

}  // namespace

bool isLoopbackBind(const std::string& bind) { return isLoopbackName(bind) || bind == "::1"; }

AccessVerdict checkAccess(const AccessRules& rules, const httplib::Request& request,
                          bool changesState) {
    std::string host = request.get_header_value("Host");
    if (rules.loopbackOnly && !isLoopbackName(hostName(host)))
        return {403, "this console answers only requests addressed to the local machine"};
    if (!rules.token.empty() && !sameSecret(presentedToken(request), rules.token))
        return {401, "a valid token is required"};
    if (changesState) {
        std::string site = request.get_header_value("Sec-Fetch-Site");
        if (!site.empty() && site != "same-origin" && site != "none")
            return {403, "cross-site requests are refused"};
        std::string origin = request.get_header_value("Origin");
        if (!origin.empty() && origin != "http://" + host)
            return {403, "cross-site requests are refused"};
    }
    return {};
}

}  // namespace webcontrol
