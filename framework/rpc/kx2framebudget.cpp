#include "kx2framebudget.h"

#include <algorithm>

KX2FrameBudget::KX2FrameBudget(qint64 limit) : limitBytes(std::max<qint64>(0, limit)) {}

bool KX2FrameBudget::reserve(uid_t uid, qint64 bytes)
{
    KX2MutexLocker lock(mutex);
    const auto it = byUid.find(uid);
    const qint64 mine = it == byUid.end() ? 0 : it->second;
    const qint64 users = std::max<qint64>(2, qint64(byUid.size()) + (mine == 0 ? 1 : 0));
    if (heldBytes + bytes > limitBytes || mine + bytes > limitBytes / users)
        return false;
    byUid[uid] = mine + bytes;
    heldBytes += bytes;
    return true;
}

void KX2FrameBudget::release(uid_t uid, qint64 bytes)
{
    KX2MutexLocker lock(mutex);
    heldBytes -= bytes;
    const auto it = byUid.find(uid);
    if (it != byUid.end() && (it->second -= bytes) <= 0)
        byUid.erase(it);
}

void KX2FrameBudget::setLimit(qint64 bytes)
{
    KX2MutexLocker lock(mutex);
    limitBytes = std::max<qint64>(0, bytes);
}

qint64 KX2FrameBudget::limit() const
{
    KX2MutexLocker lock(mutex);
    return limitBytes;
}

qint64 KX2FrameBudget::held() const
{
    KX2MutexLocker lock(mutex);
    return heldBytes;
}
