// The web console's request-head parser on arbitrary bytes: it never
// crashes, and what it accepts keeps the promises the access rules rely on.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "../bundled/webcontrol/HttpRequest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string head(reinterpret_cast<const char*>(data), size);
    webcontrol::HeadLimits limits;
    limits.maxHeaders = 16;
    webcontrol::HttpRequest request;
    webcontrol::HeadFault fault = webcontrol::parseRequestHead(head, limits, request);
    if (fault.status != 0) {
        if (fault.status < 400 || fault.status > 505 || fault.reason.empty()) std::abort();
        return 0;
    }
    if (request.method.empty() || request.target.empty() || request.target[0] != '/') std::abort();
    if (request.headers.size() > limits.maxHeaders) std::abort();
    if (request.path.find('\0') != std::string::npos) std::abort();
    if (request.minorVersion >= 1 && !request.hasHeader("Host")) std::abort();
    for (const auto& field : request.headers)
        if (field.first.empty() || field.second.find_first_of("\r\n") != std::string::npos)
            std::abort();
    request.param("token");
    request.keepAlive();
    return 0;
}
