#include "znpathqueue.h"

#include <utility>

ZNPathQueue::ZNPathQueue(int capacity) : limit(capacity > 0 ? capacity : 1) {}

bool ZNPathQueue::push(QByteArray path)
{
    KX2MutexLocker lock(mutex);
    if (int(paths.size()) >= limit) {
        // Full: sleep until the workers have taken half of it, so that a
        // long walk wakes once per limit / 2 paths, not once per path.
        ++waitingProducers;
        while (!aborted && !closed && int(paths.size()) > lowWater())
            lock.wait(notFull);
        --waitingProducers;
    }
    if (aborted || closed)
        return false;
    paths.push_back(std::move(path));
    lock.unlock();
    notEmpty.notify_one();
    return true;
}

bool ZNPathQueue::pop(QByteArray& path)
{
    KX2MutexLocker lock(mutex);
    while (!aborted && !closed && paths.empty())
        lock.wait(notEmpty);
    if (aborted || paths.empty())
        return false;
    path = std::move(paths.front());
    paths.pop_front();
    const bool wake = waitingProducers > 0 && int(paths.size()) == lowWater();
    lock.unlock();
    if (wake)
        notFull.notify_all();
    return true;
}

void ZNPathQueue::close()
{
    {
        KX2MutexLocker lock(mutex);
        closed = true;
    }
    notEmpty.notify_all();
    notFull.notify_all();
}

void ZNPathQueue::abort()
{
    {
        KX2MutexLocker lock(mutex);
        aborted = true;
        paths.clear();
    }
    notEmpty.notify_all();
    notFull.notify_all();
}

void ZNPathQueue::reset()
{
    KX2MutexLocker lock(mutex);
    paths.clear();
    closed = false;
    aborted = false;
}

int ZNPathQueue::size() const
{
    KX2MutexLocker lock(mutex);
    return int(paths.size());
}
