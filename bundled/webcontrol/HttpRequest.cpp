#include "HttpRequest.h"

#include <cctype>

namespace webcontrol {

namespace {

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// The characters of a method or a header name (RFC 9110's "token").
bool isTokenChar(char c) {
    static const std::string kExtra = "!#$%&'*+-.^_`|~";
    return std::isalnum(static_cast<unsigned char>(c)) || kExtra.find(c) != std::string::npos;
}

bool isToken(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text)
        if (!isTokenChar(c)) return false;
    return true;
}

std::string trimmed(const std::string& text) {
    std::size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return std::string();
    std::size_t end = text.find_last_not_of(" \t");
    return text.substr(begin, end - begin + 1);
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

HeadFault fault(int status, const char* reason) { return {status, reason}; }

HeadFault parseRequestLine(const std::string& line, const HeadLimits& limits,
                           HttpRequest& request) {
    std::size_t firstSpace = line.find(' ');
    std::size_t lastSpace = line.rfind(' ');
    if (firstSpace == std::string::npos || lastSpace == firstSpace)
        return fault(400, "malformed request line");
    request.method = line.substr(0, firstSpace);
    request.target = line.substr(firstSpace + 1, lastSpace - firstSpace - 1);
    std::string version = line.substr(lastSpace + 1);
    if (!isToken(request.method)) return fault(400, "malformed request line");
    if (request.target.size() > limits.maxTargetBytes) return fault(414, "request target too long");
    if (request.target.empty() || request.target[0] != '/')
        return fault(400, "the request target must be a path");
    for (char c : request.target)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f)
            return fault(400, "malformed request target");
    if (version.size() != 8 || version.compare(0, 7, "HTTP/1.") != 0 ||
        !std::isdigit(static_cast<unsigned char>(version[7])))
        return fault(505, "only HTTP/1.x is served");
    request.minorVersion = version[7] - '0';

    std::size_t question = request.target.find('?');
    request.query =
        question == std::string::npos ? std::string() : request.target.substr(question + 1);
    if (!percentDecode(request.target.substr(0, question), false, request.path))
        return fault(400, "malformed request target");
    return {};
}

HeadFault readContentLength(HttpRequest& request) {
    bool seen = false;
    for (const auto& field : request.headers) {
        if (!sameName(field.first, "Content-Length")) continue;
        const std::string& value = field.second;
        if (value.empty() || value.size() > 18) return fault(400, "malformed Content-Length");
        for (char c : value)
            if (!std::isdigit(static_cast<unsigned char>(c)))
                return fault(400, "malformed Content-Length");
        std::size_t length = std::stoull(value);
        if (seen && length != request.contentLength)
            return fault(400, "conflicting Content-Length headers");
        request.contentLength = length;
        seen = true;
    }
    return {};
}

}  // namespace

bool percentDecode(const std::string& text, bool plusIsBlank, std::string& decoded) {
    decoded.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+' && plusIsBlank) {
            decoded += ' ';
        } else if (c == '%') {
            if (i + 2 >= text.size()) return false;
            int high = hexValue(text[i + 1]);
            int low = hexValue(text[i + 2]);
            if (high < 0 || low < 0 || (high == 0 && low == 0)) return false;
            decoded += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            decoded += c;
        }
    }
    return true;
}

bool HttpRequest::hasHeader(const std::string& name) const {
    for (const auto& field : headers)
        if (sameName(field.first, name)) return true;
    return false;
}

std::string HttpRequest::header(const std::string& name) const {
    for (const auto& field : headers)
        if (sameName(field.first, name)) return field.second;
    return std::string();
}

std::string HttpRequest::param(const std::string& name) const {
    std::size_t at = 0;
    while (at <= query.size()) {
        std::size_t end = query.find('&', at);
        if (end == std::string::npos) end = query.size();
        std::string pair = query.substr(at, end - at);
        std::size_t equals = pair.find('=');
        std::string key, value;
        if (percentDecode(pair.substr(0, equals), true, key) && key == name &&
            percentDecode(equals == std::string::npos ? "" : pair.substr(equals + 1), true, value))
            return value;
        at = end + 1;
    }
    return std::string();
}

bool HttpRequest::hasOption(const std::string& name, const std::string& option) const {
    std::string values = header(name);
    std::size_t at = 0;
    while (at <= values.size()) {
        std::size_t end = values.find(',', at);
        if (end == std::string::npos) end = values.size();
        if (sameName(trimmed(values.substr(at, end - at)), option)) return true;
        at = end + 1;
    }
    return false;
}

bool HttpRequest::keepAlive() const {
    if (hasOption("Connection", "close")) return false;
    return minorVersion >= 1 || hasOption("Connection", "keep-alive");
}

HeadFault parseRequestHead(const std::string& head, const HeadLimits& limits,
                           HttpRequest& request) {
    request = HttpRequest();
    if (head.find('\0') != std::string::npos) return fault(400, "NUL byte in the request head");
    std::size_t at = 0;
    bool first = true;
    while (at < head.size()) {
        std::size_t end = head.find('\n', at);
        if (end == std::string::npos) end = head.size();
        std::string line = head.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (first) {
            HeadFault refused = parseRequestLine(line, limits, request);
            if (refused.status) return refused;
            first = false;
            continue;
        }
        if (line.empty() || line[0] == ' ' || line[0] == '\t')
            return fault(400, "malformed header line");
        if (request.headers.size() >= limits.maxHeaders) return fault(431, "too many header lines");
        std::size_t colon = line.find(':');
        if (colon == std::string::npos || !isToken(line.substr(0, colon)))
            return fault(400, "malformed header line");
        for (char c : line)
            if ((static_cast<unsigned char>(c) < ' ' && c != '\t') || c == 0x7f)
                return fault(400, "control character in a header");
        request.headers.emplace_back(line.substr(0, colon), trimmed(line.substr(colon + 1)));
    }
    if (first) return fault(400, "empty request");

    int hosts = 0;
    for (const auto& field : request.headers) hosts += sameName(field.first, "Host") ? 1 : 0;
    if (hosts > 1) return fault(400, "more than one Host header");
    if (hosts == 0 && request.minorVersion >= 1) return fault(400, "no Host header");
    if (request.hasHeader("Transfer-Encoding"))
        return fault(501, "request bodies in a transfer coding are not taken");
    return readContentLength(request);
}

}  // namespace webcontrol
