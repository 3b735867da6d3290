#include <cstdio>

#include "platform/local_time.h"
#include "platform/winapi.h"

namespace ostra {

std::string localTimeText(std::int64_t unixSeconds) {
    // FILETIME counts 100 ns from 1601; the zone's rules of that date apply.
    ULARGE_INTEGER ticks;
    ticks.QuadPart = static_cast<ULONGLONG>(unixSeconds + 11644473600LL) * 10000000ULL;
    FILETIME utcFile{ticks.LowPart, ticks.HighPart};
    SYSTEMTIME utc, local;
    if (!FileTimeToSystemTime(&utcFile, &utc) ||
        !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
        return std::to_string(unixSeconds);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", local.wYear, local.wMonth,
                  local.wDay, local.wHour, local.wMinute, local.wSecond);
    return text;
}

}  // namespace ostra
