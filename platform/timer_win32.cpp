#include "platform/timer.h"

// <windows.h> first: <timeapi.h> needs its types. Blocks keep their order.
#include "platform/winapi.h"

#include <timeapi.h>

namespace ostra {

FineSleepResolution::FineSleepResolution() { timeBeginPeriod(1); }
FineSleepResolution::~FineSleepResolution() { timeEndPeriod(1); }

}  // namespace ostra
