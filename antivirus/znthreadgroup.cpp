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
    std::unique_lock<std::mutex> lock(mutex);
    --running;
    // The lock is released and the waiters notified only after this
    // thread's locals are gone, so shutdownAndWait() cannot return while the
    // thread still touches anything of its owner.
    std::notify_all_at_thread_exit(changed, std::move(lock));
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
