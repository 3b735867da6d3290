#include "common/CSync.h"

CSync::CSync(CRITICAL_SECTION* section) : section_(section), held_(false) { lock(); }

CSync::~CSync() { unlock(); }

void CSync::lock() {
    if (held_) return;
    EnterCriticalSection(section_);
    held_ = true;
}

void CSync::unlock() {
    if (!held_) return;
    held_ = false;
    LeaveCriticalSection(section_);
}
