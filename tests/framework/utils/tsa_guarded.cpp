// Must compile cleanly under -Werror=thread-safety: the twin of
// tsa_unguarded.cpp that holds the lock, including across a condition wait,
// so a failure of the other test is known to come from the missing lock.

#include "kx2threadsafety.h"

#include <chrono>
#include <condition_variable>

class Counter
{
public:
    void increment()
    {
        KX2MutexLocker lock(mutex);
        ++value;
        changed.notify_all();
    }

    bool waitForAtLeast(int wanted)
    {
        KX2MutexLocker lock(mutex);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (value < wanted) {
            if (!lock.waitUntil(changed, deadline))
                break;
        }
        return value >= wanted;
    }

private:
    void resetLocked() KX2_REQUIRES(mutex) { value = 0; }

public:
    void reset()
    {
        KX2MutexLocker lock(mutex);
        resetLocked();
    }

private:
    KX2Mutex mutex;
    std::condition_variable changed;
    int value KX2_GUARDED_BY(mutex) = 0;
};

int main()
{
    Counter counter;
    counter.increment();
    const bool reached = counter.waitForAtLeast(1);
    counter.reset();
    return reached ? 0 : 1;
}
