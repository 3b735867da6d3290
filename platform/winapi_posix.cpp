#include "platform/winapi_posix.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/last_error_posix.h"

void InitializeCriticalSection(CRITICAL_SECTION* section) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&section->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    section->owner.store(0, std::memory_order_relaxed);
    section->depth = 0;
}

namespace {
void noteEntered(CRITICAL_SECTION* section) {
    if (section->depth++ == 0)
        section->owner.store(GetCurrentThreadId(), std::memory_order_relaxed);
}
}  // namespace

// These make a critical section what the analysis takes it to be; their own
// bodies work on the mutex beneath it.
void EnterCriticalSection(CRITICAL_SECTION* section) OSTRA_NO_THREAD_SAFETY_ANALYSIS {
    pthread_mutex_lock(&section->mutex);
    noteEntered(section);
}

BOOL TryEnterCriticalSection(CRITICAL_SECTION* section) OSTRA_NO_THREAD_SAFETY_ANALYSIS {
    if (pthread_mutex_trylock(&section->mutex) != 0) return 0;
    noteEntered(section);
    return 1;
}

void LeaveCriticalSection(CRITICAL_SECTION* section) OSTRA_NO_THREAD_SAFETY_ANALYSIS {
    if (--section->depth == 0) section->owner.store(0, std::memory_order_relaxed);
    pthread_mutex_unlock(&section->mutex);
}

void DeleteCriticalSection(CRITICAL_SECTION* section) { pthread_mutex_destroy(&section->mutex); }

void Sleep(DWORD milliseconds) {
    timespec remaining{static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
    }
}

DWORD GetCurrentThreadId() {
    thread_local const DWORD id = static_cast<DWORD>(syscall(SYS_gettid));
    return id;
}

DWORD GetLastError() { return ostra::posix::lastErrorCode(); }

void GetLocalTime(SYSTEMTIME* out) {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);

    // localtime_r is slow (it consults the time zone under a lock); the
    // calendar part only changes once a second, so keep it per thread.
    thread_local time_t cachedSecond = -1;
    thread_local tm cached;
    if (now.tv_sec != cachedSecond) {
        localtime_r(&now.tv_sec, &cached);
        cachedSecond = now.tv_sec;
    }
    out->wYear = static_cast<WORD>(cached.tm_year + 1900);
    out->wMonth = static_cast<WORD>(cached.tm_mon + 1);
    out->wDayOfWeek = static_cast<WORD>(cached.tm_wday);
    out->wDay = static_cast<WORD>(cached.tm_mday);
    out->wHour = static_cast<WORD>(cached.tm_hour);
    out->wMinute = static_cast<WORD>(cached.tm_min);
    out->wSecond = static_cast<WORD>(cached.tm_sec);
    out->wMilliseconds = static_cast<WORD>(now.tv_nsec / 1000000);
}
