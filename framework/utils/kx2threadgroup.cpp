#include "kx2threadgroup.h"

#include <system_error>

KX2ThreadGroup::~KX2ThreadGroup()
{
    shutdownAndWait();
}

bool KX2ThreadGroup::start(std::function<void()> body)
{
    joinEnded();
    KX2MutexLocker lock(mutex);
    if (shuttingDown)
        return false;
    // The thread is created under the lock, so that it finds its own
    // entry in place before it can end; it takes the lock only to end.
    const Threads::iterator self = threads.emplace(threads.end());
    try {
        *self = std::thread(
            [this, body = std::move(body), self]() mutable { threadMain(std::move(body), self); });
    } catch (const std::system_error&) {
        threads.erase(self);
        return false;
    }
    ++running;
    return true;
}

void KX2ThreadGroup::threadMain(std::function<void()> body, Threads::iterator self)
{
    body();
    body = nullptr; // what it captured goes while the thread still counts
    // Notify while holding the lock: the waiter in shutdownAndWait() cannot
    // see the count drop before the thread is listed as ended. After this
    // block the thread touches nothing of the group or its owner; whoever
    // joins it waits only for it to return from here.
    KX2MutexLocker lock(mutex);
    ended.push_back(self);
    --running;
    ++endings;
    changed.notify_all();
}

void KX2ThreadGroup::joinEnded()
{
    KX2MutexLocker joiner(joining);
    Threads done;
    {
        KX2MutexLocker lock(mutex);
        for (const Threads::iterator& thread : ended)
            done.splice(done.end(), threads, thread);
        ended.clear();
    }
    for (std::thread& thread : done)
        thread.join();
}

bool KX2ThreadGroup::pause(std::chrono::milliseconds timeout)
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

bool KX2ThreadGroup::waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        unsigned generation;
        unsigned endedSoFar;
        {
            KX2MutexLocker lock(mutex);
            if (shuttingDown)
                break;
            generation = wakeGeneration;
            endedSoFar = endings;
        }
        // Tested without the group's lock: `done` may take its owner's
        // locks, which are taken before the group's elsewhere. A change
        // made before the generation was read is seen here; one made after
        // it moves the generation, so the wait below does not begin.
        if (done())
            return true;
        KX2MutexLocker lock(mutex);
        bool timedOut = false;
        while (!shuttingDown && wakeGeneration == generation && endings == endedSoFar && !timedOut)
            timedOut = !lock.waitUntil(changed, deadline);
        if (timedOut)
            break;
    }
    return done();
}

void KX2ThreadGroup::wakeAll()
{
    KX2MutexLocker lock(mutex);
    ++wakeGeneration;
    changed.notify_all();
}

void KX2ThreadGroup::shutdownAndWait()
{
    {
        KX2MutexLocker lock(mutex);
        shuttingDown = true;
        changed.notify_all();
        while (running != 0)
            lock.wait(changed);
    }
    // No thread runs a body any more, and none can start: every thread
    // left is listed as ended.
    joinEnded();
}

bool KX2ThreadGroup::isShuttingDown() const
{
    KX2MutexLocker lock(mutex);
    return shuttingDown;
}

int KX2ThreadGroup::runningCount() const
{
    KX2MutexLocker lock(mutex);
    return running;
}
