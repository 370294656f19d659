// KX2ThreadGroup: the background threads of one object, owned and joined.
//
// A background thread is started through the group of the object whose
// members it uses; the group keeps the std::thread and joins it, so no
// thread outlives its owner and none is ever detached: the owner raises its
// stop flags and calls shutdownAndWait() before its members go away. The
// group also offers the threads an interruptible pause, so a one-second
// idle wait ends at once when the owner shuts down or wakes it.
//
// Contract
// - start() runs `body` on a new thread of the group and returns true, or
//   returns false without running it after shutdown or when the system
//   cannot create a thread. Callers that set a "running" flag before
//   starting must clear it again on false. Threads whose body has returned
//   are joined by the next start() and by shutdownAndWait(), so a
//   long-lived group holds no more than its running threads and the ones
//   that ended since the last start.
// - pause() and waitFor() may be called from any thread. A condition that
//   another thread changes must be followed by wakeAll() from that thread
//   (after the change), or by the end of one of the group's threads, or
//   waitFor() notices it only at its deadline.
// - waitFor() tests its condition without the group's lock, so the
//   condition may take any lock its caller does not hold; the group's own
//   lock is a leaf (nothing is taken under it).
// - shutdownAndWait() refuses new threads, wakes every pause, and blocks
//   until every thread started by the group has returned from its body and
//   been joined. It must not be called from one of the group's own
//   threads.
// - The destructor calls shutdownAndWait().

#ifndef KX2THREADGROUP_H
#define KX2THREADGROUP_H

#include "kx2threadsafety.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <thread>
#include <vector>

class KX2ThreadGroup
{
public:
    KX2ThreadGroup() = default;
    ~KX2ThreadGroup();

    KX2ThreadGroup(const KX2ThreadGroup&) = delete;
    KX2ThreadGroup& operator=(const KX2ThreadGroup&) = delete;

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
    using Threads = std::list<std::thread>;

    void threadMain(std::function<void()> body, Threads::iterator self);
    // Joins the threads that have ended; their bodies have returned, so
    // this waits only for them to leave threadMain().
    void joinEnded() KX2_EXCLUDES(mutex);

    mutable KX2Mutex mutex;
    // Held while threads taken out of the list are joined, so that
    // shutdownAndWait() returns only once every thread has been joined,
    // whoever joins it. Taken before `mutex`, never while waiting for a
    // running thread (a group thread may call start()).
    KX2Mutex joining;
    Threads threads KX2_GUARDED_BY(mutex); // every thread not yet joined
    // Of them, those whose body has returned.
    std::vector<Threads::iterator> ended KX2_GUARDED_BY(mutex);
    std::condition_variable changed; // thread ended, wakeAll(), shutdown
    int running KX2_GUARDED_BY(mutex) = 0;
    unsigned wakeGeneration KX2_GUARDED_BY(mutex) = 0;
    unsigned endings KX2_GUARDED_BY(mutex) = 0; // threads ended, for waitFor()
    bool shuttingDown KX2_GUARDED_BY(mutex) = false;
};

#endif // KX2THREADGROUP_H
