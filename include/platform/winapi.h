// The Windows calls the host is written against.
//
// On Windows they come from <windows.h> itself. Elsewhere winapi_posix.h
// supplies stand-ins with the same names and the semantics the host relies
// on, so the code above this layer is the same on both platforms.
#pragma once

#include "platform/thread_annotations.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include "platform/winapi_posix.h"
#endif
