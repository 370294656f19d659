#include "kx2socketfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const int kPendingConnections = 1024;

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

// Binds `fd` at `addr`, replacing a socket file nobody accepts on; false
// with `failure` set otherwise.
bool bindReplacingStale(int fd, const QByteArray& encoded, const sockaddr_un& addr,
                        const QString& path, QString& failure)
{
    int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    if (bound != 0 && errno == EADDRINUSE) {
        switch (probe(encoded, addr)) {
        case Occupant::Stale:
            // Left by a process that is gone: nobody accepts on it.
            ::unlink(encoded.constData());
            bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
            break;
        case Occupant::Live:
            failure = QStringLiteral("another service is already listening on %1").arg(path);
            return false;
        case Occupant::NotASocket:
            failure =
                QStringLiteral("%1 exists and is not a socket; it was left in place").arg(path);
            return false;
        default:
            errno = EADDRINUSE;
            break;
        }
    }
    if (bound != 0)
        failure = QStringLiteral("cannot bind %1: %2").arg(path, systemError(errno));
    return bound == 0;
}

bool makeDirectoryOf(const QString& path)
{
    const QString directory = QFileInfo(path).absolutePath();
    const bool made = !QFileInfo::exists(directory);
    // 0755 whatever the umask (the unit's is 0027).
    return QDir().mkpath(directory)
        && (!made || ::chmod(QFile::encodeName(directory).constData(), 0755) == 0);
}

} // namespace

KX2UniqueFd KX2SocketFile::claim(const QString& path, int mode, int groupId)
{
    failure.clear();
    const QByteArray encoded = QFile::encodeName(path);
    sockaddr_un addr;
    if (!socketAddress(encoded, addr)) {
        failure =
            QStringLiteral(
                "socket path is empty or longer than a socket address can hold (%1 bytes): %2")
                .arg(sizeof addr.sun_path - 1)
                .arg(path);
        return KX2UniqueFd();
    }
    if (!makeDirectoryOf(path)) {
        failure = QStringLiteral("cannot create the socket directory %1")
                      .arg(QFileInfo(path).absolutePath());
        return KX2UniqueFd();
    }
    KX2UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (fd.get() < 0) {
        failure = QStringLiteral("cannot create a socket: ") + systemError(errno);
        return KX2UniqueFd();
    }
    if (!bindReplacingStale(fd.get(), encoded, addr, path, failure))
        return KX2UniqueFd();
    struct stat st
    {};
    // Permissions are set before listen(): until then no client can connect.
    if (::chmod(encoded.constData(), mode_t(mode)) != 0
        || (groupId >= 0 && ::chown(encoded.constData(), uid_t(-1), gid_t(groupId)) != 0)
        || ::lstat(encoded.constData(), &st) != 0 || ::listen(fd.get(), kPendingConnections) != 0) {
        failure = QStringLiteral("cannot set up %1: %2").arg(path, systemError(errno));
        ::unlink(encoded.constData());
        return KX2UniqueFd();
    }
    encodedPath = encoded;
    device = st.st_dev;
    inode = st.st_ino;
    return fd;
}

void KX2SocketFile::release()
{
    struct stat st
    {};
    if (!encodedPath.isEmpty() && ::lstat(encodedPath.constData(), &st) == 0
        && st.st_dev == device && st.st_ino == inode)
        ::unlink(encodedPath.constData());
    encodedPath.clear();
}
