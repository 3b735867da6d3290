// HttpRequest: one HTTP/1.x request head as the console's server reads it,
// and the parser that takes a complete head apart.
//
// The parser is strict where leniency could be used against the console:
// a request line or header it cannot read, a second Host, Content-Length
// values that disagree, a header folded onto the next line or a NUL
// anywhere are refused rather than guessed at. Request bodies are not
// taken in chunks: a Transfer-Encoding is refused (the console's requests
// carry no body worth reading).
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace webcontrol {

struct HttpRequest {
    std::string method;    // as sent: "GET", "POST", ...
    std::string target;    // as sent: "/api/log?token=x"
    std::string path;      // the target's path, percent-decoded
    std::string query;     // the target's query, as sent (without '?')
    int minorVersion = 1;  // HTTP/1.<minorVersion>
    std::vector<std::pair<std::string, std::string>> headers;
    std::size_t contentLength = 0;
    std::string peer;  // the client's address and port, as the server saw it

    // The first header of that name (names compare in any case); empty
    // when there is none.
    bool hasHeader(const std::string& name) const;
    std::string header(const std::string& name) const;
    // A query parameter, decoded ('+' is a blank); empty when absent.
    std::string param(const std::string& name) const;
    // Whether the comma-separated list of header `name` holds `option`
    // (in any case): "Connection: keep-alive, close" holds "close".
    bool hasOption(const std::string& name, const std::string& option) const;
    // Whether the client keeps the connection for another request
    // (HTTP/1.1 unless "Connection" lists "close"; HTTP/1.0 only when it
    // lists "keep-alive").
    bool keepAlive() const;
};

struct HeadLimits {
    std::size_t maxTargetBytes = 8 * 1024;
    std::size_t maxHeaders = 64;
};

// Why a head was refused: the status to answer (0: it was not) and a reason
// for the client.
struct HeadFault {
    int status = 0;
    std::string reason;
};

// Parses `head`: the request line and the header lines, each ending in CRLF
// or LF, without the empty line that ends the head.
HeadFault parseRequestHead(const std::string& head, const HeadLimits& limits, HttpRequest& request);

// Decodes %XX escapes (and '+' as a blank when `plusIsBlank`). False for a
// broken escape or an escaped NUL.
bool percentDecode(const std::string& text, bool plusIsBlank, std::string& decoded);

}  // namespace webcontrol
