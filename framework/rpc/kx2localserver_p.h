// The part of a KX2LocalServer that its connection workers use. Held by
// shared pointer by the server and by every worker, so a worker never
// reaches into a destroyed server.

#ifndef KX2LOCALSERVER_P_H
#define KX2LOCALSERVER_P_H

#include "kx2todorouter.h"

#include <atomic>

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
