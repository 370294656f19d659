// KX2Peer: the credentials of the process at the other end of a local
// connection, as the kernel reported them when it connected, and what they
// allow.
//
// The uid, the effective group and the pid come from SO_PEERCRED, the
// supplementary groups from SO_PEERGROUPS: what the peer process held at
// connect(), not what the user and group databases say about its user. A
// process that dropped a group is no member any more; one that holds a
// group however it got it (newgrp, NSS, setgroups) is. A kernel that
// cannot report the supplementary groups leaves the effective group alone
// to count.
//
// The connection stores them in its environment's attributes ("peeruid",
// "peergid", "peergroups", "peerpid"); a request dispatched in-process has
// none, and is the service itself.
//
// Reentrant; any thread.

#ifndef KX2PEER_H
#define KX2PEER_H

#include <QJsonValue>

#include <sys/types.h>

#include <vector>

class KX2Cabinet;

struct KX2Peer
{
    bool known = false; // false: an in-process request, or credentials unreadable
    uid_t uid = 0;
    gid_t gid = 0;
    pid_t pid = 0;
    std::vector<gid_t> groups; // supplementary groups

    static KX2Peer of(const KX2Cabinet& environment);
    // The credentials of the connected socket `fd`; not known when the
    // kernel cannot tell them.
    static KX2Peer ofSocket(int fd);
    // Stores the credentials of the connected socket `fd` in `environment`;
    // false, with the credentials of nobody in particular (uid and gid -1,
    // no supplementary groups), when the kernel cannot tell them.
    static bool record(int fd, KX2Cabinet& environment);

    // Whether the peer's effective group, or one of its supplementary
    // groups, is `group`.
    bool isMemberOf(gid_t group) const;
    // Whether a socket file of permission bits `mode` and group `groupId`
    // (-1: this process's) lets this peer connect: everybody with the
    // other bits set, else root and this process's user, and members of
    // the group with the group bits set. A listener repeats the file's
    // check on the credentials the peer had when it connected, so a
    // descriptor that reached it another way is refused too.
    bool mayConnect(int mode, int groupId) const;
};

// The group a configuration setting names: a group name or a numeric id as
// text, or a whole non-negative number. -1 for anything else: another JSON
// type, a blank text, a negative or fractional id, a name no group has.
long kx2GroupId(const QJsonValue& setting);

#endif // KX2PEER_H
