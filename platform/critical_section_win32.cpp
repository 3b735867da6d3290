#include "platform/critical_section.h"

namespace ostra {

bool enteredByThisThread(CRITICAL_SECTION& section) {
    // Windows keeps the owner's thread id in the section while it is held.
    return section.OwningThread ==
           reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId()));
}

}  // namespace ostra
