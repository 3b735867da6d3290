// The resolution of Sleep().
#pragma once

namespace ostra {

// While an object lives, Sleep(1) sleeps about one millisecond. Windows
// otherwise sleeps a whole timer period (often 15.6 ms) and raises the
// resolution only on request (timeBeginPeriod); Linux always sleeps about
// the time asked for, so there it does nothing.
class FineSleepResolution {
public:
    FineSleepResolution();
    ~FineSleepResolution();
    FineSleepResolution(const FineSleepResolution&) = delete;
    FineSleepResolution& operator=(const FineSleepResolution&) = delete;
};

}  // namespace ostra
