#include "kx2peer.h"

#include <QJsonArray>

#include <grp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "kx2cabinet.h"

namespace {

// The supplementary groups of the peer of `fd` at connect time; empty when
// the kernel cannot report them.
std::vector<gid_t> peerGroups(int fd)
{
    std::vector<gid_t> groups(32);
#ifdef SO_PEERGROUPS
    for (;;) {
        socklen_t length = socklen_t(groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &length) == 0) {
            groups.resize(length / sizeof(gid_t));
            return groups;
        }
        // ERANGE reports the length needed.
        if (errno != ERANGE || length <= groups.size() * sizeof(gid_t))
            break;
        groups.resize(length / sizeof(gid_t));
    }
#else
    (void)fd;
#endif
    return {};
}

} // namespace

KX2Peer KX2Peer::of(const KX2Cabinet& environment)
{
    KX2Peer peer;
    const QJsonValue uid = environment.value(QStringLiteral("peeruid"));
    if (!uid.isDouble())
        return peer;
    peer.known = true;
    peer.uid = uid_t(uid.toDouble());
    peer.gid = gid_t(environment.value(QStringLiteral("peergid")).toDouble());
    peer.pid = pid_t(environment.value(QStringLiteral("peerpid")).toDouble());
    const QJsonArray groups = environment.value(QStringLiteral("peergroups")).toArray();
    for (const QJsonValue& group : groups)
        peer.groups.push_back(gid_t(group.toDouble()));
    return peer;
}

KX2Peer KX2Peer::ofSocket(int fd)
{
    KX2Peer peer;
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return peer;
    peer.known = true;
    peer.uid = credentials.uid;
    peer.gid = credentials.gid;
    peer.pid = credentials.pid;
    peer.groups = peerGroups(fd);
    return peer;
}

bool KX2Peer::record(int fd, KX2Cabinet& environment)
{
    const KX2Peer peer = ofSocket(fd);
    // A peer that cannot be told is nobody in particular, never the
    // service itself: it gets what an unprivileged peer gets.
    environment.insert(QStringLiteral("peeruid"), double(peer.known ? peer.uid : uid_t(-1)));
    environment.insert(QStringLiteral("peergid"), double(peer.known ? peer.gid : gid_t(-1)));
    environment.insert(QStringLiteral("peerpid"), double(peer.pid));
    QJsonArray groups;
    for (gid_t group : peer.groups)
        groups.append(double(group));
    environment.insert(QStringLiteral("peergroups"), groups);
    return peer.known;
}

bool KX2Peer::isMemberOf(gid_t group) const
{
    return known
        && (gid == group || std::find(groups.begin(), groups.end(), group) != groups.end());
}

long kx2GroupId(const QJsonValue& setting)
{
    if (setting.isDouble()) {
        const double id = setting.toDouble();
        return id >= 0 && id <= double(gid_t(-2)) && std::trunc(id) == id ? long(id) : -1;
    }
    const QString text = setting.toString().trimmed();
    if (text.isEmpty())
        return -1;
    bool numeric = false;
    const qlonglong id = text.toLongLong(&numeric);
    if (numeric)
        return id >= 0 && id <= qlonglong(gid_t(-2)) ? long(id) : -1;
    const QByteArray name = text.toLocal8Bit();
    // A group with many members needs a larger buffer than the first.
    for (size_t size = 16384; size <= 16 * 1024 * 1024; size *= 4) {
        std::vector<char> buffer(size);
        group entry{};
        group* found = nullptr;
        const int error =
            ::getgrnam_r(name.constData(), &entry, buffer.data(), buffer.size(), &found);
        if (error != ERANGE)
            return error == 0 && found ? long(found->gr_gid) : -1;
    }
    return -1;
}

bool KX2Peer::mayConnect(int mode, int groupId) const
{
    if ((mode & 0002) != 0)
        return true;
    if (!known)
        return false;
    if (uid == 0 || uid == ::geteuid())
        return true;
    return (mode & 0020) != 0 && isMemberOf(groupId >= 0 ? gid_t(groupId) : ::getegid());
}
