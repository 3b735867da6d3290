#include "HttpFraming.h"

namespace webcontrol {

namespace {

// Where the head that starts at `start` ends (after its empty line), or
// npos; line ends before `from` are known not to end it. `headLength` is
// the head without its empty line.
std::size_t headEnd(const std::string& input, std::size_t start, std::size_t from,
                    std::size_t* headLength) {
    for (std::size_t newline = input.find('\n', std::max(from, start));
         newline != std::string::npos; newline = input.find('\n', newline + 1)) {
        std::size_t next = newline + 1;
        if (next < input.size() && input[next] == '\n') {
            *headLength = next - start;
            return next + 1;
        }
        if (next + 1 < input.size() && input[next] == '\r' && input[next + 1] == '\n') {
            *headLength = next - start;
            return next + 2;
        }
    }
    return std::string::npos;
}

Frame refused(int status, const std::string& reason) {
    Frame frame;
    frame.kind = Frame::Kind::kRefused;
    frame.refusal = {status, reason};
    return frame;
}

// A head that does not end within its limit: for its request line alone a
// target or a method that is too long, otherwise too many headers. Judged
// on the limit's bytes only, so that the answer never depends on how much
// more had arrived.
Frame tooLarge(const std::string& input, std::size_t start, const FramingLimits& limits) {
    std::string head = input.substr(start, limits.maxHeadBytes + 1);
    if (head.find('\n') != std::string::npos) return refused(431, "request head too large");
    std::size_t space = head.find(' ');
    if (space == std::string::npos || space > limits.longestMethod)
        return refused(501, "method not implemented");
    return refused(414, "request target too long");
}

}  // namespace

Frame frameRequest(const std::string& input, const FramingLimits& limits, std::size_t scanned) {
    std::size_t start = input.find_first_not_of("\r\n");
    if (start == std::string::npos) return Frame();  // blank lines only, so far

    std::size_t headLength = 0;
    std::size_t end = headEnd(input, start, scanned, &headLength);
    if (end == std::string::npos) {
        if (input.size() - start > limits.maxHeadBytes) return tooLarge(input, start, limits);
        Frame frame;
        // The last two bytes may yet begin the empty line.
        frame.scanned = input.size() > 2 ? input.size() - 2 : 0;
        return frame;
    }
    if (end - start > limits.maxHeadBytes) return tooLarge(input, start, limits);

    Frame frame;
    HeadFault fault = parseRequestHead(input.substr(start, headLength), limits.head, frame.request);
    if (fault.status) return refused(fault.status, fault.reason);
    if (frame.request.contentLength > limits.maxBodyBytes)
        return refused(413, "request body too large");
    frame.end = end + frame.request.contentLength;
    frame.kind = input.size() >= frame.end ? Frame::Kind::kRequest : Frame::Kind::kNeedBody;
    return frame;
}

}  // namespace webcontrol
