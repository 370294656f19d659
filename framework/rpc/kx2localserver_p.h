// The part of a KX2LocalServer that its listener and connections use. Held
// by shared pointer by the server, its listener and every connection, so a
// connection never reaches into a destroyed server.

#ifndef KX2LOCALSERVER_P_H
#define KX2LOCALSERVER_P_H

#include "kx2localserver.h"
#include "kx2reactor.h"
#include "kx2threadsafety.h"
#include "kx2todorouter.h"
#include "kx2uniquefd.h"

#include <QDir>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <memory>

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
    KX2LocalServerPrivate()
        : reactor(KX2Reactor::create(reactorThreads(KX2LocalServer::kDefaultMaxConnections)))
    {
    }

    // A thread per connection at most, and one for the listener.
    static int reactorThreads(int connections) { return connections + 1; }

    // Runs `cmdObject` through the router chain (see KX2LocalServer::doCall).
    bool dispatch(QJsonObject& retObject, const QJsonObject& cmdObject, KX2Cabinet* env)
    {
        return rootRouter.dispatch(retObject, cmdObject, env);
    }

    // Takes `bytes` from the buffer budget; false (nothing taken) when they
    // do not fit.
    bool reserve(qint64 bytes)
    {
        qint64 used = buffered.load();
        do {
            if (used + bytes > budget.load())
                return false;
        } while (!buffered.compare_exchange_weak(used, used + bytes));
        return true;
    }
    void release(qint64 bytes) { buffered.fetch_sub(bytes); }

    // Called when a connection has ended: wakes the listener when it waits
    // for a free connection slot.
    void connectionEnded()
    {
        connections.fetch_sub(1);
        endings.fetch_add(1);
        if (acceptWaiting.load()) {
            KX2MutexLocker lock(slotMutex);
            slotFreed.notify_all();
        }
    }

    // Written by the server's owner, read for every reply.
    std::atomic<bool> debugging{false};
    // Head of the router chain; its child list has its own mutex.
    KX2TodoRouter rootRouter;
    // Serves the listener and every connection; null when no epoll set
    // could be made (start() then fails).
    const std::shared_ptr<KX2Reactor> reactor;

    std::atomic<int> maxConnections{KX2LocalServer::kDefaultMaxConnections};
    std::atomic<int> connections{0}; // accepted and not yet ended
    std::atomic<quint64> endings{0}; // connections ended so far
    std::atomic<qint64> budget{KX2LocalServer::kDefaultBufferBudget};
    std::atomic<qint64> buffered{0}; // budget bytes taken
    // The listener waits on slotFreed while all connection slots are taken
    // or after a failed accept; acceptWaiting tells ending connections to
    // signal it.
    std::atomic<bool> acceptWaiting{false};
    KX2Mutex slotMutex;
    std::condition_variable slotFreed;
    // Signalled under slotMutex when a listener is gone; stop() waits on it
    // for the listener it stopped.
    std::condition_variable listenerGone;
};

// Takes over the accepted connection `fd`: answers what has already
// arrived on the calling thread, then leaves the connection to the
// reactor. The caller has counted it in `connections` already.
void kx2OpenConnection(const std::shared_ptr<KX2LocalServerPrivate>& server, int fd);

#endif // KX2LOCALSERVER_P_H
