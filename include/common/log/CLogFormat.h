// CLogFormat: turns one message into one line of text.
#pragma once

#include <string>

#include "common/log/liblog_export.h"

class LIBLOG_API CLogFormat {
public:
    virtual ~CLogFormat();

    // Appends the line for one message to `out`, without a line end.
    // Called from many threads at once: implementations keep no mutable
    // state, or guard it.
    virtual void format(std::string& out, int level, const char* logName, const char* file,
                        int line, const char* text) const = 0;
};
