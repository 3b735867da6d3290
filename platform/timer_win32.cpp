#include <timeapi.h>

#include "platform/timer.h"
#include "platform/winapi.h"

namespace ostra {

FineSleepResolution::FineSleepResolution() { timeBeginPeriod(1); }
FineSleepResolution::~FineSleepResolution() { timeEndPeriod(1); }

}  // namespace ostra
