// The part of a KX2LocalServer that its listener and connections use. Held
// by shared pointer by the server, its listener and every connection, so a
// connection never reaches into a destroyed server.

#ifndef KX2LOCALSERVER_P_H
#define KX2LOCALSERVER_P_H

#include "kx2framebudget.h"
#include "kx2localserver.h"
#include "kx2reactor.h"
#include "kx2servedslots.h"
#include "kx2threadsafety.h"
#include "kx2todorouter.h"
#include "kx2uniquefd.h"

#include <QDir>

#include <QString>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <list>
#include <memory>
#include <utility>
#include <vector>

// The file the socket layer uses for a server name: the name itself when
// it is absolute, else the name inside the temporary directory.
inline QString kx2SocketPath(const QString& name)
{
    if (name.startsWith(QLatin1Char('/')))
        return name;
    return QDir::cleanPath(QDir::tempPath()) + QLatin1Char('/') + name;
}

// A connection as the server's bookkeeping sees it: its place among the
// open connections, how long it has been idle, and how to end it. Owned by
// shared pointers, so that evictOldestIdle() can hold one it has chosen
// past the list's lock.
class KX2ConnectionEntry : public KX2Pollable,
                           public KX2ServedSlots::Waiter,
                           public std::enable_shared_from_this<KX2ConnectionEntry>
{
public:
    // Asks the connection to end; safe from any thread while it is open.
    virtual void requestStop() = 0;
    // Whether bytes wait in the socket unread: a request about to be
    // served, not an idle connection.
    virtual bool hasUnreadBytes() const = 0;

    // Set while a thread serves the connection or it waits for a slot;
    // an idle connection may be closed when descriptors run short.
    std::atomic<bool> busy{false};
    // Asked to end by evictOldestIdle(), which passes it over from then on.
    std::atomic<bool> evicted{false};
    // Steady-clock milliseconds of the last time it was served.
    std::atomic<qint64> lastActiveMs{0};
    // Its place in the server's list; written under the list's mutex.
    std::list<KX2ConnectionEntry*>::iterator entry;
};

class KX2LocalServerPrivate
{
public:
    KX2LocalServerPrivate()
        : reactor(KX2Reactor::create(reactorThreads(KX2LocalServer::kDefaultMaxServed)))
        , servedSlots(KX2LocalServer::kDefaultMaxServed)
    {
    }

    // A thread per served request at most, as many staying with busy
    // connections between their requests, and one for the listener.
    static int reactorThreads(int served) { return 2 * served + 1; }

    // Connections open at once by default: the descriptor limit less a
    // reserve for the rest of the process (files, the store, scans).
    static int defaultMaxOpen()
    {
        const int kReserve = 64;
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
            return 1 << 20;
        return int(std::clamp<rlim_t>(limit.rlim_cur, 2 * kReserve, 1 << 20)) - kReserve;
    }

    // Runs `cmdObject` through the router chain (see KX2LocalServer::doCall).
    bool dispatch(QJsonObject& retObject, const QJsonObject& cmdObject, KX2Cabinet* env)
    {
        return rootRouter.dispatch(retObject, cmdObject, env);
    }

    // Adds an opened connection to the list that evictOldestIdle() reads.
    void enlist(KX2ConnectionEntry* connection)
    {
        KX2MutexLocker lock(entriesMutex);
        connection->entry = entries.insert(entries.end(), connection);
    }
    void delist(KX2ConnectionEntry* connection)
    {
        KX2MutexLocker lock(entriesMutex);
        entries.erase(connection->entry);
    }
    // Asks the connection idle for longest to end, so that its descriptor
    // comes free; false when no connection is idle. Idle means neither
    // served nor waiting for a slot, and with no unread bytes (a client
    // just accepted has usually sent its request already). Scans the list:
    // it runs only when an accept found no descriptor. The chosen
    // connection is asked to end after the list's lock is released: ending
    // may run on this thread and delist it.
    bool evictOldestIdle() KX2_EXCLUDES(entriesMutex)
    {
        const std::shared_ptr<KX2ConnectionEntry> victim = chooseIdleVictim();
        if (!victim)
            return false;
        victim->requestStop();
        return true;
    }

    // The connection evictOldestIdle() ends, marked evicted; held, so that
    // it stays alive once the lock is released even if it ends meanwhile.
    std::shared_ptr<KX2ConnectionEntry> chooseIdleVictim() KX2_EXCLUDES(entriesMutex)
    {
        KX2MutexLocker lock(entriesMutex);
        std::vector<std::pair<qint64, KX2ConnectionEntry*>> idle;
        for (KX2ConnectionEntry* connection : entries) {
            if (!connection->busy.load() && !connection->evicted.load())
                idle.emplace_back(connection->lastActiveMs.load(), connection);
        }
        // Oldest first; equal times keep the order of opening.
        std::stable_sort(idle.begin(), idle.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& candidate : idle) {
            KX2ConnectionEntry* connection = candidate.second;
            if (connection->hasUnreadBytes())
                continue;
            // Still listed, so still owned: it delists itself before its
            // registration lets go of it.
            connection->evicted.store(true);
            return connection->shared_from_this();
        }
        return nullptr;
    }

    // Called when a connection has ended: wakes the listener when it waits
    // for a descriptor.
    void connectionEnded()
    {
        connections.fetch_sub(1);
        endings.fetch_add(1);
        if (acceptWaiting.load() || draining.load()) {
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

    // Requests served at once, and by whom.
    KX2ServedSlots servedSlots;
    std::atomic<int> connections{0}; // accepted and not yet ended
    std::atomic<int> maxOpen{defaultMaxOpen()};
    std::atomic<quint64> endings{0}; // connections ended so far
    // Bytes of large frames being received, and by whom.
    KX2FrameBudget frameBudget{KX2LocalServer::kDefaultBufferBudget};
    // Open connections, for evictOldestIdle().
    KX2Mutex entriesMutex;
    std::list<KX2ConnectionEntry*> entries KX2_GUARDED_BY(entriesMutex);
    // The listener waits on slotFreed after a failed accept, until a
    // connection ends or a back-off passes; acceptWaiting tells ending
    // connections to signal it.
    std::atomic<bool> acceptWaiting{false};
    // Set by endConnections(), which waits on slotFreed for the last
    // connection to end.
    std::atomic<bool> draining{false};
    KX2Mutex slotMutex;
    std::condition_variable slotFreed;
    // Signalled under slotMutex when a listener is gone; stop() waits on it
    // for the listener it stopped.
    std::condition_variable listenerGone;
};

// Takes over the accepted connection `fd` and leaves it to the reactor;
// with `serveNow`, first answers what has already arrived on the calling
// thread. The caller has counted it in `connections` already.
void kx2OpenConnection(const std::shared_ptr<KX2LocalServerPrivate>& server, int fd, bool serveNow);

#endif // KX2LOCALSERVER_P_H
