// ZNThreadGroup: the background threads of one service object, detached
// but accounted for.
//
// The service runs its work on detached std::threads steered by atomic
// flags. A detached thread must never touch state that has been freed, so
// every such thread is started through a group that counts it; the owner
// raises its stop flags and calls shutdownAndWait() before its members go
// away. The group also offers the threads an interruptible pause, so a
// one-second idle wait ends at once when the owner shuts down or wakes it.
//
// Contract
// - start() runs `body` on a new detached thread and returns true, or
//   returns false without running it after shutdown or when the system
//   cannot create a thread. Callers that set a "running" flag before
//   starting must clear it again on false.
// - pause() and waitFor() may be called from any thread. A condition that
//   another thread changes must be followed by wakeAll() from that thread
//   (after the change), or by the end of one of the group's threads, or
//   waitFor() notices it only at its deadline.
// - waitFor() tests its condition without the group's lock, so the
//   condition may take any lock its caller does not hold; the group's own
//   lock is a leaf (nothing is taken under it).
// - shutdownAndWait() refuses new threads, wakes every pause, and blocks
//   until every thread started by the group has returned from its body. It
//   must not be called from one of the group's own threads.
// - The destructor calls shutdownAndWait().

#ifndef ZNTHREADGROUP_H
#define ZNTHREADGROUP_H

#include "kx2threadsafety.h"

#include <chrono>
#include <condition_variable>
#include <functional>

class ZNThreadGroup
{
public:
    ZNThreadGroup() = default;
    ~ZNThreadGroup();

    ZNThreadGroup(const ZNThreadGroup&) = delete;
    ZNThreadGroup& operator=(const ZNThreadGroup&) = delete;

    bool start(std::function<void()> body);

    // Sleeps for `timeout`, or less when woken or shut down. Returns false
    // once the group is shutting down.
    bool pause(std::chrono::milliseconds timeout);

    // Waits until `done` returns true, the timeout passes, or the group shuts
    // down; `done` is tested first and after every wake-up, without the
    // group's lock. Returns the last result of `done`.
    bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout);

    // Wakes every pause() and waitFor() so they test their conditions again.
    void wakeAll();

    void shutdownAndWait();

    bool isShuttingDown() const;
    int runningCount() const;

private:
    void threadMain(const std::function<void()>& body);

    mutable KX2Mutex mutex;
    std::condition_variable changed; // thread ended, wakeAll(), shutdown
    int running KX2_GUARDED_BY(mutex) = 0;
    unsigned wakeGeneration KX2_GUARDED_BY(mutex) = 0;
    unsigned endings KX2_GUARDED_BY(mutex) = 0; // threads ended, for waitFor()
    bool shuttingDown KX2_GUARDED_BY(mutex) = false;
};

#endif // ZNTHREADGROUP_H
