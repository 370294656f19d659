// KX2Peer: the credentials of the process at the other end of a local
// connection, as the kernel reported them when it connected (SO_PEERCRED),
// and what they allow.
//
// The connection stores them in its environment's attributes ("peeruid",
// "peergid", "peerpid"); a request dispatched in-process has none, and is
// the service itself.
//
// Reentrant; any thread. Group lookups go through the system's user and
// group databases on every call.

#ifndef KX2PEER_H
#define KX2PEER_H

#include <QString>

#include <sys/types.h>

class KX2Cabinet;

struct KX2Peer
{
    bool known = false; // false: an in-process request
    uid_t uid = 0;
    gid_t gid = 0;
    pid_t pid = 0;

    static KX2Peer of(const KX2Cabinet& environment);
    // Stores the credentials of the connected socket `fd` in `environment`;
    // false, with the credentials of nobody in particular (uid and gid -1),
    // when the kernel cannot tell them.
    static bool record(int fd, KX2Cabinet& environment);

    // Whether the peer's group, or one of its user's supplementary
    // groups, is `group`.
    bool isMemberOf(gid_t group) const;
};

// The id of the group named or numbered `nameOrId`; -1 when there is none.
long kx2GroupId(const QString& nameOrId);

#endif // KX2PEER_H
