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
        std::lock_guard<std::mutex> lock(mutex);
        if (shuttingDown)
            return false;
        ++running;
    }
    try {
        std::thread([this, body = std::move(body)] { threadMain(body); }).detach();
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> lock(mutex);
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
    std::lock_guard<std::mutex> lock(mutex);
    --running;
    changed.notify_all();
}

bool ZNThreadGroup::pause(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex);
    const unsigned generation = wakeGeneration;
    changed.wait_for(lock, timeout, [&] { return shuttingDown || wakeGeneration != generation; });
    return !shuttingDown;
}

bool ZNThreadGroup::waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return done() || shuttingDown; }) && done();
}

void ZNThreadGroup::wakeAll()
{
    std::lock_guard<std::mutex> lock(mutex);
    ++wakeGeneration;
    changed.notify_all();
}

void ZNThreadGroup::shutdownAndWait()
{
    std::unique_lock<std::mutex> lock(mutex);
    shuttingDown = true;
    changed.notify_all();
    changed.wait(lock, [&] { return running == 0; });
}

bool ZNThreadGroup::isShuttingDown() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return shuttingDown;
}

int ZNThreadGroup::runningCount() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return running;
}
