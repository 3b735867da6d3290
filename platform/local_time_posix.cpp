#include <cstdio>
#include <ctime>

#include "platform/local_time.h"

namespace ostra {

std::string localTimeText(std::int64_t unixSeconds) {
    std::time_t when = static_cast<std::time_t>(unixSeconds);
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr) return std::to_string(unixSeconds);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

}  // namespace ostra
