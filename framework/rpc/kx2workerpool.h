// KX2WorkerPool: threads that are kept and reused for short-lived jobs.
//
// run() hands a job to an idle thread of the pool, or starts a new thread
// when none is idle, so the cost of creating a thread is paid once per
// burst of work rather than once per job. A thread that stays idle for
// `idleTimeout` leaves. The pool itself sets no limit on the number of
// threads: callers bound the work they submit (the local server bounds
// its served connections).
//
// Ownership and lifetime: the threads are detached and share the pool's
// state, never the pool object, so destroying the pool neither waits for
// running jobs nor frees state under them: running jobs finish, and every
// thread leaves once its job is done. A job must not use anything that
// the destruction of its submitter frees.
//
// Threads: run() and the destructor may be called from any thread,
// concurrently.

#ifndef KX2WORKERPOOL_H
#define KX2WORKERPOOL_H

#include <chrono>
#include <functional>
#include <memory>

class KX2WorkerPoolState;

class KX2WorkerPool
{
public:
    explicit KX2WorkerPool(std::chrono::milliseconds idleTimeout = std::chrono::seconds(30));
    ~KX2WorkerPool();

    KX2WorkerPool(const KX2WorkerPool&) = delete;
    KX2WorkerPool& operator=(const KX2WorkerPool&) = delete;

    // Queues `job` for an idle thread or a new one. False, with `job` not
    // run, when no thread is idle and none can be started.
    bool run(std::function<void()> job);

private:
    // Shared with the detached pool threads, which end after this handle.
    const std::shared_ptr<KX2WorkerPoolState> d;
};

#endif // KX2WORKERPOOL_H
