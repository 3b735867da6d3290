// The web console's request framing on arbitrary bytes cut at arbitrary
// points: the requests found never depend on where the cuts fell.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "../tests/bundled/FramingReplay.h"

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
    std::vector<std::string> whole = framesOf({bytes}, limits);
    for (const std::string& frame : whole)
        if (frame == "a request ending outside its input") std::abort();
    if (framesOf(cut, limits) != whole) std::abort();
    return 0;
}
