// CSync: holds a critical section for the scope of an operation.
//
// The section is owned, initialised and deleted by the caller; CSync only
// enters and leaves it. A critical section is re-entrant for its owning
// thread. Callers may release it around a call into a plug-in (unlock()
// before, lock() after); the destructor leaves the section only if this
// object holds it at that moment, so an exception thrown between unlock()
// and lock() leaves nothing behind. A CSync is used by one thread only.
#pragma once

#include "common/ostracommon_export.h"
#include "platform/thread_annotations.h"
#include "platform/winapi.h"

class OSTRACOMMON_API OSTRA_SCOPED_CAPABILITY CSync {
public:
    // Enters `section`; the object then holds it.
    // (The bodies hold the section on some paths only: not analysed.)
    explicit CSync(CRITICAL_SECTION* section)
        OSTRA_ACQUIRE(section) OSTRA_NO_THREAD_SAFETY_ANALYSIS;
    virtual ~CSync() OSTRA_RELEASE() OSTRA_NO_THREAD_SAFETY_ANALYSIS;

    CSync(const CSync&) = delete;
    CSync& operator=(const CSync&) = delete;

    // Enters the section again after unlock(). No effect while held.
    void lock() OSTRA_ACQUIRE() OSTRA_NO_THREAD_SAFETY_ANALYSIS;
    // Leaves the section. No effect while not held.
    void unlock() OSTRA_RELEASE() OSTRA_NO_THREAD_SAFETY_ANALYSIS;

    bool holds() const { return held_; }

private:
    CRITICAL_SECTION* section_;
    bool held_;
};
