#include "kx2localserver.h"

#include "kx2localserver_p.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const int kPendingConnections = 1024;
const int kDefaultMode = 0777;

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

} // namespace

// The listening side of a server, used on the server's thread only.
class KX2ListenerState
{
public:
    bool listening = false;
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
    d->shutdown();
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
    if (fd.get() < 0) {
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
    if (!d->listen(std::move(fd), l.mode, l.groupId)) {
        l.error = QStringLiteral("cannot watch %1 for connections").arg(path);
        ::unlink(encoded.constData());
        return false;
    }
    l.listening = true;
    return true;
}

void KX2LocalServer::stop()
{
    KX2ListenerState& l = *listener;
    if (!l.listening)
        return;
    d->retireListener();
    l.listening = false;
    // Only the file this server created goes: a successor may already have
    // replaced it.
    struct stat st
    {};
    if (::lstat(l.path.constData(), &st) == 0 && st.st_dev == l.device && st.st_ino == l.inode)
        ::unlink(l.path.constData());
}

bool KX2LocalServer::endConnections(std::chrono::milliseconds timeout)
{
    return d->endAll(timeout);
}

bool KX2LocalServer::isListening() const
{
    return listener->listening;
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
    d->setServedLimit(count);
}

int KX2LocalServer::maxServed() const
{
    return d->servedLimitNow();
}

int KX2LocalServer::servedCount() const
{
    return d->servedCount();
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
    return d->connectionCount();
}

void KX2LocalServer::setReceiveTimeout(std::chrono::milliseconds timeout)
{
    d->receiveTimeoutMs.store(std::max<qint64>(1, timeout.count()));
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
    return d->rootRouter.dispatch(retObject, cmdObject, env);
}

void KX2LocalServer::setDebugging(bool on)
{
    d->debugging.store(on);
}

bool KX2LocalServer::isDebugging() const
{
    return d->debugging.load();
}
