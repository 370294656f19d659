#include "kx2servedslots.h"

#include <algorithm>

KX2ServedSlots::KX2ServedSlots(int limit) : limitCount(std::max(1, limit)) {}

bool KX2ServedSlots::mayTakeLocked(uid_t uid) const
{
    if (takenCount >= limitCount)
        return false;
    // Uids holding or waiting for slots, this one counted already.
    const int users = std::max<int>(2, int(usage.size()));
    const int share = std::max(1, limitCount / users);
    const auto it = usage.find(uid);
    return it == usage.end() || it->second.holding < share;
}

void KX2ServedSlots::forgetIfUnusedLocked(uid_t uid)
{
    const auto it = usage.find(uid);
    if (it != usage.end() && it->second.holding == 0 && it->second.waiting == 0)
        usage.erase(it);
}

KX2ServedSlots::Grant KX2ServedSlots::acquire(Waiter* waiter, const std::atomic<bool>& stopping)
{
    KX2MutexLocker lock(mutex);
    if (stopping.load())
        return Grant::Stopping;
    Usage& mine = usage[waiter->uid];
    if (mayTakeLocked(waiter->uid)) {
        ++mine.holding;
        ++takenCount;
        return Grant::Slot;
    }
    ++mine.waiting;
    queue.push_back(waiter);
    return Grant::Queued;
}

KX2ServedSlots::Waiter* KX2ServedSlots::release(uid_t uid)
{
    KX2MutexLocker lock(mutex);
    --takenCount;
    --usage[uid].holding;
    forgetIfUnusedLocked(uid);
    // The first waiter in arrival order whose uid is within its share.
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        Waiter* waiter = *it;
        if (!mayTakeLocked(waiter->uid))
            continue;
        queue.erase(it);
        Usage& theirs = usage[waiter->uid];
        --theirs.waiting;
        ++theirs.holding;
        ++takenCount;
        return waiter;
    }
    return nullptr;
}

bool KX2ServedSlots::withdraw(Waiter* waiter)
{
    KX2MutexLocker lock(mutex);
    const auto it = std::find(queue.begin(), queue.end(), waiter);
    if (it == queue.end())
        return false;
    queue.erase(it);
    --usage[waiter->uid].waiting;
    forgetIfUnusedLocked(waiter->uid);
    return true;
}

void KX2ServedSlots::setLimit(int count)
{
    KX2MutexLocker lock(mutex);
    limitCount = std::max(1, count);
}

int KX2ServedSlots::limit() const
{
    KX2MutexLocker lock(mutex);
    return limitCount;
}

int KX2ServedSlots::taken() const
{
    KX2MutexLocker lock(mutex);
    return takenCount;
}
