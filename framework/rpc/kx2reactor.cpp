#include "kx2reactor.h"

#include "kx2threadsafety.h"
#include "kx2uniquefd.h"
#include "kx2workerpool.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <vector>

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

// Readable or hung up; errors and hang-ups are always reported.
const uint32_t kArmed = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
// How long one item must run before its thread counts as stuck. Long
// enough that a thread the scheduler merely put aside is not counted.
const std::chrono::milliseconds kWatchPeriod(10);
// Ready sockets one thread takes from the set at once: under load a thread
// serves several without going back to the kernel in between.
const int kBatch = 8;

} // namespace

struct KX2ReactorThread;

namespace {

// The reactor and thread record of the calling reactor thread, for
// beginStay(); empty on other threads.
struct CurrentThread
{
    const KX2ReactorState* state = nullptr;
    KX2ReactorThread* record = nullptr;
};
thread_local CurrentThread t_current;

} // namespace

// What the watch reads of one reactor thread.
struct KX2ReactorThread
{
    // Counts item starts and ends: odd while the thread serves an item.
    std::atomic<uint64_t> progress{0};
    uint64_t seen = 0; // `progress` at the watch's last look; watch only

    // The ready items one epoll_wait returned beyond the first. The thread
    // serves them in turn, claiming each through `next`; when it is stuck
    // in one long item, the watch claims the rest and arms them again, so
    // other threads serve them. `items` is written under the state's mutex
    // and read by the watch only under it.
    KX2Pollable* items[kBatch] = {};
    std::atomic<int> count{0};
    std::atomic<int> next{0};
    // Items its last epoll_wait returned; the thread's own.
    int lastTaken = 0;
};

// Thread rules: the counters the threads poll on every item are atomics;
// the rest of the shared state is guarded by `mutex`.
class KX2ReactorState : public std::enable_shared_from_this<KX2ReactorState>
{
public:
    KX2ReactorState(int maxThreads, std::chrono::milliseconds idleTimeout)
        : epollFd(::epoll_create1(EPOLL_CLOEXEC))
        , wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
        , idleTimeout(idleTimeout)
        , stayCap(std::max(1, maxThreads) / 2)
        , maxThreads(std::max(1, maxThreads))
    {
    }

    static void threadMain(const std::shared_ptr<KX2ReactorState>& self,
                           const std::shared_ptr<KX2ReactorThread>& me);
    static void watchMain(const std::shared_ptr<KX2ReactorState>& self);
    // Starts one more thread unless maxThreads run.
    void spawnLocked(const std::shared_ptr<KX2ReactorState>& self) KX2_REQUIRES(mutex);
    // Whether the calling thread, woken without an item, leaves: when the
    // set is empty, or after an idle timeout while another thread waits.
    bool leaves(const std::shared_ptr<KX2ReactorThread>& me, bool timedOut);
    // Parks the calling thread while more threads serve than are wanted.
    // True when it is to leave instead (parked for the idle timeout, or the
    // set became empty); its record is gone then.
    bool parks(const std::shared_ptr<KX2ReactorThread>& me);
    // Threads that have served one item for a whole watch period; their
    // waiting items are armed again.
    int stuckLocked() KX2_REQUIRES(mutex);
    // Whether any thread serves now or has served since the watch's last
    // look; `lastTotal` carries the progress sum from look to look.
    bool activeLocked(uint64_t& lastTotal) const KX2_REQUIRES(mutex);
    // What a parked thread waits for: the set became empty or it is wanted.
    bool unparkWantedLocked() const KX2_REQUIRES(mutex);
    // Serves `item`, whose start `me` has counted, and counts its end.
    void finish(KX2ReactorThread& me, KX2Pollable* item);
    bool rearm(int fd, KX2Pollable* item);
    // Arms again the ready items `me` took but has not reached.
    void handBack(KX2ReactorThread& me);
    bool beginStay();
    // Threads wanted beside those staying with an item.
    bool surplus() const { return serving.load() > wanted.load() + staying.load(); }

    const KX2UniqueFd epollFd;
    const KX2UniqueFd wakeFd; // in the set, never armed one-shot: written when empty
    const std::chrono::milliseconds idleTimeout;
    KX2WorkerPool pool;

    // Threads that serve the set at once: one, and one more for every
    // thread stuck in a long item. Set by the watch; read by every thread
    // before it waits for the set. One thread serving short requests in a
    // row is cheaper than several taking turns: each turn costs a wake-up
    // and a context switch, which on a few cores outweigh the request.
    std::atomic<int> wanted{1};
    // Threads not parked; changed under `mutex`, read without it.
    std::atomic<int> serving{0};
    // Whether the last epoll_wait of a thread found a whole batch ready.
    std::atomic<bool> backlogged{false};
    // Threads staying with one item (beginStay() to endStay()), and how
    // many may: half the threads, so that those serving long requests (one
    // per served slot) leave a thread for the set. The cap is written
    // under `mutex` with maxThreads.
    std::atomic<int> staying{0};
    std::atomic<int> stayCap;

    // Threads inside (or about to enter) epoll_wait.
    std::atomic<int> waiting{0};
    // Set by the watch before it sleeps without a deadline; the next item
    // served wakes it.
    std::atomic<bool> watchAsleep{false};

    KX2Mutex mutex;
    std::condition_variable watchWake;
    std::condition_variable unparked; // see parks()
    int parked KX2_GUARDED_BY(mutex) = 0;
    int maxThreads KX2_GUARDED_BY(mutex);
    int registered KX2_GUARDED_BY(mutex) = 0;
    bool watching KX2_GUARDED_BY(mutex) = false;
    bool watchNudged KX2_GUARDED_BY(mutex) = false;
    std::vector<std::shared_ptr<KX2ReactorThread>> threads KX2_GUARDED_BY(mutex);
};

void KX2ReactorState::spawnLocked(const std::shared_ptr<KX2ReactorState>& self)
{
    if (int(threads.size()) >= maxThreads)
        return;
    auto record = std::make_shared<KX2ReactorThread>();
    threads.push_back(record);
    serving.fetch_add(1);
    if (!pool.run([self, record] { threadMain(self, record); })) {
        threads.pop_back(); // the threads that run take the work on
        serving.fetch_sub(1);
    }
}

bool KX2ReactorState::leaves(const std::shared_ptr<KX2ReactorThread>& me, bool timedOut)
{
    KX2MutexLocker lock(mutex);
    // Another thread still counted as waiting covers the set; two threads
    // timing out together at worst both see each other gone and both stay.
    if (registered != 0 && !(timedOut && waiting.load() > 0))
        return false;
    threads.erase(std::find(threads.begin(), threads.end(), me));
    serving.fetch_sub(1);
    return true;
}

bool KX2ReactorState::parks(const std::shared_ptr<KX2ReactorThread>& me)
{
    KX2MutexLocker lock(mutex);
    if (!surplus())
        return false;
    serving.fetch_sub(1);
    ++parked;
    const auto deadline = std::chrono::steady_clock::now() + idleTimeout;
    bool wantedAgain = true;
    while (!unparkWantedLocked()) {
        if (!lock.waitUntil(unparked, deadline)) {
            wantedAgain = unparkWantedLocked();
            break;
        }
    }
    --parked;
    if (!wantedAgain || registered == 0) {
        threads.erase(std::find(threads.begin(), threads.end(), me));
        return true;
    }
    serving.fetch_add(1);
    return false;
}

bool KX2ReactorState::unparkWantedLocked() const
{
    return registered == 0 || serving.load() < wanted.load() + staying.load();
}

bool KX2ReactorState::activeLocked(uint64_t& lastTotal) const
{
    uint64_t total = 0;
    bool serving = false;
    for (const auto& thread : threads) {
        const uint64_t progress = thread->progress.load();
        total += progress;
        serving = serving || (progress & 1) != 0;
    }
    const bool changed = total != lastTotal;
    lastTotal = total;
    return serving || changed;
}

int KX2ReactorState::stuckLocked()
{
    int stuck = 0;
    for (const auto& thread : threads) {
        const uint64_t now = thread->progress.load();
        if ((now & 1) != 0 && now == thread->seen) {
            ++stuck;
            // Its waiting items go back to the set for the other threads.
            handBack(*thread);
        }
        thread->seen = now;
    }
    return stuck;
}

void KX2ReactorState::handBack(KX2ReactorThread& me)
{
    // Claims only while some are left, so that `next` stays small however
    // often the watch calls it for a thread stuck in one item.
    while (me.next.load() < me.count.load()) {
        const int i = me.next.fetch_add(1);
        if (i >= me.count.load())
            break;
        KX2Pollable* item = me.items[i];
        rearm(item->fd, item);
    }
}

void KX2ReactorState::threadMain(const std::shared_ptr<KX2ReactorState>& self,
                                 const std::shared_ptr<KX2ReactorThread>& me)
{
    KX2ReactorState& s = *self;
    const int timeoutMs = int(s.idleTimeout.count());
    t_current = {&s, me.get()};
    struct Forget
    {
        ~Forget() { t_current = {}; }
    } forget;
    for (;;) {
        if (s.surplus() && s.parks(me))
            return;
        s.waiting.fetch_add(1);
        epoll_event events[kBatch];
        const int count = ::epoll_wait(s.epollFd.get(), events, kBatch, timeoutMs);
        s.waiting.fetch_sub(1);
        if (count < 0 && errno == EINTR)
            continue;
        KX2Pollable* items[kBatch];
        int taken = 0;
        for (int i = 0; i < count; ++i) {
            if (events[i].data.ptr != nullptr)
                items[taken++] = static_cast<KX2Pollable*>(events[i].data.ptr);
        }
        me->lastTaken = taken;
        if ((taken == kBatch) != s.backlogged.load(std::memory_order_relaxed))
            s.backlogged.store(taken == kBatch, std::memory_order_relaxed);
        if (taken == 0) {
            if (s.leaves(me, count == 0))
                return;
            continue;
        }
        // Serving counts from here, before the watch's flag is read: a
        // watch going to sleep either sees this thread serving or is woken.
        me->progress.fetch_add(1);
        if (taken > 1 || s.watchAsleep.load()) {
            KX2MutexLocker lock(s.mutex);
            std::copy(items + 1, items + taken, me->items);
            me->count.store(taken - 1);
            me->next.store(0);
            if (s.watchAsleep.load()) {
                s.watchNudged = true;
                s.watchWake.notify_one();
            }
        }
        s.finish(*me, items[0]);
        for (int i; taken > 1 && (i = me->next.fetch_add(1)) < taken - 1;) {
            me->progress.fetch_add(1);
            s.finish(*me, me->items[i]);
        }
    }
}

void KX2ReactorState::finish(KX2ReactorThread& me, KX2Pollable* item)
{
    item->handOver.load(std::memory_order_acquire);
    item->ready();
    me.progress.fetch_add(1);
}

// The watch: while items are being served it looks every kWatchPeriod and
// wants one thread serving the set beside those stuck in a long item; when
// no thread waits for the set and fewer serve, it wakes a parked thread or
// starts another. Many short requests never make a thread stuck, so load
// alone never adds threads. With nothing served it sleeps until the next
// item.
void KX2ReactorState::watchMain(const std::shared_ptr<KX2ReactorState>& self)
{
    KX2ReactorState& s = *self;
    KX2MutexLocker lock(s.mutex);
    uint64_t lastTotal = 0;
    while (s.registered > 0) {
        if (s.activeLocked(lastTotal)) {
            lock.waitFor(s.watchWake, kWatchPeriod);
            const int want = 1 + s.stuckLocked();
            s.wanted.store(want);
            if (s.waiting.load() == 0 && s.serving.load() < want) {
                if (s.parked > 0)
                    s.unparked.notify_one();
                else
                    s.spawnLocked(self);
            }
            continue;
        }
        s.watchNudged = false;
        s.watchAsleep.store(true);
        // Looked at again after the flag is up: a thread that started an
        // item without seeing the flag is seen here (see threadMain).
        if (!s.activeLocked(lastTotal)) {
            while (!s.watchNudged && s.registered != 0)
                lock.wait(s.watchWake);
        }
        s.watchAsleep.store(false);
    }
    s.watching = false;
}

std::shared_ptr<KX2Reactor> KX2Reactor::create(int maxThreads,
                                               std::chrono::milliseconds idleTimeout)
{
    auto state = std::make_shared<KX2ReactorState>(maxThreads, idleTimeout);
    if (!state->epollFd.isValid() || !state->wakeFd.isValid())
        return nullptr;
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.ptr = nullptr;
    if (::epoll_ctl(state->epollFd.get(), EPOLL_CTL_ADD, state->wakeFd.get(), &wake) != 0)
        return nullptr;
    return std::shared_ptr<KX2Reactor>(new KX2Reactor(std::move(state)));
}

KX2Reactor::KX2Reactor(std::shared_ptr<KX2ReactorState> state) : d(std::move(state)) {}

KX2Reactor::~KX2Reactor() = default;

bool KX2Reactor::add(int fd, KX2Pollable* item)
{
    KX2ReactorState& s = *d;
    KX2MutexLocker lock(s.mutex);
    if (s.registered++ == 0) {
        // Threads told to leave an empty set must not leave this one.
        uint64_t ignored = 0;
        [[maybe_unused]] const ssize_t drained = ::read(s.wakeFd.get(), &ignored, sizeof ignored);
    }
    epoll_event event{};
    event.events = kArmed;
    event.data.ptr = item;
    item->fd = fd;
    item->handOver.fetch_add(1, std::memory_order_release);
    if (::epoll_ctl(s.epollFd.get(), EPOLL_CTL_ADD, fd, &event) != 0) {
        --s.registered;
        return false;
    }
    if (s.threads.empty())
        s.spawnLocked(d);
    if (!s.watching && s.pool.run([self = d] { KX2ReactorState::watchMain(self); }))
        s.watching = true;
    return true;
}

bool KX2Reactor::rearm(int fd, KX2Pollable* item)
{
    return d->rearm(fd, item);
}

bool KX2ReactorState::rearm(int fd, KX2Pollable* item)
{
    epoll_event event{};
    event.events = kArmed;
    event.data.ptr = item;
    item->handOver.fetch_add(1, std::memory_order_release);
    return ::epoll_ctl(epollFd.get(), EPOLL_CTL_MOD, fd, &event) == 0;
}

void KX2Reactor::remove(int fd)
{
    KX2ReactorState& s = *d;
    ::epoll_ctl(s.epollFd.get(), EPOLL_CTL_DEL, fd, nullptr);
    KX2MutexLocker lock(s.mutex);
    if (--s.registered == 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t woken = ::write(s.wakeFd.get(), &one, sizeof one);
        s.watchWake.notify_one();
        s.unparked.notify_all();
    }
}

bool KX2Reactor::beginStay()
{
    return d->beginStay();
}

bool KX2ReactorState::beginStay()
{
    if (t_current.state != this)
        return false;
    // With a whole batch ready at once, or items of this thread's own
    // batch not reached yet, the set's connections wait their turn: an item
    // staying would be served ahead of them, and its thread would take the
    // cores' time in equal share with the one that serves them all.
    // Everyone takes turns in the set then.
    const KX2ReactorThread& me = *t_current.record;
    if (backlogged.load(std::memory_order_relaxed) || me.next.load() < me.count.load())
        return false;
    // Staying relieves one thread serving a few busy connections in turn:
    // it starts with an item that came in a batch with others and spreads
    // from there. A lone busy connection gains nothing (its thread waits
    // in epoll_wait for it just as well) and measured slower staying.
    if (me.lastTaken < 2 && staying.load() == 0)
        return false;
    const int nowStaying = staying.fetch_add(1) + 1;
    if (nowStaying > stayCap.load()) {
        staying.fetch_sub(1);
        return false;
    }
    // Threads that do not stay cover the set; while some serve, one of
    // them comes back to it soon.
    if (waiting.load() > 0 || serving.load() > nowStaying)
        return true;
    {
        KX2MutexLocker lock(mutex);
        if (parked > 0) {
            unparked.notify_one();
            return true;
        }
        if (int(threads.size()) < maxThreads) {
            spawnLocked(shared_from_this());
            return true;
        }
    }
    staying.fetch_sub(1);
    return false;
}

void KX2Reactor::endStay()
{
    d->staying.fetch_sub(1);
}

void KX2Reactor::setMaxThreads(int count)
{
    KX2MutexLocker lock(d->mutex);
    d->maxThreads = std::max(1, count);
    d->stayCap.store(d->maxThreads / 2);
}

int KX2Reactor::threadCount() const
{
    KX2MutexLocker lock(d->mutex);
    return int(d->threads.size());
}
