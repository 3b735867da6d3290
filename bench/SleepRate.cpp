// How many Sleep(1) calls fit in a second, with the default timer
// resolution and with a fine one: the pass rate of the host's loops.
#include <chrono>
#include <cstdio>

#include "platform/timer.h"
#include "platform/winapi.h"

namespace {
double sleepsPerSecond() {
    auto begin = std::chrono::steady_clock::now();
    int sleeps = 0;
    while (std::chrono::steady_clock::now() - begin < std::chrono::seconds(1)) {
        Sleep(1);
        ++sleeps;
    }
    return sleeps / std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}
}  // namespace

int main() {
    std::printf("default resolution: %.0f passes/s\n", sleepsPerSecond());
    {
        ostra::FineSleepResolution fine;
        std::printf("fine resolution:    %.0f passes/s\n", sleepsPerSecond());
    }
    return 0;
}
