// CTrace: a placeholder that protocol applications hold for call tracing.
#pragma once

#include "common/log/liblog_export.h"

class LIBLOG_API CTrace {
public:
    CTrace();
    virtual ~CTrace();
};
