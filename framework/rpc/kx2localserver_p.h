// The inside of a KX2LocalServer: its connections, its threads and the
// queue between them.
//
// Threads: a fixed pool of workers, started on first use and joined by
// shutdown(). Idle workers wait in one epoll set, one event each: the
// worker woken by the listener accepts, the one woken by a readable idle
// connection queues it and takes the first queued connection whose peer
// uid is under its share of the workers (arrival order). A turn answers one
// request; then the connection is queued again while it has bytes left,
// else armed in the epoll set again (one-shot, so no two threads ever
// serve it at once), and the worker takes the next queued one it may.
//
// Ownership: a connection is owned by the table while open; the thread
// that holds it in its current state (the worker serving it) is the only
// one that reads its socket, and every close of a descriptor happens under
// `mutex` so that nobody acts on a number the kernel has already given to
// a newer connection (ids, not descriptors, travel through epoll).

#ifndef KX2LOCALSERVER_P_H
#define KX2LOCALSERVER_P_H

#include "kx2cabinet.h"
#include "kx2framebudget.h"
#include "kx2localserver.h"
#include "kx2threadgroup.h"
#include "kx2threadsafety.h"
#include "kx2todorouter.h"
#include "kx2uniquefd.h"

#include <QByteArray>
#include <QDir>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

#include <sys/types.h>

class KX2Connection;

// Connections open in this process, over all servers.
int kx2OpenConnectionCount();

inline qint64 kx2SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// What a worker's turn on a connection left: nothing more to do until the
// peer sends more, another request already buffered, or the end.
enum class KX2Turn { Wait, Again, End };

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
    KX2LocalServerPrivate();
    ~KX2LocalServerPrivate();

    // Registers an accepted (or handed-over) descriptor and queues it; with
    // `wake`, a worker is woken to serve it. Null, with the descriptor
    // closed, once the server has shut down.
    std::shared_ptr<KX2Connection> adopt(int fd, bool wake) KX2_EXCLUDES(mutex);
    // Stops listening: the listening socket is closed before this returns.
    void retireListener() KX2_EXCLUDES(mutex);
    // Asks every connection to end and waits until none is open.
    bool endAll(std::chrono::milliseconds timeout) KX2_EXCLUDES(mutex);
    // Ends the connection and waits until it has ended, unless called
    // while serving it (it ends after that request then).
    void stopConnection(quint64 id) KX2_EXCLUDES(mutex);
    bool isOpen(quint64 id) const KX2_EXCLUDES(mutex);
    int connectionCount() const KX2_EXCLUDES(mutex);
    int servedCount() const KX2_EXCLUDES(mutex);
    int servedLimitNow() const KX2_EXCLUDES(mutex);
    // Ends every connection and joins the threads; the server serves no
    // more afterwards. Must not run on one of its threads.
    void shutdown() KX2_EXCLUDES(mutex);

    // Hands `listenFd` to the workers, which accept on it from now on.
    bool listen(KX2UniqueFd listenFd, int mode, int groupId) KX2_EXCLUDES(mutex);
    void setServedLimit(int count) KX2_EXCLUDES(mutex);

    // Read by every connection.
    KX2TodoRouter rootRouter;
    std::atomic<bool> debugging{false};
    KX2FrameBudget frameBudget{KX2LocalServer::kDefaultBufferBudget};
    std::atomic<int> maxOpen;
    std::atomic<qint64> receiveTimeoutMs{30000};
    // The epoll set of the idle connections and the listener, and the
    // eventfd that wakes a worker; both live as long as this object.
    const KX2UniqueFd epollFd;
    const KX2UniqueFd wakeFd;

private:
    mutable KX2Mutex mutex;
    // Signalled when a connection ends or a worker leaves accept().
    std::condition_variable changed;
    // Where an open connection is, and since when it has been idle.
    enum class State { Idle, Queued, Serving };
    struct Entry
    {
        std::shared_ptr<KX2Connection> connection;
        State state = State::Idle;
        bool inEpoll = false;      // added to the epoll set once
        bool partialFrame = false; // an unfinished frame is buffered
        qint64 lastActiveMs = 0;
        std::thread::id servingThread;
    };
    std::unordered_map<quint64, Entry> connections KX2_GUARDED_BY(mutex);
    int servedLimit KX2_GUARDED_BY(mutex) = KX2LocalServer::kDefaultMaxServed;
    int served KX2_GUARDED_BY(mutex) = 0; // connections being served now

    struct Usage
    {
        int serving = 0;
        int queued = 0;
    };

    void startThreadsLocked() KX2_REQUIRES(mutex);
    void addWorkersLocked() KX2_REQUIRES(mutex);
    // Ends an idle or queued connection at once; a served one ends after
    // its request (its socket is shut down so that a blocked send returns).
    void requestStopLocked(quint64 id) KX2_REQUIRES(mutex);
    // Closes the connection and forgets it; the caller holds it in its
    // current state (idle or queued, or served by the calling thread).
    void endLocked(quint64 id) KX2_REQUIRES(mutex);
    void stopAllLocked() KX2_REQUIRES(mutex);
    void workerMain() KX2_EXCLUDES(mutex);
    bool waitForWork(std::shared_ptr<KX2Connection>& connection) KX2_EXCLUDES(mutex);
    // Serves the listener: accepts what waits, making room by closing the
    // connection idle for longest when descriptors run short.
    std::shared_ptr<KX2Connection> acceptClients() KX2_EXCLUDES(mutex);
    void pauseAcceptingLocked(bool paused) KX2_REQUIRES(mutex);
    bool evictOldestIdleLocked() KX2_REQUIRES(mutex);
    void endStalledLocked() KX2_REQUIRES(mutex);
    void wakeWorker();

    std::shared_ptr<KX2Connection> claimLocked(quint64 id, uint32_t events) KX2_REQUIRES(mutex);
    void queueLocked(Entry& entry) KX2_REQUIRES(mutex);
    struct Queued
    {
        quint64 id;
        uid_t uid;
    };
    std::deque<Queued>::iterator firstTakeableLocked() KX2_REQUIRES(mutex);
    bool anyTakeableLocked() KX2_REQUIRES(mutex);
    std::shared_ptr<KX2Connection> takeLocked() KX2_REQUIRES(mutex);
    void finishTurnLocked(KX2Connection& connection, KX2Turn turn) KX2_REQUIRES(mutex);
    void armLocked(Entry& entry) KX2_REQUIRES(mutex);
    int shareLocked() const KX2_REQUIRES(mutex);
    void forgetIfUnusedLocked(uid_t uid) KX2_REQUIRES(mutex);

    std::deque<Queued> queue KX2_GUARDED_BY(mutex); // in order of arrival
    std::unordered_map<uid_t, Usage> usage KX2_GUARDED_BY(mutex); // uids serving or queued
    std::atomic<quint64> nextId{1};
    bool started KX2_GUARDED_BY(mutex) = false;
    bool quitting KX2_GUARDED_BY(mutex) = false;
    // The listening socket: set by listen(), closed by retireListener()
    // once no worker is inside accept() on it.
    KX2UniqueFd listener KX2_GUARDED_BY(mutex);
    bool accepting KX2_GUARDED_BY(mutex) = false; // a worker accepts now
    int listenerMode KX2_GUARDED_BY(mutex) = 0777;
    int listenerGroup KX2_GUARDED_BY(mutex) = -1;
    bool retiring KX2_GUARDED_BY(mutex) = false;
    bool acceptPaused KX2_GUARDED_BY(mutex) = false;
    std::atomic<int> waitMs{1000}; // a worker's longest wait in the epoll set
    qint64 lastLookMs KX2_GUARDED_BY(mutex) = 0; // for stalled frames
    int workers KX2_GUARDED_BY(mutex) = 0;
    // The workers; joined by shutdown().
    KX2ThreadGroup threads;
};

// One open connection: its serving state, used only by the thread that
// holds it (the worker serving it, or whoever ends it while it is idle). Where it is (idle, queued, served) is the server's
// bookkeeping, under the server's mutex.
class KX2Connection
{
public:
    KX2Connection(KX2LocalServerPrivate* server, int fd, quint64 id);

    // Reads what has arrived and answers one request (a worker's turn).
    KX2Turn serve();
    bool hasUnreadBytes() const;
    // Gives back the budget bytes of a frame being received.
    void releaseReserved();
    // Whether an unfinished frame is buffered.
    bool holdsPartialFrame() const { return offset < buffer.size() && !desynchronised; }

    KX2LocalServerPrivate* const server;
    const quint64 id;
    KX2UniqueFd fd; // closed under the server's mutex when the connection ends
    uid_t uid = uid_t(-1);
    std::atomic<bool> stopRequested{false};
    KX2Cabinet environment;
    // When the last reply of this turn was sent; 0: none this turn.
    qint64 repliedMs = 0;

private:
    enum class Frame { Request, NeedBytes, End };
    Frame nextFrame(class KX2RpcPacket& request);
    bool answer(const KX2RpcPacket& request);
    bool reserveFor(qint64 frameSize);
    void compact();

    QByteArray buffer;
    int offset = 0;      // where the next frame starts in `buffer`
    qint64 reserved = 0; // budget bytes held for the frame being received
    bool desynchronised = false;
    bool largeFrame = false; // the request or reply of this turn was large
};

#endif // KX2LOCALSERVER_P_H
