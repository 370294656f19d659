// Thread-safety annotations that Clang checks at compile time, and the
// mutex and lockers they are checked against.
//
// Every member that a lock protects carries KX2_GUARDED_BY(lock); every
// function that expects a lock held carries KX2_REQUIRES(lock). A Clang
// build with -Wthread-safety then rejects any access without the lock, so
// the locking rules live in the code instead of in prose. With other
// compilers the macros expand to nothing.
//
// libstdc++'s std::mutex carries no annotations, so guarded members are
// guarded by a KX2Mutex and locked through KX2MutexLocker. A condition
// wait goes through the locker (wait(), waitFor(), waitUntil()): the lock
// is released for the wait and held again when it returns, as the analysis
// assumes. Write the condition as a loop in the calling function, where
// the analysis sees the lock held, not as a predicate lambda, which it
// checks as a function of its own.
//
// Threads: KX2Mutex and KX2MutexLocker behave like std::mutex and
// std::unique_lock; a locker belongs to the thread that made it.

#ifndef KX2THREADSAFETY_H
#define KX2THREADSAFETY_H

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define KX2_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KX2_THREAD_ANNOTATION(x)
#endif

#define KX2_CAPABILITY(x) KX2_THREAD_ANNOTATION(capability(x))
#define KX2_SCOPED_CAPABILITY KX2_THREAD_ANNOTATION(scoped_lockable)
#define KX2_GUARDED_BY(x) KX2_THREAD_ANNOTATION(guarded_by(x))
#define KX2_PT_GUARDED_BY(x) KX2_THREAD_ANNOTATION(pt_guarded_by(x))
#define KX2_REQUIRES(...) KX2_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define KX2_REQUIRES_SHARED(...) KX2_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define KX2_EXCLUDES(...) KX2_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define KX2_ACQUIRE(...) KX2_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define KX2_ACQUIRE_SHARED(...) KX2_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define KX2_RELEASE(...) KX2_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define KX2_RELEASE_SHARED(...) KX2_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define KX2_TRY_ACQUIRE(...) KX2_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define KX2_RETURN_CAPABILITY(x) KX2_THREAD_ANNOTATION(lock_returned(x))
#define KX2_NO_THREAD_SAFETY_ANALYSIS KX2_THREAD_ANNOTATION(no_thread_safety_analysis)

class KX2MutexLocker;

// A std::mutex that the analysis knows as a lock.
class KX2_CAPABILITY("mutex") KX2Mutex
{
public:
    KX2Mutex() = default;
    KX2Mutex(const KX2Mutex&) = delete;
    KX2Mutex& operator=(const KX2Mutex&) = delete;

    void lock() KX2_ACQUIRE() { mutex.lock(); }
    void unlock() KX2_RELEASE() { mutex.unlock(); }
    bool tryLock() KX2_TRY_ACQUIRE(true) { return mutex.try_lock(); }

private:
    friend class KX2MutexLocker;
    std::mutex mutex;
};

// Holds a KX2Mutex for its scope, like std::unique_lock.
class KX2_SCOPED_CAPABILITY KX2MutexLocker
{
public:
    explicit KX2MutexLocker(KX2Mutex& mutex) KX2_ACQUIRE(mutex) : held(mutex.mutex) {}
    ~KX2MutexLocker() KX2_RELEASE() {}
    KX2MutexLocker(const KX2MutexLocker&) = delete;
    KX2MutexLocker& operator=(const KX2MutexLocker&) = delete;

    // Releases the lock until relock(), for work that must not hold it.
    void unlock() KX2_RELEASE() { held.unlock(); }
    void relock() KX2_ACQUIRE() { held.lock(); }

    // Condition waits: the lock is released while waiting and held again
    // on return. Spurious wake-ups happen; callers test their condition in
    // a loop.
    void wait(std::condition_variable& condition) { condition.wait(held); }
    template <class Rep, class Period>
    bool waitFor(std::condition_variable& condition, std::chrono::duration<Rep, Period> timeout)
    {
        return condition.wait_for(held, timeout) == std::cv_status::no_timeout;
    }
    template <class Clock, class Duration>
    bool waitUntil(std::condition_variable& condition,
                   std::chrono::time_point<Clock, Duration> deadline)
    {
        return condition.wait_until(held, deadline) == std::cv_status::no_timeout;
    }

private:
    std::unique_lock<std::mutex> held;
};

#endif // KX2THREADSAFETY_H
