#include "common/log/CTrace.h"

CTrace::CTrace() = default;
CTrace::~CTrace() = default;
