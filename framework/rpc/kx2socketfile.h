// KX2SocketFile: the file of a listening Unix-domain socket, claimed safely
// and removed only while it is ours.
//
// claim() binds a new socket at a path and sets its mode and group before
// listening, so no client connects under looser permissions. A socket file
// nobody accepts on (left by a dead process) is replaced; a live service on
// the path, or anything that is not a socket, makes claim() fail with
// error() saying why, and the path is left as it was. A missing directory
// of the path is created 0755 (the socket's own mode decides who may
// connect). release() removes the file only while it is still the one
// claim() made: a successor may already have replaced it.
//
// A plain value used on one thread.

#ifndef KX2SOCKETFILE_H
#define KX2SOCKETFILE_H

#include "kx2uniquefd.h"

#include <QByteArray>
#include <QString>

#include <sys/types.h>

class KX2SocketFile
{
public:
    // The listening socket (non-blocking, close-on-exec), or an invalid
    // descriptor with error() set.
    KX2UniqueFd claim(const QString& path, int mode, int groupId);
    void release();
    QString error() const { return failure; }

private:
    QByteArray encodedPath;
    dev_t device = 0;
    ino_t inode = 0;
    QString failure;
};

#endif // KX2SOCKETFILE_H
