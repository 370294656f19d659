// KX2ServedSlots: how many requests a local server serves at once, and for
// whom.
//
// A connection takes a slot before it reads what arrived and gives it
// back once the requests it read are answered; an idle connection holds
// none. At most limit() slots are taken at once, and one peer uid at most
// its fair share: limit() divided by the number of uids holding or
// waiting for slots, and never more than half of limit() (at least one),
// so a second user always finds room beside a first that floods the
// server. A connection that finds no slot waits in a queue, in order of
// arrival; the release that frees a slot hands it to the first waiter
// whose uid is within its share, and the releasing thread serves it.
//
// Ownership: waiters are not owned; a waiter stays alive while queued
// (the connection's own registration keeps it), and leaves the queue only
// through release() or withdraw().
//
// Threads: every method may be called from any thread; one mutex guards
// the counts and the queue, held only for a few list operations.

#ifndef KX2SERVEDSLOTS_H
#define KX2SERVEDSLOTS_H

#include "kx2threadsafety.h"

#include <atomic>
#include <deque>
#include <unordered_map>

#include <sys/types.h>

class KX2ServedSlots
{
public:
    // A connection as the slots see it.
    class Waiter
    {
    public:
        virtual ~Waiter() = default;
        // Written before the first acquire(), read under the slots' mutex.
        uid_t uid = 0;
    };

    explicit KX2ServedSlots(int limit);
    KX2ServedSlots(const KX2ServedSlots&) = delete;
    KX2ServedSlots& operator=(const KX2ServedSlots&) = delete;

    enum class Grant {
        Slot,    // a slot is taken for the waiter
        Queued,  // the waiter is queued; release() hands it a slot later
        Stopping // `stopping` was set: nothing taken, nothing queued
    };
    // Takes a slot for `waiter`, or queues it. `stopping` is read under the
    // mutex, so a connection asked to stop is never left in the queue: a
    // withdraw() that found nothing to take out happened before.
    Grant acquire(Waiter* waiter, const std::atomic<bool>& stopping);
    // Gives back a slot of `uid`. Returns the first queued waiter that
    // may now be served, holding a slot, or null; the caller serves it.
    Waiter* release(uid_t uid);
    // Takes `waiter` out of the queue; false when it was not queued.
    bool withdraw(Waiter* waiter);

    void setLimit(int count);
    int limit() const;
    // Slots taken now.
    int taken() const;

private:
    struct Usage
    {
        int holding = 0;
        int waiting = 0;
    };
    bool mayTakeLocked(uid_t uid) const KX2_REQUIRES(mutex);
    // Adds to a uid's counts and keeps activeUsers in step.
    void changeLocked(uid_t uid, int holding, int waiting) KX2_REQUIRES(mutex);
    void forgetIfUnusedLocked(uid_t uid) KX2_REQUIRES(mutex);

    mutable KX2Mutex mutex;
    int limitCount KX2_GUARDED_BY(mutex);
    int takenCount KX2_GUARDED_BY(mutex) = 0;
    std::unordered_map<uid_t, Usage> usage KX2_GUARDED_BY(mutex);
    int activeUsers KX2_GUARDED_BY(mutex) = 0; // uids holding or waiting
    std::deque<Waiter*> queue KX2_GUARDED_BY(mutex);
};

#endif // KX2SERVEDSLOTS_H
