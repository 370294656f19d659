#include "kx2servedslots.h"

#include <algorithm>

KX2ServedSlots::KX2ServedSlots(int limit) : limitCount(std::max(1, limit)) {}

namespace {

// Uids remembered with nothing held or queued before they are forgotten;
// a uid's entry is kept meanwhile, so a client asking again and again
// costs no allocation per request.
const size_t kRememberedUids = 1024;

bool inUse(int holding, int waiting)
{
    return holding > 0 || waiting > 0;
}

} // namespace

bool KX2ServedSlots::mayTakeLocked(uid_t uid) const
{
    if (takenCount >= limitCount)
        return false;
    // Uids holding or waiting for slots, this one counted too.
    const auto it = usage.find(uid);
    const bool counted = it != usage.end() && inUse(it->second.holding, it->second.waiting);
    const int users = std::max(2, activeUsers + (counted ? 0 : 1));
    const int share = std::max(1, limitCount / users);
    return it == usage.end() || it->second.holding < share;
}

void KX2ServedSlots::changeLocked(uid_t uid, int holding, int waiting)
{
    Usage& entry = usage[uid];
    const bool before = inUse(entry.holding, entry.waiting);
    entry.holding += holding;
    entry.waiting += waiting;
    activeUsers += int(inUse(entry.holding, entry.waiting)) - int(before);
}

void KX2ServedSlots::forgetIfUnusedLocked(uid_t uid)
{
    if (usage.size() <= kRememberedUids)
        return;
    const auto it = usage.find(uid);
    if (it != usage.end() && !inUse(it->second.holding, it->second.waiting))
        usage.erase(it);
}

KX2ServedSlots::Grant KX2ServedSlots::acquire(Waiter* waiter, const std::atomic<bool>& stopping)
{
    KX2MutexLocker lock(mutex);
    if (stopping.load())
        return Grant::Stopping;
    if (mayTakeLocked(waiter->uid)) {
        changeLocked(waiter->uid, 1, 0);
        ++takenCount;
        return Grant::Slot;
    }
    changeLocked(waiter->uid, 0, 1);
    queue.push_back(waiter);
    return Grant::Queued;
}

KX2ServedSlots::Waiter* KX2ServedSlots::release(uid_t uid)
{
    KX2MutexLocker lock(mutex);
    --takenCount;
    changeLocked(uid, -1, 0);
    forgetIfUnusedLocked(uid);
    // The first waiter in arrival order whose uid is within its share.
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        Waiter* waiter = *it;
        if (!mayTakeLocked(waiter->uid))
            continue;
        queue.erase(it);
        changeLocked(waiter->uid, 1, -1);
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
    changeLocked(waiter->uid, 0, -1);
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
