#include "kx2localserver_p.h"

#include "kx2peer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
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
const quint64 kNoEvent = ~quint64(0) - 1;
// Both are one-shot: one worker at a time takes each.
const uint32_t kListenerEvents = EPOLLIN | EPOLLONESHOT;
// Clients accepted in one turn of a worker.
const int kAcceptBatch = 32;
// How often the workers look for connections stalled in a frame, and how
// soon they retry accepting after running out of descriptors with no idle
// connection to close.
const int kWatchMs = 1000;
const int kRetryAcceptMs = 100;
const int kWriteTimeoutMs = 30000;

std::atomic<int> g_openConnections{0};

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
    watch(epollFd.get(), EPOLL_CTL_ADD, wakeFd.get(), EPOLLIN | EPOLLONESHOT, kWakeId);
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
    if (anyTakeableLocked())
        wakeWorker();
}

void KX2LocalServerPrivate::shutdown()
{
    {
        KX2MutexLocker lock(mutex);
        quitting = true;
        stopAllLocked();
    }
    wakeWorker(); // passed on from worker to worker while quitting
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

// A worker waits in the epoll set itself, so the worker woken by a readable
// connection is the one that serves it; after a turn it takes a queued
// connection first, if one may be served.
void KX2LocalServerPrivate::workerMain()
{
    std::shared_ptr<KX2Connection> connection;
    for (;;) {
        if (!connection && !waitForWork(connection))
            return;
        if (!connection)
            continue;
        const KX2Turn turn = connection->serve();
        KX2MutexLocker lock(mutex);
        finishTurnLocked(*connection, turn);
        connection = quitting ? nullptr : takeLocked();
    }
}

void KX2LocalServerPrivate::wakeWorker()
{
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakeFd.get(), &one, sizeof one);
}

// Waits for one event (one at a time, so that no worker sits on events
// others could serve). False once the server shuts down; a connection the
// caller may serve comes back in `connection`.
bool KX2LocalServerPrivate::waitForWork(std::shared_ptr<KX2Connection>& connection)
{
    epoll_event event{};
    const int count = ::epoll_wait(epollFd.get(), &event, 1, waitMs.load());
    const quint64 id = count == 1 ? event.data.u64 : kNoEvent;
    if (id == kWakeId) {
        uint64_t ignored = 0;
        [[maybe_unused]] const ssize_t drained = ::read(wakeFd.get(), &ignored, sizeof ignored);
    }
    bool acceptNow = false;
    {
        KX2MutexLocker lock(mutex);
        if (id == kWakeId) {
            watch(epollFd.get(), EPOLL_CTL_MOD, wakeFd.get(), EPOLLIN | EPOLLONESHOT, kWakeId);
            if (quitting)
                wakeWorker();
        }
        if (quitting)
            return false;
        if (kx2SteadyMs() - lastLookMs >= kWatchMs) {
            lastLookMs = kx2SteadyMs();
            endStalledLocked();
        }
        if (id == kWakeId)
            connection = takeLocked();
        else if (id != kNoEvent && id != kListenerId)
            connection = claimLocked(id, event.events);
        acceptNow = listener.isValid() && (id == kListenerId || (acceptPaused && count == 0));
    }
    if (acceptNow)
        connection = acceptClients();
    return true;
}

// ---------------------------------------------------------------------------
// Accepting

bool KX2LocalServerPrivate::listen(KX2UniqueFd listenFd, int mode, int groupId)
{
    KX2MutexLocker lock(mutex);
    if (quitting || !epollFd.isValid()
        || !watch(epollFd.get(), EPOLL_CTL_ADD, listenFd.get(), kListenerEvents, kListenerId))
        return false;
    listener = std::move(listenFd);
    listenerMode = mode;
    listenerGroup = groupId;
    startThreadsLocked();
    return true;
}

// Closes the listening socket once no worker is inside accept() on it,
// so that its number is not reused under a worker's feet.
void KX2LocalServerPrivate::retireListener()
{
    KX2MutexLocker lock(mutex);
    if (!listener.isValid())
        return;
    ::epoll_ctl(epollFd.get(), EPOLL_CTL_DEL, listener.get(), nullptr);
    retiring = true;
    while (accepting)
        lock.wait(changed);
    listener.reset();
    retiring = false;
    pauseAcceptingLocked(false);
}

// A paused listener is not armed (it would be ready all the time); an
// ending connection, or the short wait of the workers, resumes it.
void KX2LocalServerPrivate::pauseAcceptingLocked(bool paused)
{
    acceptPaused = paused;
    waitMs.store(paused ? kRetryAcceptMs : kWatchMs);
    if (!paused && listener.isValid() && !retiring)
        watch(epollFd.get(), EPOLL_CTL_MOD, listener.get(), kListenerEvents, kListenerId);
}

// Called by the worker that took the listener's (one-shot) event, or that
// retries while accepting is paused. One worker accepts at a time, so the
// limit on open connections holds between its check and the accept. The
// clients accepted are queued (they have usually sent their request
// already), and this worker serves the first.
std::shared_ptr<KX2Connection> KX2LocalServerPrivate::acceptClients()
{
    KX2MutexLocker lock(mutex);
    if (accepting)
        return nullptr;
    accepting = true;
    bool paused = false;
    for (int taken = 0; taken < kAcceptBatch && !paused; ++taken) {
        if (retiring || !listener.isValid())
            break;
        // At the limit: the connection idle for longest makes room for a
        // client that waits.
        if (int(connections.size()) >= maxOpen.load()
            && (!clientWaits(listener.get()) || !evictOldestIdleLocked())) {
            paused = true;
            break;
        }
        const int listenFd = listener.get();
        const int mode = listenerMode;
        const int groupId = listenerGroup;
        lock.unlock();
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        const int error = errno;
        // The socket file's mode already keeps others out; the peer's
        // credentials are checked again, so that a descriptor that reached
        // us another way is refused too.
        if (fd >= 0 && ((mode & 0002) != 0 || KX2Peer::ofSocket(fd).mayConnect(mode, groupId)))
            adopt(fd, false);
        else if (fd >= 0)
            ::close(fd);
        lock.relock();
        if (fd >= 0 || error == EINTR || error == ECONNABORTED || error == EPROTO)
            continue;
        if (error == EAGAIN || error == EWOULDBLOCK)
            break;
        // Out of descriptors or memory: close an idle connection and try
        // again, or wait until one ends.
        paused = (error != EMFILE && error != ENFILE) || !evictOldestIdleLocked();
    }
    pauseAcceptingLocked(paused); // else armed again for the next clients
    accepting = false;
    if (retiring)
        changed.notify_all();
    return quitting ? nullptr : takeLocked();
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
    const qint64 oldest = kx2SteadyMs() - receiveTimeoutMs.load();
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

std::shared_ptr<KX2Connection> KX2LocalServerPrivate::adopt(int fd, bool wake)
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
    entry.lastActiveMs = kx2SteadyMs();
    ++g_openConnections;
    queueLocked(entry);
    if (wake && anyTakeableLocked())
        wakeWorker();
    return connection;
}

// A readable idle connection joins the queue, and the caller takes the
// first queued connection it may serve (most often this one). A peer that
// hung up with nothing unread has nothing left to answer: it ends here.
std::shared_ptr<KX2Connection> KX2LocalServerPrivate::claimLocked(quint64 id, uint32_t events)
{
    const auto found = connections.find(id);
    if (found == connections.end() || found->second.state != State::Idle)
        return nullptr;
    Entry& entry = found->second;
    if ((events & (EPOLLHUP | EPOLLRDHUP)) != 0 && !entry.connection->hasUnreadBytes()) {
        endLocked(id);
        return nullptr;
    }
    queueLocked(entry);
    return takeLocked();
}

void KX2LocalServerPrivate::queueLocked(Entry& entry)
{
    entry.state = State::Queued;
    queue.push_back({entry.connection->id, entry.connection->uid});
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

// A queue of one busy uid is passed over without a look-up per entry.
std::deque<KX2LocalServerPrivate::Queued>::iterator KX2LocalServerPrivate::firstTakeableLocked()
{
    if (served >= servedLimit)
        return queue.end();
    const int share = shareLocked();
    std::optional<uid_t> full;
    for (auto it = queue.begin(); it != queue.end(); ++it) {
        if (full == it->uid)
            continue;
        if (usage[it->uid].serving < share)
            return it;
        full = it->uid;
    }
    return queue.end();
}

bool KX2LocalServerPrivate::anyTakeableLocked()
{
    return firstTakeableLocked() != queue.end();
}

// Takes the first queued connection whose uid is under its share, and
// wakes another worker when one more may be served: whoever takes from the
// queue keeps it moving, so no connection waits there while workers idle.
std::shared_ptr<KX2Connection> KX2LocalServerPrivate::takeLocked()
{
    const auto it = firstTakeableLocked();
    if (it == queue.end())
        return nullptr;
    Entry& entry = connections.at(it->id);
    queue.erase(it);
    Usage& use = usage[entry.connection->uid];
    --use.queued;
    ++use.serving;
    ++served;
    entry.state = State::Serving;
    entry.servingThread = std::this_thread::get_id();
    if (anyTakeableLocked())
        wakeWorker();
    return entry.connection;
}

void KX2LocalServerPrivate::finishTurnLocked(KX2Connection& connection, KX2Turn turn)
{
    --served;
    --usage[connection.uid].serving;
    forgetIfUnusedLocked(connection.uid);
    Entry& entry = connections.at(connection.id);
    entry.servingThread = std::thread::id();
    // Active as of its reply, stamped before the reply left: a client that
    // got it and went on to open another connection finds this one older.
    entry.lastActiveMs = connection.repliedMs > 0 ? connection.repliedMs : kx2SteadyMs();
    connection.repliedMs = 0;
    entry.partialFrame = connection.holdsPartialFrame();
    entry.state = State::Idle; // held by this thread until queued or armed
    if (turn == KX2Turn::End || connection.stopRequested.load())
        endLocked(connection.id);
    else if (turn == KX2Turn::Again)
        queueLocked(entry);
    else
        armLocked(entry);
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
        queue.erase(std::find_if(queue.begin(), queue.end(),
                                 [id](const Queued& queued) { return queued.id == id; }));
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
        pauseAcceptingLocked(false);
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
