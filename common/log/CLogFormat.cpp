#include "common/log/CLogFormat.h"

CLogFormat::~CLogFormat() = default;
