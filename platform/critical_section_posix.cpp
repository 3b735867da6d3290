#include "platform/critical_section.h"

namespace ostra {

bool enteredByThisThread(CRITICAL_SECTION& section) {
    return section.owner.load(std::memory_order_relaxed) == GetCurrentThreadId();
}

}  // namespace ostra
