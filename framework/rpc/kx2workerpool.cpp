#include "kx2workerpool.h"

#include "kx2threadsafety.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <system_error>
#include <thread>

// Every member that changes after construction is guarded by `mutex`.
class KX2WorkerPoolState
{
public:
    explicit KX2WorkerPoolState(std::chrono::milliseconds idleTimeout) : idleTimeout(idleTimeout) {}

    // Body of every pool thread: takes jobs until idle for too long or
    // until the pool is gone.
    static void threadMain(std::shared_ptr<KX2WorkerPoolState> self);

    const std::chrono::milliseconds idleTimeout;
    mutable KX2Mutex mutex;
    std::condition_variable jobQueued;
    std::deque<std::function<void()>> jobs KX2_GUARDED_BY(mutex);
    int threads KX2_GUARDED_BY(mutex) = 0;
    int idle KX2_GUARDED_BY(mutex) = 0;
    bool closing KX2_GUARDED_BY(mutex) = false;
};

void KX2WorkerPoolState::threadMain(std::shared_ptr<KX2WorkerPoolState> self)
{
    KX2MutexLocker lock(self->mutex);
    for (;;) {
        ++self->idle;
        const auto deadline = std::chrono::steady_clock::now() + self->idleTimeout;
        bool woken = true;
        while (self->jobs.empty() && !self->closing) {
            if (!lock.waitUntil(self->jobQueued, deadline)) {
                woken = !self->jobs.empty() || self->closing;
                break;
            }
        }
        --self->idle;
        if (!woken || self->jobs.empty())
            break;
        std::function<void()> job = std::move(self->jobs.front());
        self->jobs.pop_front();
        lock.unlock();
        job();
        job = nullptr; // whatever the job captured goes before the next wait
        lock.relock();
        if (self->closing && self->jobs.empty())
            break;
    }
    --self->threads;
}

KX2WorkerPool::KX2WorkerPool(std::chrono::milliseconds idleTimeout)
    : d(std::make_shared<KX2WorkerPoolState>(idleTimeout))
{
}

KX2WorkerPool::~KX2WorkerPool()
{
    KX2MutexLocker lock(d->mutex);
    d->closing = true;
    d->jobQueued.notify_all();
}

bool KX2WorkerPool::run(std::function<void()> job)
{
    KX2MutexLocker lock(d->mutex);
    d->jobs.push_back(std::move(job));
    // Idle threads that have not yet taken an earlier job are spoken for.
    if (d->idle >= int(d->jobs.size())) {
        d->jobQueued.notify_one();
        return true;
    }
    ++d->threads;
    try {
        std::thread(KX2WorkerPoolState::threadMain, d).detach();
    } catch (const std::system_error&) {
        --d->threads;
        if (d->threads > 0)
            return true; // a running thread takes the job when it is free
        d->jobs.pop_back();
        return false;
    }
    return true;
}
