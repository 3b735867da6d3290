#pragma once

#ifdef _WIN32
#ifdef LIBLOG_BUILDING
#define LIBLOG_API __declspec(dllexport)
#else
#define LIBLOG_API __declspec(dllimport)
#endif
#else
#define LIBLOG_API __attribute__((visibility("default")))
#endif
