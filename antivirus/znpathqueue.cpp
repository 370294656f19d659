#include "znpathqueue.h"

#include <utility>

ZNPathQueue::ZNPathQueue(int capacity)
    : limit(capacity > 0 ? capacity : 1)
{
}

bool ZNPathQueue::push(QByteArray path)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (int(paths.size()) >= limit) {
        // Full: sleep until the workers have taken half of it, so that a
        // long walk wakes once per limit / 2 paths, not once per path.
        ++waitingProducers;
        notFull.wait(lock, [&] { return aborted || closed || int(paths.size()) <= lowWater(); });
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
    std::unique_lock<std::mutex> lock(mutex);
    notEmpty.wait(lock, [&] { return aborted || closed || !paths.empty(); });
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
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
    }
    notEmpty.notify_all();
    notFull.notify_all();
}

void ZNPathQueue::abort()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        aborted = true;
        paths.clear();
    }
    notEmpty.notify_all();
    notFull.notify_all();
}

void ZNPathQueue::reset()
{
    std::lock_guard<std::mutex> lock(mutex);
    paths.clear();
    closed = false;
    aborted = false;
}

int ZNPathQueue::size() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return int(paths.size());
}
