#include "kx2localserver.h"

#include "kx2localserver_p.h"
#include "kx2localsocket.h"
#include "kx2peer.h"
#include "kx2rpcpacket.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const int kPendingConnections = 1024;
const int kDefaultMode = 0777;
// Connections accepted in one turn of the listener: a burst of clients
// is taken in a few turns, each of which waits its place among the busy
// connections only once.
const int kAcceptBatch = 32;
// Back-off after a failed accept (descriptors or memory exhausted), doubled
// up to the maximum while accepts keep failing; a connection that ends
// resumes accepting at once.
const int kFirstBackOffMs = 20;
const int kMaxBackOffMs = 1000;
// How long stop() waits for a reactor thread to retire the listener. A
// thread is free within a watch period even when all are busy, so this
// bound only matters when the reactor cannot run at all.
const int kRetireWaitMs = 2000;

QString systemError(int error)
{
    return QString::fromLocal8Bit(strerror(error));
}

// Fills `addr` for `path`; false when the path does not fit a socket address.
bool socketAddress(const QByteArray& path, sockaddr_un& addr)
{
    addr = sockaddr_un{};
    addr.sun_family = AF_UNIX;
    if (path.isEmpty() || size_t(path.size()) >= sizeof addr.sun_path)
        return false;
    memcpy(addr.sun_path, path.constData(), size_t(path.size()));
    return true;
}

enum class Occupant { Nothing, Stale, Live, NotASocket, Unknown };

// What sits at `path`: a socket some process accepts on, a socket nobody
// listens on any more, something else, or nothing.
Occupant probe(const QByteArray& path, const sockaddr_un& addr)
{
    struct stat st
    {};
    if (::lstat(path.constData(), &st) != 0)
        return errno == ENOENT ? Occupant::Nothing : Occupant::Unknown;
    if (!S_ISSOCK(st.st_mode))
        return Occupant::NotASocket;
    const KX2UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0)
        return Occupant::Unknown;
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
        return Occupant::Live;
    // A full backlog (EAGAIN) still means somebody listens.
    if (errno == ECONNREFUSED)
        return Occupant::Stale;
    return errno == ENOENT ? Occupant::Nothing : Occupant::Live;
}

// Tells a stop() waiting for a listener that it is gone, socket closed.
struct KX2ListenerFarewell
{
    ~KX2ListenerFarewell()
    {
        KX2MutexLocker lock(server->slotMutex);
        *gone = true;
        server->listenerGone.notify_all();
    }
    const std::shared_ptr<KX2LocalServerPrivate> server;
    // Read and written under server->slotMutex. The analysis cannot follow
    // a flag shared through a std::shared_ptr, so this one stays in prose.
    const std::shared_ptr<bool> gone = std::make_shared<bool>(false);
};

// The listening socket in the reactor. Registered by start() and owned by
// that registration (`self`) until it retires: stop() flags it and shuts
// the socket down, which makes it ready, and the reactor thread that then
// serves it takes it out of the set and lets it go. The server keeps a
// share only to reach it for stop(), which then waits until it is gone.
class KX2Acceptor : public KX2Pollable
{
public:
    KX2Acceptor(std::shared_ptr<KX2LocalServerPrivate> server, int fd, int mode, int groupId)
        : server(std::move(server)), farewell{this->server}, fd(fd), mode(mode), groupId(groupId)
    {
    }

    bool enlist(const std::shared_ptr<KX2Acceptor>& me);
    void ready() override;
    void stop();

    const std::shared_ptr<KX2LocalServerPrivate> server;
    // Declared before the socket, so destroyed after it.
    const KX2ListenerFarewell farewell;
    const KX2UniqueFd fd;
    const int mode;
    const int groupId;
    std::atomic<bool> stopping{false};

private:
    bool admitted(int connection) const;
    // Accepts up to kAcceptBatch connections into `fds`; returns how many.
    // False (after retiring) when the listener stops meanwhile.
    bool acceptBatch(int* fds, int& count);
    // Makes room for a client: with `evict`, closes the connection idle
    // for longest, then waits until a connection ends or, with `ms`
    // positive, `ms` pass. False once stopping.
    bool waitForDescriptor(int ms, bool evict);
    void retire();

    std::shared_ptr<KX2Acceptor> self; // the registration; see above
    int backOffMs = 0;                 // used by the serving reactor thread only
};

bool KX2Acceptor::enlist(const std::shared_ptr<KX2Acceptor>& me)
{
    self = me;
    if (server->reactor->add(fd.get(), this))
        return true;
    self.reset();
    return false;
}

void KX2Acceptor::stop()
{
    {
        KX2MutexLocker lock(server->slotMutex);
        stopping.store(true);
        server->slotFreed.notify_all();
    }
    // A shut-down listening socket reads as hung up: the reactor serves it
    // once more, and it retires.
    ::shutdown(fd.get(), SHUT_RDWR);
}

void KX2Acceptor::retire()
{
    server->reactor->remove(fd.get());
    const std::shared_ptr<KX2Acceptor> last = std::move(self);
}

bool KX2Acceptor::waitForDescriptor(int ms, bool evict)
{
    KX2LocalServerPrivate& s = *server;
    const quint64 endings = s.endings.load();
    // Idle connections give way first; with none, this waits for a busy
    // one to end.
    if (evict)
        s.evictOldestIdle();
    KX2MutexLocker lock(s.slotMutex);
    s.acceptWaiting.store(true);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!stopping.load() && s.endings.load() == endings) {
        if (ms <= 0)
            lock.wait(s.slotFreed);
        else if (!lock.waitUntil(s.slotFreed, deadline))
            break;
    }
    s.acceptWaiting.store(false);
    return !stopping.load();
}

bool KX2Acceptor::acceptBatch(int* fds, int& count)
{
    count = 0;
    KX2LocalServerPrivate& s = *server;
    while (count < kAcceptBatch) {
        if (stopping.load())
            return false;
        if (s.connections.load() + count >= s.maxOpen.load()) {
            // At the limit: the connection idle for longest makes room.
            if (count > 0)
                return true;
            if (!waitForDescriptor(0, true))
                return false;
            continue;
        }
        const int connection = ::accept4(fd.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0) {
            backOffMs = 0;
            if (admitted(connection))
                fds[count++] = connection;
            else
                ::close(connection);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            backOffMs = 0;
            return true;
        }
        // Out of descriptors or memory: serve what was taken first; with
        // nothing taken, free a descriptor and try again.
        if (count > 0)
            return true;
        const bool outOfDescriptors = errno == EMFILE || errno == ENFILE;
        backOffMs = backOffMs == 0 ? kFirstBackOffMs : std::min(2 * backOffMs, kMaxBackOffMs);
        if (!waitForDescriptor(backOffMs, outOfDescriptors))
            return false;
    }
    return true;
}

// Accepts a batch of connections and arms the listener again before
// serving them, so another reactor thread takes the next clients of a
// burst meanwhile. Every connection but the last goes into the set, where
// it waits its turn beside the busy ones; the last is served on this
// thread at once (a fresh client has usually sent its request already).
// Idle connections are not limited: requests are (KX2ServedSlots).
void KX2Acceptor::ready()
{
    KX2LocalServerPrivate& s = *server;
    int fds[kAcceptBatch];
    int count = 0;
    const bool listening = acceptBatch(fds, count);
    s.connections.fetch_add(count);
    const std::shared_ptr<KX2LocalServerPrivate> shared = server;
    if (!listening || stopping.load() || !s.reactor->rearm(fd.get(), this))
        retire(); // may free this listener: nothing of it is used below
    for (int i = 0; i < count; ++i)
        kx2OpenConnection(shared, fds[i], i == count - 1);
}

// With the default mode everybody may connect. Otherwise the socket file's
// permissions already keep others out; this repeats the check on the
// peer's credentials so a descriptor that reached us another way is
// refused too.
bool KX2Acceptor::admitted(int connection) const
{
    if ((mode & 0002) != 0)
        return true;
    const KX2Peer peer = KX2Peer::ofSocket(connection);
    if (!peer.known)
        return false;
    if (peer.uid == 0 || peer.uid == ::geteuid())
        return true;
    if ((mode & 0020) == 0)
        return false;
    // The groups the peer held when it connected.
    return peer.isMemberOf(groupId >= 0 ? gid_t(groupId) : ::getegid());
}

} // namespace

// The listening side of a server, used on the server's thread only.
class KX2ListenerState
{
public:
    std::shared_ptr<KX2Acceptor> acceptor;
    QString name;
    QByteArray path;
    dev_t device = 0;
    ino_t inode = 0;
    QString error;
    int mode = kDefaultMode;
    int groupId = -1;
};

KX2LocalServer::KX2LocalServer(QObject* parent)
    : QObject(parent)
    , d(std::make_shared<KX2LocalServerPrivate>())
    , listener(std::make_unique<KX2ListenerState>())
{
}

KX2LocalServer::~KX2LocalServer()
{
    stop();
}

bool KX2LocalServer::start(const QString& name)
{
    if (isListening())
        return true;
    KX2ListenerState& l = *listener;
    l.error.clear();
    const QString path = kx2SocketPath(name);
    const QByteArray encoded = QFile::encodeName(path);
    sockaddr_un addr;
    if (!socketAddress(encoded, addr)) {
        l.error =
            QStringLiteral(
                "socket path is empty or longer than a socket address can hold (%1 bytes): %2")
                .arg(sizeof addr.sun_path - 1)
                .arg(path);
        return false;
    }
    if (name.contains(QLatin1Char('/'))) {
        const QString directory = QFileInfo(path).absolutePath();
        const bool made = !QFileInfo::exists(directory);
        // A directory made here is 0755 whatever the umask (the unit's is
        // 0027): the socket's own mode decides who may connect.
        if (!QDir().mkpath(directory)
            || (made && ::chmod(QFile::encodeName(directory).constData(), 0755) != 0)) {
            l.error = QStringLiteral("cannot create the socket directory %1").arg(directory);
            return false;
        }
    }
    KX2UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0 || !d->reactor) {
        l.error = QStringLiteral("cannot create a socket: ") + systemError(errno);
        return false;
    }
    int bound = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    if (bound != 0 && errno == EADDRINUSE) {
        switch (probe(encoded, addr)) {
        case Occupant::Stale:
            // Left by a process that is gone: nobody accepts on it.
            ::unlink(encoded.constData());
            bound = ::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
            break;
        case Occupant::Live:
            l.error = QStringLiteral("another service is already listening on %1").arg(path);
            return false;
        case Occupant::NotASocket:
            l.error =
                QStringLiteral("%1 exists and is not a socket; it was left in place").arg(path);
            return false;
        default:
            errno = EADDRINUSE;
            break;
        }
    }
    if (bound != 0) {
        l.error = QStringLiteral("cannot bind %1: %2").arg(path, systemError(errno));
        return false;
    }
    struct stat st
    {};
    // Permissions are set before listen(): until then no client can connect.
    if (::chmod(encoded.constData(), mode_t(l.mode)) != 0
        || (l.groupId >= 0 && ::chown(encoded.constData(), uid_t(-1), gid_t(l.groupId)) != 0)
        || ::lstat(encoded.constData(), &st) != 0 || ::listen(fd.get(), kPendingConnections) != 0) {
        l.error = QStringLiteral("cannot set up %1: %2").arg(path, systemError(errno));
        ::unlink(encoded.constData());
        return false;
    }
    l.device = st.st_dev;
    l.inode = st.st_ino;
    l.path = encoded;
    l.name = name;
    auto acceptor = std::make_shared<KX2Acceptor>(d, fd.release(), l.mode, l.groupId);
    if (!acceptor->enlist(acceptor)) {
        l.error = QStringLiteral("cannot watch %1 for connections").arg(path);
        ::unlink(encoded.constData());
        return false;
    }
    l.acceptor = std::move(acceptor);
    return true;
}

void KX2LocalServer::stop()
{
    KX2ListenerState& l = *listener;
    if (!l.acceptor)
        return;
    // A reactor thread retires the listener, and the socket closes with it;
    // waiting for that here means nothing of the listener outlives stop().
    const std::shared_ptr<bool> gone = l.acceptor->farewell.gone;
    l.acceptor->stop();
    l.acceptor.reset();
    {
        KX2MutexLocker lock(d->slotMutex);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kRetireWaitMs);
        while (!*gone) {
            if (!lock.waitUntil(d->listenerGone, deadline))
                break;
        }
    }
    // Only the file this server created goes: a successor may already have
    // replaced it.
    struct stat st
    {};
    if (::lstat(l.path.constData(), &st) == 0 && st.st_dev == l.device && st.st_ino == l.inode)
        ::unlink(l.path.constData());
}

bool KX2LocalServer::endConnections(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    d->draining.store(true);
    {
        KX2MutexLocker lock(d->entriesMutex);
        // Listed, so alive: a connection delists itself before it goes.
        for (KX2ConnectionEntry* connection : d->entries)
            connection->requestStop();
    }
    // The reactor's threads leave once nothing is registered; their count
    // is looked at every few milliseconds, as they signal nothing.
    // The reactor's lock is not taken under slotMutex.
    const auto kLookEvery = std::chrono::milliseconds(10);
    for (;;) {
        if (d->connections.load() == 0 && (!d->reactor || d->reactor->threadCount() == 0))
            return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return false;
        KX2MutexLocker lock(d->slotMutex);
        lock.waitUntil(d->slotFreed, std::min(deadline, now + kLookEvery));
    }
}

bool KX2LocalServer::isListening() const
{
    return listener->acceptor != nullptr;
}

QString KX2LocalServer::serverName() const
{
    return listener->name;
}

QString KX2LocalServer::errorString() const
{
    return listener->error;
}

void KX2LocalServer::setAccess(int mode, int groupId)
{
    listener->mode = mode >= 0 ? (mode & 0777) : kDefaultMode;
    listener->groupId = groupId;
}

void KX2LocalServer::setMaxServed(int count)
{
    d->servedSlots.setLimit(count);
    if (d->reactor)
        d->reactor->setMaxThreads(KX2LocalServerPrivate::reactorThreads(std::max(1, count)));
}

int KX2LocalServer::maxServed() const
{
    return d->servedSlots.limit();
}

int KX2LocalServer::servedCount() const
{
    return d->servedSlots.taken();
}

void KX2LocalServer::setMaxOpenConnections(int count)
{
    d->maxOpen.store(std::max(1, count));
}

int KX2LocalServer::maxOpenConnections() const
{
    return d->maxOpen.load();
}

void KX2LocalServer::setBufferBudget(qint64 bytes)
{
    d->frameBudget.setLimit(bytes);
}

qint64 KX2LocalServer::bufferBudget() const
{
    return d->frameBudget.limit();
}

qint64 KX2LocalServer::bufferedBytes() const
{
    return d->frameBudget.held();
}

int KX2LocalServer::connectionCount() const
{
    return d->connections.load();
}

void KX2LocalServer::add(KX2TodoRouter* router)
{
    d->rootRouter.add(router);
}

KX2TodoRouter* KX2LocalServer::rootRouter() const
{
    return &d->rootRouter;
}

bool KX2LocalServer::doCall(QJsonObject& retObject, const QJsonObject& cmdObject, KX2Cabinet* env)
{
    return d->dispatch(retObject, cmdObject, env);
}

void KX2LocalServer::setDebugging(bool on)
{
    d->debugging.store(on);
}

bool KX2LocalServer::isDebugging() const
{
    return d->debugging.load();
}
