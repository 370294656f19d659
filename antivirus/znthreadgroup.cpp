#include "znthreadgroup.h"

#include <system_error>
#include <thread>

ZNThreadGroup::~ZNThreadGroup()
{
    shutdownAndWait();
}

bool ZNThreadGroup::start(std::function<void()> body)
{
    {
        KX2MutexLocker lock(mutex);
        if (shuttingDown)
            return false;
        ++running;
    }
    try {
        std::thread([this, body = std::move(body)] { threadMain(body); }).detach();
    } catch (const std::system_error&) {
        KX2MutexLocker lock(mutex);
        --running;
        changed.notify_all();
        return false;
    }
    return true;
}

void ZNThreadGroup::threadMain(const std::function<void()>& body)
{
    body();
    // Notify while holding the lock: the waiter in shutdownAndWait() cannot
    // see the count drop, return and let the group be destroyed before this
    // thread is done with the mutex and the condition variable. After this
    // block the thread touches nothing of the group or its owner.
    KX2MutexLocker lock(mutex);
    --running;
    ++endings;
    changed.notify_all();
}

bool ZNThreadGroup::pause(std::chrono::milliseconds timeout)
{
    KX2MutexLocker lock(mutex);
    const unsigned generation = wakeGeneration;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!shuttingDown && wakeGeneration == generation) {
        if (!lock.waitUntil(changed, deadline))
            break;
    }
    return !shuttingDown;
}

bool ZNThreadGroup::waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        unsigned generation;
        unsigned ended;
        {
            KX2MutexLocker lock(mutex);
            if (shuttingDown)
                break;
            generation = wakeGeneration;
            ended = endings;
        }
        // Tested without the group's lock: `done` may take its owner's
        // locks, which are taken before the group's elsewhere. A change
        // made before the generation was read is seen here; one made after
        // it moves the generation, so the wait below does not begin.
        if (done())
            return true;
        KX2MutexLocker lock(mutex);
        bool timedOut = false;
        while (!shuttingDown && wakeGeneration == generation && endings == ended && !timedOut)
            timedOut = !lock.waitUntil(changed, deadline);
        if (timedOut)
            break;
    }
    return done();
}

void ZNThreadGroup::wakeAll()
{
    KX2MutexLocker lock(mutex);
    ++wakeGeneration;
    changed.notify_all();
}

void ZNThreadGroup::shutdownAndWait()
{
    KX2MutexLocker lock(mutex);
    shuttingDown = true;
    changed.notify_all();
    while (running != 0)
        lock.wait(changed);
}

bool ZNThreadGroup::isShuttingDown() const
{
    KX2MutexLocker lock(mutex);
    return shuttingDown;
}

int ZNThreadGroup::runningCount() const
{
    KX2MutexLocker lock(mutex);
    return running;
}
