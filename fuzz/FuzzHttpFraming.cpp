// The web console's request framing on arbitrary bytes cut at arbitrary
// points: the requests found never depend on where the cuts fell.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "../bundled/webcontrol/HttpFraming.h"

namespace {

using webcontrol::Frame;

std::vector<std::string> framesOf(const std::vector<std::string>& chunks,
                                  const webcontrol::FramingLimits& limits) {
    std::vector<std::string> frames;
    std::string input;
    std::size_t scanned = 0;
    for (const std::string& chunk : chunks) {
        input += chunk;
        for (;;) {
            Frame frame = webcontrol::frameRequest(input, limits, scanned);
            scanned = frame.kind == Frame::Kind::kNeedMore ? frame.scanned : 0;
            if (frame.kind == Frame::Kind::kRefused) {
                frames.push_back(std::to_string(frame.refusal.status));
                return frames;
            }
            if (frame.kind != Frame::Kind::kRequest) break;
            if (frame.end == 0 || frame.end > input.size()) std::abort();
            frames.push_back(frame.request.method + ' ' + frame.request.target + ' ' +
                             std::to_string(frame.request.contentLength));
            input.erase(0, frame.end);
        }
    }
    return frames;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    webcontrol::FramingLimits limits;
    limits.maxHeadBytes = 256;
    limits.maxBodyBytes = 64;
    // The first two bytes say where to cut the rest.
    std::string bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
    std::size_t first = data[0] % (bytes.size() + 1);
    std::size_t second = first + data[1] % (bytes.size() - first + 1);
    std::vector<std::string> cut = {bytes.substr(0, first), bytes.substr(first, second - first),
                                    bytes.substr(second)};
    if (framesOf(cut, limits) != framesOf({bytes}, limits)) std::abort();
    return 0;
}
