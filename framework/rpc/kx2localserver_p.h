// The part of a KX2LocalServer that its connection workers use. Held by
// shared pointer by the server and by every worker, so a worker never
// reaches into a destroyed server.

#ifndef KX2LOCALSERVER_P_H
#define KX2LOCALSERVER_P_H

#include "kx2todorouter.h"

#include <QDir>
#include <QString>

#include <atomic>

#include <unistd.h>

// Owns one file descriptor.
class KX2UniqueFd
{
public:
    explicit KX2UniqueFd(int fd = -1) : fd(fd) {}
    ~KX2UniqueFd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    KX2UniqueFd(const KX2UniqueFd&) = delete;
    KX2UniqueFd& operator=(const KX2UniqueFd&) = delete;

    int get() const { return fd; }

private:
    int fd;
};

// The file the socket layer uses for a server name: the name itself when
// it is absolute, else the name inside the temporary directory.
inline QString kx2SocketPath(const QString& name)
{
    if (name.startsWith(QLatin1Char('/')))
        return name;
    return QDir::cleanPath(QDir::tempPath()) + QLatin1Char('/') + name;
}

class KX2LocalServerPrivate
{
public:
    // Runs `cmdObject` through the router chain (see KX2LocalServer::doCall).
    bool dispatch(QJsonObject& retObject, const QJsonObject& cmdObject, KX2Cabinet* env)
    {
        return rootRouter.dispatch(retObject, cmdObject, env);
    }

    // Written by the server's owner, read by workers for every reply.
    std::atomic<bool> debugging{false};
    // Head of the router chain; its child list has its own mutex.
    KX2TodoRouter rootRouter;
};

#endif // KX2LOCALSERVER_P_H
