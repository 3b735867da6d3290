// POSIX stand-ins for the few Windows kernel calls the host makes.
//
// Only what the host and its libraries use is here, with the Windows
// semantics they rely on. Everything is thread safe. The functions live in
// ostracommon and are exported from it, so a plug-in built outside this
// tree that links ostracommon can use them (CSync needs the critical
// section calls) and shares them with the host.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "platform/thread_annotations.h"

#define OSTRA_WINAPI __attribute__((visibility("default")))

typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef int BOOL;
typedef void* HMODULE;
typedef void (*FARPROC)();

// Error codes reported through GetLastError by the calls below.
#define ERROR_SUCCESS 0
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_MOD_NOT_FOUND 126
#define ERROR_PROC_NOT_FOUND 127

// A critical section is re-entrant for its owning thread, as on Windows:
// the owner may enter it again and must leave it as often as it entered.
// `owner` and `depth` play the parts of the Windows structure's
// OwningThread and RecursionCount: the owner's thread id (0 when free) and
// how often it has entered.
struct OSTRA_CAPABILITY("critical section") CRITICAL_SECTION {
    pthread_mutex_t mutex;
    std::atomic<DWORD> owner;
    int depth;
};

OSTRA_WINAPI void InitializeCriticalSection(CRITICAL_SECTION* section);
OSTRA_WINAPI void EnterCriticalSection(CRITICAL_SECTION* section) OSTRA_ACQUIRE(section);
// Enters the section if that is possible without waiting; nonzero then.
OSTRA_WINAPI BOOL TryEnterCriticalSection(CRITICAL_SECTION* section) OSTRA_TRY_ACQUIRE(1, section);
OSTRA_WINAPI void LeaveCriticalSection(CRITICAL_SECTION* section) OSTRA_RELEASE(section);
OSTRA_WINAPI void DeleteCriticalSection(CRITICAL_SECTION* section);

OSTRA_WINAPI void Sleep(DWORD milliseconds);

OSTRA_WINAPI DWORD GetCurrentThreadId();

// The calling thread's error code of the last failing call of this layer.
OSTRA_WINAPI DWORD GetLastError();

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};

// Local wall-clock time with milliseconds.
OSTRA_WINAPI void GetLocalTime(SYSTEMTIME* time);

// Only the running executable is supported: `module` must be null. Writes
// the executable's full path, truncated to size - 1 characters and always
// terminated. Returns the number of characters written, or `size` (with
// ERROR_INSUFFICIENT_BUFFER) when the path was truncated, or 0 on failure.
OSTRA_WINAPI DWORD GetModuleFileNameA(HMODULE module, char* buffer, DWORD size);

// Loads a shared library, never to be unloaded. A name without a '/' is
// looked for first in the executable's directory, then by the dynamic
// loader's own search (as Windows searches beside the executable first);
// a name with a directory is used as given. Null on failure, with the
// loader's reason available through describeLastError().
OSTRA_WINAPI HMODULE LoadLibraryA(const char* name);

// The address of an exported symbol, or null (ERROR_PROC_NOT_FOUND).
OSTRA_WINAPI FARPROC GetProcAddress(HMODULE module, const char* symbol);
