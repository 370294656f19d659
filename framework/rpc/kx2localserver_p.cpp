#include "kx2localserver_p.h"

#include "kx2peer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// epoll data of the two descriptors that are not connections; connection
// ids start at 1 and never reach these.
const quint64 kWakeId = 0;
const quint64 kListenerId = ~quint64(0);
const int kEventsPerWait = 64;
// Clients accepted before the watcher looks at the other sockets again.
const int kAcceptBatch = 32;
// How often the watcher looks for connections stalled in a frame, and how
// soon it retries accepting after running out of descriptors with no idle
// connection to close.
const int kWatchMs = 1000;
const int kRetryAcceptMs = 100;
const int kWriteTimeoutMs = 30000;

std::atomic<int> g_openConnections{0};

qint64 steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Connections open at once by default: the descriptor limit less a
// reserve for the rest of the process (files, the store, scans).
int defaultMaxOpen()
{
    const int kReserve = 64;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 1 << 20;
    return int(std::clamp<rlim_t>(limit.rlim_cur, 2 * kReserve, 1 << 20)) - kReserve;
}

bool clientWaits(int listenFd)
{
    pollfd pending{listenFd, POLLIN, 0};
    return ::poll(&pending, 1, 0) == 1;
}

bool watch(int epollFd, int op, int fd, uint32_t events, quint64 id)
{
    epoll_event event{};
    event.events = events;
    event.data.u64 = id;
    return ::epoll_ctl(epollFd, op, fd, &event) == 0;
}

} // namespace

int kx2OpenConnectionCount()
{
    return g_openConnections.load();
}

KX2LocalServerPrivate::KX2LocalServerPrivate()
    : maxOpen(defaultMaxOpen())
    , epollFd(::epoll_create1(EPOLL_CLOEXEC))
    , wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    watch(epollFd.get(), EPOLL_CTL_ADD, wakeFd.get(), EPOLLIN, kWakeId);
}

KX2LocalServerPrivate::~KX2LocalServerPrivate()
{
    shutdown();
}

// ---------------------------------------------------------------------------
// Threads

void KX2LocalServerPrivate::startThreadsLocked()
{
    if (started)
        return;
    started = true;
    threads.start([this] { watcherMain(); });
    addWorkersLocked();
}

void KX2LocalServerPrivate::addWorkersLocked()
{
    while (workers < servedLimit && threads.start([this] { workerMain(); }))
        ++workers;
}

void KX2LocalServerPrivate::setServedLimit(int count)
{
    KX2MutexLocker lock(mutex);
    servedLimit = std::max(1, count);
    if (started && !quitting)
        addWorkersLocked();
    workQueued.notify_all();
}

void KX2LocalServerPrivate::shutdown()
{
    {
        KX2MutexLocker lock(mutex);
        quitting = true;
        stopAllLocked();
        workQueued.notify_all();
    }
    wakeWatcher();
    threads.shutdownAndWait();
    // No thread serves any more: what is left ends here.
    KX2MutexLocker lock(mutex);
    while (!connections.empty())
        endLocked(connections.begin()->first);
    listener.reset();
}

void KX2LocalServerPrivate::stopAllLocked()
{
    std::vector<quint64> ids;
    ids.reserve(connections.size());
    for (const auto& entry : connections)
        ids.push_back(entry.first);
    for (quint64 id : ids)
        requestStopLocked(id);
}

void KX2LocalServerPrivate::workerMain()
{
    KX2MutexLocker lock(mutex);
    for (;;) {
        std::shared_ptr<KX2Connection> connection;
        while (!quitting && !(connection = takeLocked()))
            lock.wait(workQueued);
        if (!connection)
            return;
        lock.unlock();
        const KX2Turn turn = connection->serve();
        lock.relock();
        finishTurnLocked(*connection, turn);
    }
}

void KX2LocalServerPrivate::wakeWatcher()
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd.get(), &one, sizeof one);
}

// The watcher waits for readiness and nothing else: readable idle
// connections are queued for the workers, the listener accepts. It takes
// the lock once per wake-up and wakes the workers after releasing it.
void KX2LocalServerPrivate::watcherMain()
{
    qint64 lastLook = steadyMs();
    int timeoutMs = kWatchMs;
    for (;;) {
        epoll_event events[kEventsPerWait];
        const int count = ::epoll_wait(epollFd.get(), events, kEventsPerWait, timeoutMs);
        bool acceptNow = false;
        bool woken = false;
        int queued = 0;
        {
            KX2MutexLocker lock(mutex);
            if (quitting)
                return;
            for (int i = 0; i < count; ++i) {
                const quint64 id = events[i].data.u64;
                const auto found = connections.find(id);
                woken = woken || id == kWakeId;
                if (id == kListenerId)
                    acceptNow = true;
                else if (found != connections.end() && found->second.state == State::Idle)
                    queued += readyLocked(found->second, events[i].events) ? 1 : 0;
            }
            if (retiring)
                closeListenerLocked();
            acceptNow = listener.isValid() && (acceptNow || acceptPaused);
            if (steadyMs() - lastLook >= kWatchMs) {
                lastLook = steadyMs();
                endStalledLocked();
            }
            timeoutMs = acceptPaused ? kRetryAcceptMs : kWatchMs;
        }
        uint64_t ignored = 0;
        if (woken)
            [[maybe_unused]] const ssize_t drained = ::read(wakeFd.get(), &ignored, sizeof ignored);
        for (int i = 0; i < queued; ++i)
            workQueued.notify_one();
        if (acceptNow)
            acceptClients();
    }
}

void KX2LocalServerPrivate::closeListenerLocked()
{
    if (listener.isValid())
        ::epoll_ctl(epollFd.get(), EPOLL_CTL_DEL, listener.get(), nullptr);
    listener.reset();
    retiring = false;
    acceptPaused = false;
    changed.notify_all();
}

// ---------------------------------------------------------------------------
// Accepting

bool KX2LocalServerPrivate::listen(KX2UniqueFd listenFd, int mode, int groupId)
{
    KX2MutexLocker lock(mutex);
    if (quitting || !epollFd.isValid()
        || !watch(epollFd.get(), EPOLL_CTL_ADD, listenFd.get(), EPOLLIN, kListenerId))
        return false;
    listener = std::move(listenFd);
    listenerMode = mode;
    listenerGroup = groupId;
    startThreadsLocked();
    return true;
}

void KX2LocalServerPrivate::retireListener()
{
    KX2MutexLocker lock(mutex);
    if (!listener.isValid())
        return;
    if (!started || quitting) {
        listener.reset();
        return;
    }
    retiring = true;
    wakeWatcher();
    while (listener.isValid())
        lock.wait(changed);
}

void KX2LocalServerPrivate::pauseAccepting(bool paused)
{
    if (paused == acceptPaused || !listener.isValid())
        return;
    acceptPaused = paused;
    // A paused listener is not watched (it would be ready all the time);
    // an ending connection or the retry timeout resumes it.
    watch(epollFd.get(), EPOLL_CTL_MOD, listener.get(), paused ? 0u : uint32_t(EPOLLIN), kListenerId);
}

void KX2LocalServerPrivate::acceptClients()
{
    for (int taken = 0; taken < kAcceptBatch; ++taken) {
        int listenFd = -1;
        int mode = 0;
        int groupId = -1;
        {
            KX2MutexLocker lock(mutex);
            listenFd = listener.get(); // closed only by this thread
            mode = listenerMode;
            groupId = listenerGroup;
            // At the limit: the connection idle for longest makes room for
            // a client that waits.
            if (int(connections.size()) >= maxOpen.load()
                && (!clientWaits(listenFd) || !evictOldestIdleLocked())) {
                pauseAccepting(int(connections.size()) >= maxOpen.load());
                return;
            }
            pauseAccepting(false);
        }
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            // The socket file's mode already keeps others out; the peer's
            // credentials are checked again, so that a descriptor that
            // reached us another way is refused too.
            if ((mode & 0002) != 0 || KX2Peer::ofSocket(fd).mayConnect(mode, groupId))
                adopt(fd, true);
            else
                ::close(fd);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return;
        // Out of descriptors or memory: close an idle connection and try
        // again, or wait until one ends.
        KX2MutexLocker lock(mutex);
        const bool outOfDescriptors = errno == EMFILE || errno == ENFILE;
        if (!outOfDescriptors || !evictOldestIdleLocked()) {
            pauseAccepting(true);
            return;
        }
    }
}

// Idle means armed in the epoll set with no unread bytes (a client just
// accepted has usually sent its request already). Oldest first; equal
// times go by the order of opening. Unread bytes are asked of the kernel
// only for the oldest candidates, not of every idle connection.
bool KX2LocalServerPrivate::evictOldestIdleLocked()
{
    std::vector<std::pair<qint64, quint64>> idle;
    for (const auto& item : connections) {
        if (item.second.state == State::Idle)
            idle.emplace_back(item.second.lastActiveMs, item.first);
    }
    std::sort(idle.begin(), idle.end());
    for (const auto& candidate : idle) {
        if (!connections.at(candidate.second).connection->hasUnreadBytes()) {
            endLocked(candidate.second);
            return true;
        }
    }
    return false;
}

// A connection that stopped sending in the middle of a frame holds budget
// bytes and a buffer; after the receive timeout it goes.
void KX2LocalServerPrivate::endStalledLocked()
{
    const qint64 oldest = steadyMs() - receiveTimeoutMs.load();
    std::vector<quint64> stalled;
    for (const auto& item : connections) {
        const Entry& entry = item.second;
        if (entry.state == State::Idle && entry.partialFrame && entry.lastActiveMs < oldest)
            stalled.push_back(item.first);
    }
    for (quint64 id : stalled)
        endLocked(id);
}

// ---------------------------------------------------------------------------
// Connections

std::shared_ptr<KX2Connection> KX2LocalServerPrivate::adopt(int fd, bool readNow)
{
    // Reads never block (MSG_DONTWAIT); writes block, but give up after
    // the write timeout when the peer does not read.
    const timeval timeout{kWriteTimeoutMs / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    auto connection = std::make_shared<KX2Connection>(this, fd, nextId.fetch_add(1));
    // Who connected decides what the request methods allow, and the
    // peer's uid its share of the workers; a peer whose credentials cannot
    // be read shares those of uid -1.
    if (KX2Peer::record(fd, connection->environment))
        connection->uid = KX2Peer::of(connection->environment).uid;
    KX2MutexLocker lock(mutex);
    if (quitting || !epollFd.isValid())
        return nullptr;
    startThreadsLocked();
    Entry& entry = connections[connection->id];
    entry.connection = connection;
    entry.lastActiveMs = steadyMs();
    ++g_openConnections;
    if (readNow)
        queueLocked(entry);
    else
        armLocked(entry);
    lock.unlock();
    if (readNow)
        workQueued.notify_one();
    return connection;
}

// A peer that hung up with nothing unread has nothing left to answer: it
// ends here rather than costing a worker's turn. True when queued.
bool KX2LocalServerPrivate::readyLocked(Entry& entry, uint32_t events)
{
    if ((events & (EPOLLHUP | EPOLLRDHUP)) != 0 && !entry.connection->hasUnreadBytes()) {
        endLocked(entry.connection->id);
        return false;
    }
    queueLocked(entry);
    return true;
}

// The caller wakes a worker once the lock is released, so that the woken
// worker does not block on it at once.
void KX2LocalServerPrivate::queueLocked(Entry& entry)
{
    entry.state = State::Queued;
    queue.push_back(entry.connection->id);
    ++usage[entry.connection->uid].queued;
}

// One uid gets at most half of the workers (at least one), and less
// while more uids are served or waiting, so a second user always finds
// room beside a first that floods the server.
int KX2LocalServerPrivate::shareLocked() const
{
    const int half = std::max(1, servedLimit / 2);
    const int users = std::max(1, int(usage.size()));
    return std::max(1, std::min(half, servedLimit / users));
}

std::shared_ptr<KX2Connection> KX2LocalServerPrivate::takeLocked()
{
    if (served >= servedLimit)
        return nullptr;
    const int share = shareLocked();
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        Entry& entry = connections.at(*it);
        Usage& use = usage[entry.connection->uid];
        if (use.serving >= share)
            continue;
        queue.erase(it);
        --use.queued;
        ++use.serving;
        ++served;
        entry.state = State::Serving;
        entry.servingThread = std::this_thread::get_id();
        return entry.connection;
    }
    return nullptr;
}

void KX2LocalServerPrivate::finishTurnLocked(KX2Connection& connection, KX2Turn turn)
{
    --served;
    --usage[connection.uid].serving;
    forgetIfUnusedLocked(connection.uid);
    Entry& entry = connections.at(connection.id);
    entry.servingThread = std::thread::id();
    entry.lastActiveMs = steadyMs();
    entry.partialFrame = connection.holdsPartialFrame();
    entry.state = State::Idle; // held by this thread until queued or armed
    if (turn == KX2Turn::End || connection.stopRequested.load())
        endLocked(connection.id);
    else if (turn == KX2Turn::Again)
        queueLocked(entry);
    else
        armLocked(entry);
    // This worker takes the next connection itself; another one only
    // when more wait (a freed share may let a waiter of another uid in).
    if (queue.size() > 1)
        workQueued.notify_one();
}

void KX2LocalServerPrivate::armLocked(Entry& entry)
{
    const uint32_t kArmed = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    KX2Connection& connection = *entry.connection;
    entry.state = State::Idle;
    const int op = entry.inEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (!watch(epollFd.get(), op, connection.fd.get(), kArmed, connection.id)) {
        endLocked(connection.id);
        return;
    }
    entry.inEpoll = true;
}

void KX2LocalServerPrivate::requestStopLocked(quint64 id)
{
    const auto found = connections.find(id);
    if (found == connections.end())
        return;
    KX2Connection& connection = *found->second.connection;
    connection.stopRequested.store(true);
    if (found->second.state == State::Serving)
        ::shutdown(connection.fd.get(), SHUT_RDWR); // ends a blocked send too
    else
        endLocked(id);
}

void KX2LocalServerPrivate::endLocked(quint64 id)
{
    const auto found = connections.find(id);
    if (found == connections.end())
        return;
    Entry& entry = found->second;
    KX2Connection& connection = *entry.connection;
    if (entry.state == State::Queued) {
        queue.erase(std::find(queue.begin(), queue.end(), id));
        --usage[connection.uid].queued;
        forgetIfUnusedLocked(connection.uid);
    }
    if (entry.inEpoll)
        ::epoll_ctl(epollFd.get(), EPOLL_CTL_DEL, connection.fd.get(), nullptr);
    connection.releaseReserved();
    connection.fd.reset();
    connections.erase(found);
    --g_openConnections;
    if (acceptPaused)
        wakeWatcher();
    changed.notify_all();
}

void KX2LocalServerPrivate::forgetIfUnusedLocked(uid_t uid)
{
    const auto found = usage.find(uid);
    if (found != usage.end() && found->second.serving == 0 && found->second.queued == 0)
        usage.erase(found);
}

bool KX2LocalServerPrivate::endAll(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    KX2MutexLocker lock(mutex);
    stopAllLocked();
    while (!connections.empty()) {
        if (!lock.waitUntil(changed, deadline))
            return connections.empty();
    }
    return true;
}

bool KX2LocalServerPrivate::isOpen(quint64 id) const
{
    KX2MutexLocker lock(mutex);
    return connections.count(id) != 0;
}

void KX2LocalServerPrivate::stopConnection(quint64 id)
{
    KX2MutexLocker lock(mutex);
    const auto found = connections.find(id);
    if (found == connections.end())
        return;
    // From a request method serving this very connection: it ends after
    // that request.
    const bool servedHere = found->second.servingThread == std::this_thread::get_id();
    requestStopLocked(id);
    while (!servedHere && connections.count(id) != 0)
        lock.wait(changed);
}

int KX2LocalServerPrivate::connectionCount() const
{
    KX2MutexLocker lock(mutex);
    return int(connections.size());
}

int KX2LocalServerPrivate::servedCount() const
{
    KX2MutexLocker lock(mutex);
    return served;
}

int KX2LocalServerPrivate::servedLimitNow() const
{
    KX2MutexLocker lock(mutex);
    return servedLimit;
}
