#include "platform/timer.h"

namespace ostra {

FineSleepResolution::FineSleepResolution() {}
FineSleepResolution::~FineSleepResolution() {}

}  // namespace ostra
