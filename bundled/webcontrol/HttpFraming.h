// HttpFraming: where one request ends and the next begins in the bytes a
// connection sent, as a pure function of those bytes.
//
// A request is optional blank lines (clients may send CRLF between
// pipelined requests), a head ending in an empty line, and a body of
// Content-Length bytes. Framing the same bytes gives the same requests
// however they were cut into reads; the server only keeps the bytes.
#pragma once

#include <cstddef>
#include <string>

#include "HttpRequest.h"

namespace webcontrol {

struct FramingLimits {
    std::size_t maxHeadBytes = 16 * 1024;  // larger: 431, or 414 / 501 for the request line
    std::size_t maxBodyBytes = 8 * 1024;   // larger: 413, refused on the head alone
    std::size_t longestMethod = 16;        // a longer request line's first word: 501
    HeadLimits head;
};

struct Frame {
    enum class Kind {
        kNeedMore,  // no whole head yet
        kNeedBody,  // the head is whole and valid; its body has not all arrived
        kRequest,   // a whole request: `request`, and the next one starts at `end`
        kRefused,   // the bytes can never be a request: answer `refusal` and close
    };
    Kind kind = Kind::kNeedMore;
    HttpRequest request;  // kNeedBody and kRequest
    HeadFault refusal;    // kRefused
    std::size_t end = 0;  // kNeedBody and kRequest: where the request's body ends
    // kNeedMore: the input up to here holds no head's end; passing it back
    // with more input saves looking again (a client sending a byte at a
    // time then costs one look at each byte).
    std::size_t scanned = 0;
};

// Frames the first request in `input`, which begins where the previous
// request ended. `scanned` is what the last kNeedMore answer for a shorter
// `input` said, or 0.
Frame frameRequest(const std::string& input, const FramingLimits& limits, std::size_t scanned = 0);

}  // namespace webcontrol
