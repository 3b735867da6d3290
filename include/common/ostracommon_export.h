#pragma once

#ifdef _WIN32
#ifdef OSTRACOMMON_BUILDING
#define OSTRACOMMON_API __declspec(dllexport)
#else
#define OSTRACOMMON_API __declspec(dllimport)
#endif
#else
#define OSTRACOMMON_API __attribute__((visibility("default")))
#endif
