// KX2Reactor: one epoll set of sockets, served by a few pooled threads.
//
// Every registered descriptor is armed one-shot: when it becomes readable
// (or hangs up, or fails) exactly one reactor thread takes it and runs its
// item's ready(); the descriptor stays disarmed until the item arms it
// again with rearm(), so no two threads ever serve one socket at once, and
// whatever the item keeps is handed from one thread to the next through
// the epoll set.
//
// Many connections wait cheaply in the set, served in turn by one thread
// that takes several ready sockets at once. A busy connection, though, is
// served best by a thread of its own: local sockets wake the peer on the
// serving core, expecting the server to sleep next, and a thread serving
// many in turn is preempted by every peer it answers, while the other core
// idles. So an item may stay with its thread for a moment (beginStay()),
// and the set is served by another meanwhile. A thread that is busy for long (a slow request,
// a reply the peer does not read) does not hold the others up: a watch
// hands the sockets it has not reached back to the set, and wakes a parked
// thread or starts another (up to maxThreads), so that one thread serves
// the set beside every stuck one. Threads beyond that park once the stuck
// ones are done.
// Threads that stay idle (or parked) for the idle timeout leave while
// another thread serves; the last one leaves when nothing is registered
// any more, so an idle set costs no CPU time and an empty one no thread.
//
// Ownership and lifetime: held by shared pointer. Its threads hold a share
// of its state (the epoll set among it), so destroying the handle never
// frees what a thread still uses; they leave once nothing is registered.
// Items are not
// owned: an item registered with add() must stay alive until it has
// called remove(), which it does from its own ready() (or before it was
// ever armed), so no thread can still be about to run it.
//
// Threads: every method may be called from any thread.

#ifndef KX2REACTOR_H
#define KX2REACTOR_H

#include <atomic>
#include <chrono>
#include <memory>

class KX2ReactorState;

class KX2Pollable
{
public:
    virtual ~KX2Pollable() = default;
    // Runs on a reactor thread with the descriptor disarmed.
    virtual void ready() = 0;

private:
    friend class KX2Reactor;
    friend class KX2ReactorState;
    // Released when the item is armed and acquired before ready(): the
    // kernel orders the epoll calls, this states the hand-over in the
    // language's terms (and to thread checkers).
    std::atomic<unsigned> handOver{0};
    int fd = -1; // as registered; for the watch, which arms waiting items again
};

class KX2Reactor
{
public:
    // Null when the kernel gives no epoll set (descriptors exhausted).
    static std::shared_ptr<KX2Reactor>
    create(int maxThreads, std::chrono::milliseconds idleTimeout = std::chrono::seconds(30));
    ~KX2Reactor();
    KX2Reactor(const KX2Reactor&) = delete;
    KX2Reactor& operator=(const KX2Reactor&) = delete;

    // Registers `fd` armed for `item` and makes sure a thread serves the
    // set. False when the kernel refuses (nothing registered then).
    bool add(int fd, KX2Pollable* item);
    // Arms `fd` again; called by the item once it has been served.
    bool rearm(int fd, KX2Pollable* item);
    // Takes `fd` out of the set.
    void remove(int fd);

    // For an item that, inside its ready(), waits a moment on its own
    // descriptor for what its peer sends next (see KX2LocalSocket). True
    // when it may: the calling thread found it ready together with others
    // (or another item stays already), the set has no backlog (the last
    // look at it found less than a whole batch ready, and this thread's own
    // batch is done), fewer than half of the threads stay, and another
    // thread serves the set meanwhile (a parked one is woken, or one
    // started, when none waits for it). False, with nothing changed,
    // otherwise and when not called on one of this reactor's threads.
    // After true, call endStay() once the wait is over.
    bool beginStay();
    void endStay();

    // Threads serving the set at most (at least 1).
    void setMaxThreads(int count);
    int threadCount() const;

private:
    explicit KX2Reactor(std::shared_ptr<KX2ReactorState> state);
    // Shared with the serving threads, which may outlive this handle.
    const std::shared_ptr<KX2ReactorState> d;
};

#endif // KX2REACTOR_H
