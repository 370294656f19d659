// Must NOT compile under -Werror=thread-safety: it writes a guarded member
// without holding its lock. The test that compiles it expects the failure,
// which proves the thread-safety check is switched on and bites.

#include "kx2threadsafety.h"

class Counter
{
public:
    void increment() { ++value; } // the lock is missing on purpose

private:
    KX2Mutex mutex;
    int value KX2_GUARDED_BY(mutex) = 0;
};

int main()
{
    Counter counter;
    counter.increment();
    return 0;
}
