// What a connection's reader makes of bytes arriving in `chunks`: each
// request framed as "METHOD target length", a refusal as its status. The
// framing test and the framing fuzz target compare cuts with it.
#pragma once

#include <string>
#include <vector>

#include "../../bundled/webcontrol/HttpFraming.h"

inline std::vector<std::string> framesOf(const std::vector<std::string>& chunks,
                                         const webcontrol::FramingLimits& limits) {
    using webcontrol::Frame;
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
            if (frame.end == 0 || frame.end > input.size()) {
                frames.push_back("a request ending outside its input");
                return frames;
            }
            frames.push_back(frame.request.method + ' ' + frame.request.target + ' ' +
                             std::to_string(frame.request.contentLength));
            input.erase(0, frame.end);
        }
    }
    return frames;
}
