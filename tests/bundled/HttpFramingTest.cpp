// Request framing on its own: the same bytes give the same requests
// however the network cut them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FramingReplay.h"

using webcontrol::FramingLimits;

TEST(HttpFraming, PipelinedRequestsFrameAlikeAtEverySplitPoint) {
    FramingLimits limits;
    limits.maxHeadBytes = 200;
    limits.maxBodyBytes = 20;
    const std::string get = "GET /a HTTP/1.1\r\nHost: h\r\n\r\n";
    const std::string streams[] = {
        get + "\r\n" + "POST /b HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhello" + get,
        "GET /c HTTP/1.0\n\nPOST /d HTTP/1.1\nHost: h\nContent-Length: 2\n\nokGET /e HTTP/1.1\n",
        get + "POST /big HTTP/1.1\r\nHost: h\r\nContent-Length: 21\r\n\r\n" + get,
        get + "GET /" + std::string(300, 't') + " HTTP/1.1\r\n\r\n",
        get + std::string(300, 'M') + " / HTTP/1.1\r\n\r\n",
        get + "GET / HTTP/1.1\r\n" + std::string(300, 'X') + "\r\n\r\n",
    };
    const std::vector<std::string> expected[] = {
        {"GET /a 0", "POST /b 5", "GET /a 0"},
        {"GET /c 0", "POST /d 2"},
        {"GET /a 0", "413"},
        {"GET /a 0", "414"},
        {"GET /a 0", "501"},
        {"GET /a 0", "431"},
    };
    for (std::size_t i = 0; i < std::size(streams); ++i) {
        const std::string& bytes = streams[i];
        ASSERT_EQ(framesOf({bytes}, limits), expected[i]) << bytes;
        for (std::size_t cut = 1; cut < bytes.size(); ++cut)
            EXPECT_EQ(framesOf({bytes.substr(0, cut), bytes.substr(cut)}, limits), expected[i])
                << "stream " << i << " cut at " << cut;
        std::vector<std::string> bytewise;
        for (char c : bytes) bytewise.emplace_back(1, c);
        EXPECT_EQ(framesOf(bytewise, limits), expected[i]) << "stream " << i << " byte by byte";
    }
}
