#include "AccessRules.h"

#include <cctype>
#include <string>

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

std::string presentedToken(const HttpRequest& request) {
    if (request.hasHeader("X-Ostra-Token")) return request.header("X-Ostra-Token");
    // The scheme's name is not case-sensitive ("Bearer", "bearer", ...).
    std::string authorization = request.header("Authorization");
    const std::string scheme = "bearer ";
    bool isBearer = authorization.size() > scheme.size();
    for (std::size_t i = 0; isBearer && i < scheme.size(); ++i)
        isBearer = std::tolower(static_cast<unsigned char>(authorization[i])) == scheme[i];
    if (isBearer) return authorization.substr(scheme.size());
    return request.param("token");
}

bool isPort(const std::string& text) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return std::stoi(text) <= 65535;
}

// "127.0.0.1:8765" -> "127.0.0.1"; "[::1]:8765" -> "[::1]". A Host that is
// not exactly a name or a name, a colon and a decimal port ("[::1]evil",
// "127.0.0.1:8765@evil.example", "localhost:1:2") gives "", no name at all.
std::string hostName(const std::string& host) {
    std::size_t nameEnd = !host.empty() && host[0] == '[' ? host.find(']') + 1 : host.find(':');
    if (nameEnd == 0) return "";  // "[" without "]", or no name before the colon
    if (nameEnd == std::string::npos || nameEnd == host.size()) return host;
    if (host[nameEnd] != ':' || !isPort(host.substr(nameEnd + 1))) return "";
    return host.substr(0, nameEnd);
}

// An IPv4 literal in 127.0.0.0/8: four decimal numbers up to 255, the first
// 127. A name that merely starts with "127." ("127.0.0.1.evil.example")
// is somebody's domain.
bool isLoopbackIPv4(const std::string& name) {
    int parts = 0;
    std::size_t at = 0;
    while (parts < 4) {
        std::size_t end = at;
        while (end < name.size() && end - at < 3 &&
               std::isdigit(static_cast<unsigned char>(name[end])))
            ++end;
        if (end == at || std::stoi(name.substr(at, end - at)) > 255) return false;
        if (parts == 0 && name.substr(at, end - at) != "127") return false;
        ++parts;
        if (parts < 4 && (end >= name.size() || name[end] != '.')) return false;
        at = end + 1;
        if (parts == 4) return end == name.size();
    }
    return false;
}

bool isLoopbackName(const std::string& name) {
    return name == "localhost" || name == "[::1]" || isLoopbackIPv4(name);
}

}  // namespace

bool isLoopbackBind(const std::string& bind) { return isLoopbackName(bind) || bind == "::1"; }

AccessVerdict checkAccess(const AccessRules& rules, const HttpRequest& request,
                          bool refuseCrossSite, bool needsToken, bool readsOnly) {
    std::string host = request.header("Host");
    if (rules.loopbackOnly && !isLoopbackName(hostName(host)))
        return {403, "this console answers only requests addressed to the local machine"};
    if (needsToken && !rules.token.empty()) {
        const std::string presented = presentedToken(request);
        const bool controls = sameSecret(presented, rules.token);
        const bool reads = !rules.readToken.empty() && sameSecret(presented, rules.readToken);
        if (!controls && !reads) return {401, "a valid token is required"};
        if (!controls && !readsOnly) return {403, "this token may only read"};
    }
    if (refuseCrossSite) {
        std::string site = request.header("Sec-Fetch-Site");
        if (!site.empty() && site != "same-origin" && site != "none")
            return {403, "cross-site requests are refused"};
        std::string origin = request.header("Origin");
        if (!origin.empty() && origin != "http://" + host)
            return {403, "cross-site requests are refused"};
    }
    return {};
}

}  // namespace webcontrol
