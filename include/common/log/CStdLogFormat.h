// CStdLogFormat: the standard line layout.
//
//   2026-12-08 14:03:07.123 INFO  [4711] OstraService OstraService:214 Service started
//
// local time with milliseconds, the level word, the thread id, the log's
// name, the source file and line, then the text. Thread safe.
#pragma once

#include "common/log/CLogFormat.h"

class LIBLOG_API CStdLogFormat : public CLogFormat {
public:
    CStdLogFormat();
    ~CStdLogFormat() override;

    void format(std::string& out, int level, const char* logName, const char* file, int line,
                const char* text) const override;
};
