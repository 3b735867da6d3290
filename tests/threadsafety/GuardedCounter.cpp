// Compiled by the thread-safety tests with Clang's analysis, never built
// or run. With OSTRA_BREACH one member the lock guards is read without it:
// the lanes that check locks must refuse to compile that.
#include "platform/Mutex.h"

class GuardedCounter {
public:
    void add() {
        ostra::MutexLock hold(lock_);
        ++count_;
    }
    int read() {
#ifdef OSTRA_BREACH
        return count_;
#else
        ostra::MutexLock hold(lock_);
        return count_;
#endif
    }

private:
    ostra::Mutex lock_;
    int count_ OSTRA_GUARDED_BY(lock_) = 0;
};

int main() {
    GuardedCounter counter;
    counter.add();
    return counter.read();
}
