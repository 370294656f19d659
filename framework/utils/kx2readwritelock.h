// KX2ReadWriteLock: a QReadWriteLock that Clang's thread-safety analysis
// knows as a lock with a shared (read) and an exclusive (write) side, and
// its scoped lockers. Members it protects carry KX2_GUARDED_BY(lock): the
// analysis then accepts reads under either side and writes only under the
// write side (see kx2threadsafety.h).
//
// It wraps QReadWriteLock rather than std::shared_mutex to keep Qt's
// scheduling: a waiting writer holds new readers back, so a writer is not
// starved by a steady stream of readers.
//
// Threads: as QReadWriteLock (non-recursive). A locker belongs to the thread
// that made it and releases its side when it goes out of scope.

#ifndef KX2READWRITELOCK_H
#define KX2READWRITELOCK_H

#include "kx2threadsafety.h"

#include <QReadWriteLock>

class KX2_CAPABILITY("mutex") KX2ReadWriteLock
{
public:
    KX2ReadWriteLock() = default;
    KX2ReadWriteLock(const KX2ReadWriteLock&) = delete;
    KX2ReadWriteLock& operator=(const KX2ReadWriteLock&) = delete;

    void lockForRead() KX2_ACQUIRE_SHARED() { lock.lockForRead(); }
    void unlockRead() KX2_RELEASE_SHARED() { lock.unlock(); }
    void lockForWrite() KX2_ACQUIRE() { lock.lockForWrite(); }
    void unlockWrite() KX2_RELEASE() { lock.unlock(); }

private:
    QReadWriteLock lock;
};

// Holds the read side of a KX2ReadWriteLock for its scope.
class KX2_SCOPED_CAPABILITY KX2ReadLocker
{
public:
    explicit KX2ReadLocker(KX2ReadWriteLock& lock) KX2_ACQUIRE_SHARED(lock) : held(lock)
    {
        held.lockForRead();
    }
    ~KX2ReadLocker() KX2_RELEASE() { held.unlockRead(); }
    KX2ReadLocker(const KX2ReadLocker&) = delete;
    KX2ReadLocker& operator=(const KX2ReadLocker&) = delete;

private:
    KX2ReadWriteLock& held;
};

// Holds the write side of a KX2ReadWriteLock for its scope.
class KX2_SCOPED_CAPABILITY KX2WriteLocker
{
public:
    explicit KX2WriteLocker(KX2ReadWriteLock& lock) KX2_ACQUIRE(lock) : held(lock)
    {
        held.lockForWrite();
    }
    ~KX2WriteLocker() KX2_RELEASE() { held.unlockWrite(); }
    KX2WriteLocker(const KX2WriteLocker&) = delete;
    KX2WriteLocker& operator=(const KX2WriteLocker&) = delete;

private:
    KX2ReadWriteLock& held;
};

#endif // KX2READWRITELOCK_H
