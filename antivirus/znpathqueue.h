// ZNPathQueue: the bounded hand-over of file paths from the directory walk
// to the scan workers of one task.
//
// The walk of a large share produces paths far faster than workers can scan
// them; an unbounded queue would hold every path of the tree at once. The
// producer therefore blocks once `capacity` paths wait, until the consumers
// have taken half of them (one wake-up per capacity / 2 paths rather than
// one per path), and consumers block (costing no CPU) while the queue is
// empty and the walk goes on.
//
// Contract
// - One or more producers call push(); any number of consumers call pop().
//   Each pushed path is returned by exactly one pop().
// - close() marks the end of production: consumers drain what is queued and
//   then pop() returns false. push() after close() drops the path.
// - abort() discards everything queued and makes every blocked or later
//   push() and pop() return false at once, until reset().
// - reset() empties the queue and opens it for a new task. It must not race
//   with producers or consumers of the previous task (the task thread calls
//   it before it starts the walk and the workers).
// - The queue must outlive every thread that uses it.

#ifndef ZNPATHQUEUE_H
#define ZNPATHQUEUE_H

#include "kx2threadsafety.h"

#include <QByteArray>

#include <condition_variable>
#include <deque>

class ZNPathQueue
{
public:
    explicit ZNPathQueue(int capacity = 4096);

    ZNPathQueue(const ZNPathQueue&) = delete;
    ZNPathQueue& operator=(const ZNPathQueue&) = delete;

    // Blocks once the queue is full, until it is down to half; false when
    // closed or aborted.
    bool push(QByteArray path);
    // Blocks while the queue is empty and still open; false once the queue
    // is closed and drained, or aborted.
    bool pop(QByteArray& path);

    void close();
    void abort();
    void reset();

    int size() const;
    int capacity() const { return limit; }

private:
    int lowWater() const { return limit / 2; }

    const int limit;
    mutable KX2Mutex mutex;
    std::condition_variable notEmpty; // a path arrived, or closed/aborted
    std::condition_variable notFull;  // down to lowWater(), or closed/aborted
    std::deque<QByteArray> paths KX2_GUARDED_BY(mutex);
    int waitingProducers KX2_GUARDED_BY(mutex) = 0;
    bool closed KX2_GUARDED_BY(mutex) = false;
    bool aborted KX2_GUARDED_BY(mutex) = false;
};

#endif // ZNPATHQUEUE_H
