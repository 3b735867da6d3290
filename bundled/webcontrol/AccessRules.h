// Who may use the console.
//
//   - Token: when the "token" key is set, every request carries it, as the
//     header "X-Ostra-Token", as "Authorization: Bearer <token>", or as the
//     query parameter "token" (the page's own requests do; a browser's
//     EventSource cannot send headers). Otherwise 401. The "readtoken"
//     does as well for a request that only reads (a scraper's /metrics,
//     /healthz, the status and the log); a state change with it is 403.
//   - Host: a console bound to a loopback address answers only requests
//     addressed to a loopback name (an IPv4 literal in 127.0.0.0/8,
//     exactly "localhost", or [::1]), so a web page cannot reach it by
//     pointing its own domain name at 127.0.0.1. Otherwise 403.
//   - Cross-site: a request the caller marks (state changes, the log
//     stream) is refused with 403 when the browser says it comes from
//     another site: a "Sec-Fetch-Site" other than "same-origin" or "none",
//     or an "Origin" that is not this console's own. Clients that are not
//     browsers send neither.
#pragma once

#include <string>

#include "HttpRequest.h"

namespace webcontrol {

struct AccessRules {
    std::string token;         // empty: no token needed
    std::string readToken;     // reads only (GET, HEAD); meaningful beside `token`
    bool loopbackOnly = true;  // the console listens on a loopback address
};

struct AccessVerdict {
    int status = 0;  // 0: allowed; otherwise the HTTP status to answer
    std::string reason;
};

// `needsToken` false: the token is not asked for (the page's static files).
// `readsOnly`: the request changes nothing (the read token will do).
AccessVerdict checkAccess(const AccessRules& rules, const HttpRequest& request,
                          bool refuseCrossSite, bool needsToken = true, bool readsOnly = false);

// Whether `bind` is a loopback address (or name).
bool isLoopbackBind(const std::string& bind);

}  // namespace webcontrol
