// Calendar time as the operator's clock shows it.
#pragma once

#include <cstdint>
#include <string>

namespace ostra {

// `unixSeconds` in the machine's time zone as "YYYY-MM-DD HH:MM:SS", the
// way the log's lines show their time. Thread safe.
std::string localTimeText(std::int64_t unixSeconds);

}  // namespace ostra
