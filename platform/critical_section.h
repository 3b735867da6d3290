// What the host asks of a critical section beyond the four Windows calls.
#pragma once

#include "platform/winapi.h"

namespace ostra {

// True when the calling thread holds `section` (it entered more often than
// it left). Another thread's answer may be out of date the moment it is
// read; the calling thread's own never is.
bool enteredByThisThread(CRITICAL_SECTION& section);

}  // namespace ostra
