// A slower disk for the benchmarks: preloaded (LD_PRELOAD), it makes every
// fsync and fdatasync of the process and its children take
// OSTRA_SLOW_SYNC_US microseconds longer than the disk does, as a disk
// whose sync is slower than this machine's would. Only scripts/bench.sh
// uses it, for the figures it labels as taken with a slower disk.
#include <dlfcn.h>

#include <cstdlib>
#include <ctime>

namespace {
void waitTheExtraTime() {
    const char* text = std::getenv("OSTRA_SLOW_SYNC_US");
    long micros = text != nullptr ? std::atol(text) : 0;
    if (micros <= 0) return;
    timespec pause = {micros / 1000000, (micros % 1000000) * 1000};
    while (nanosleep(&pause, &pause) != 0) {
    }
}

using SyncCall = int (*)(int);

int syncThenWait(const char* name, int fd) {
    auto real = reinterpret_cast<SyncCall>(dlsym(RTLD_NEXT, name));
    int result = real != nullptr ? real(fd) : -1;
    waitTheExtraTime();
    return result;
}
}  // namespace

extern "C" __attribute__((visibility("default"))) int fsync(int fd) {
    return syncThenWait("fsync", fd);
}
extern "C" __attribute__((visibility("default"))) int fdatasync(int fd) {
    return syncThenWait("fdatasync", fd);
}
