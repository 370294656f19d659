#include "kx2peer.h"

#include <QJsonValue>

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "kx2cabinet.h"

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
    return peer;
}

bool KX2Peer::record(int fd, KX2Cabinet& environment)
{
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) {
        // A peer that cannot be told is nobody in particular, never the
        // service itself: it gets what an unprivileged peer gets.
        environment.insert(QStringLiteral("peeruid"), double(uid_t(-1)));
        environment.insert(QStringLiteral("peergid"), double(gid_t(-1)));
        environment.insert(QStringLiteral("peerpid"), 0);
        return false;
    }
    environment.insert(QStringLiteral("peeruid"), double(credentials.uid));
    environment.insert(QStringLiteral("peergid"), double(credentials.gid));
    environment.insert(QStringLiteral("peerpid"), double(credentials.pid));
    return true;
}

bool KX2Peer::isMemberOf(gid_t group) const
{
    if (!known)
        return false;
    if (gid == group)
        return true;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found)
        return false;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
        groups.resize(size_t(count));
        if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0)
            return false;
    }
    for (int i = 0; i < count; ++i) {
        if (groups[size_t(i)] == group)
            return true;
    }
    return false;
}

long kx2GroupId(const QString& nameOrId)
{
    bool numeric = false;
    const long id = nameOrId.toLong(&numeric);
    if (numeric)
        return id >= 0 ? id : -1;
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    if (::getgrnam_r(nameOrId.toLocal8Bit().constData(), &entry, buffer.data(), buffer.size(),
                     &found)
            != 0
        || !found)
        return -1;
    return long(found->gr_gid);
}
