// KX2LocalServer: the service's local-socket entry point.
//
// Listens on a Unix-domain stream socket under one name (a path when it
// contains '/', else a name placed in the temporary directory). The
// listening socket and every connection sit in one epoll set served by a
// few pooled threads (KX2Reactor): a thread takes whichever socket is
// ready, accepts a client or reads and answers its requests (dispatching
// them through the router chain, one framed reply per request, see
// KX2LocalSocket), and hands the socket back to the set. A request that
// takes long occupies one thread; others are started so that ready
// sockets never wait for it. No event loop is needed.
//
// Start-up takes a socket path over only when it is safe: a socket file
// nobody accepts on (left by a dead process) is replaced; a live service on
// the path, or anything that is not a socket, makes start() fail with
// errorString() saying why, and the path is left as it was. stop() (and the
// destructor) removes the socket file only while it is still the one this
// server created.
//
// Resources are bounded: at most maxServed() requests are served at once,
// and one peer uid (SO_PEERCRED) gets at most a fair share of them (see
// KX2ServedSlots); a connection whose request finds no slot waits, its
// bytes unread, until one is free. Connections themselves are not capped:
// an idle one costs a descriptor and its small buffer, never a slot, and
// clients are accepted in batches as they come. Request bytes buffered
// beyond a small allowance per connection come from one budget of
// bufferBudget() bytes for the whole server, of which one peer uid gets at
// most a fair share (see KX2FrameBudget), and a connection whose next
// frame does not fit is closed. When maxOpenConnections() are open, or an
// accept fails for want of descriptors, the connection idle for longest
// is closed to make room; with none idle, accepting pauses (listening
// never ends) and resumes when a connection ends or after a short
// back-off, while further clients wait in the listen backlog.
//
// Access: the socket file gets the mode and group given with setAccess()
// (default: everybody may connect). With a mode that does not admit
// everybody, a peer whose credentials at connect time (SO_PEERCRED and
// SO_PEERGROUPS, see KX2Peer) match neither the owner, root nor the
// admitted group is disconnected before any request is read.
//
// The router chain, the limits and the debugging switch are shared with
// the connections, so the server may be destroyed while connections are
// still being served: they keep that state alive until they end.
// The routers added with add() are not owned; their owner must outlive
// every connection that may still call them.
//
// Threads: construct, configure, start(), stop() and destroy on one thread. setDebugging() may be
// called at any time; doCall() from any thread. localRequest() is a blocking client call that needs
// no event loop and may run on any thread except the one that runs the accepting event loop of a
// server it talks to.

#ifndef KX2LOCALSERVER_H
#define KX2LOCALSERVER_H

#include <QJsonObject>
#include <QObject>
#include <QString>

#include <chrono>
#include <memory>

class KX2Cabinet;
class KX2LocalServerPrivate;
class KX2ListenerState;
class KX2TodoRouter;

class KX2LocalServer : public QObject
{
    Q_OBJECT
public:
    // Defaults of the limits.
    static constexpr int kDefaultMaxServed = 256;
    static constexpr qint64 kDefaultBufferBudget = 256LL * 1024 * 1024;

    explicit KX2LocalServer(QObject* parent = nullptr);
    ~KX2LocalServer() override;

    // Starts listening under `name`; see the header comment for when an
    // existing file at the path is replaced. A missing directory of a path
    // name is created. True when listening afterwards (a server already
    // listening keeps its name); false with errorString() set otherwise.
    bool start(const QString& name);
    // Stops listening and removes the socket file if it is still ours;
    // open connections are served on until they end. Returns once the
    // listening socket is closed (after 2 s at most, should no reactor
    // thread get to it).
    void stop();
    // For a stopping process, after stop(): asks every open connection to
    // end (a request being served runs to its reply, which may no longer
    // reach the peer) and waits until none is open and no reactor thread
    // serves any more, `timeout` at most. True when that happened in time:
    // nothing of the server calls a router any more, and the routers may
    // go. Connections accepted afterwards are not waited for.
    bool endConnections(std::chrono::milliseconds timeout);
    bool isListening() const;
    QString serverName() const;
    // Why the last start() failed; empty after a successful one.
    QString errorString() const;

    // Socket file mode (permission bits, e.g. 0660) and group id; a
    // negative value keeps the default (mode 0777, the process's group).
    // Takes effect at the next start().
    void setAccess(int mode, int groupId);
    // Requests served at once (at least 1); a peer uid gets at most half
    // of them, less while more uids are served or waiting.
    void setMaxServed(int count);
    int maxServed() const;
    // Requests being served right now.
    int servedCount() const;
    // Connections open at once before the one idle for longest is closed
    // to make room for a new client (at least 1). The default leaves a
    // reserve of the process's descriptor limit for everything else;
    // running out of descriptors anyway closes idle connections too.
    void setMaxOpenConnections(int count);
    int maxOpenConnections() const;
    // Bytes of large request frames buffered at once, over all connections;
    // one uid gets at most half of them, less while more uids hold some.
    void setBufferBudget(qint64 bytes);
    qint64 bufferBudget() const;
    // Budget bytes held right now by frames being received.
    qint64 bufferedBytes() const;
    // Connections open right now, idle ones included.
    int connectionCount() const;

    // Adds a router to the head of the router chain.
    void add(KX2TodoRouter* router);
    KX2TodoRouter* rootRouter() const;
    // Dispatches one request through the router chain; true when a method
    // ran. When none did, `env` records 9885 "被调用的方法不存在: " + cmd.
    bool doCall(QJsonObject& retObject, const QJsonObject& cmdObject, KX2Cabinet* env);

    // When on, replies carry "elapsed" and "journals", and every request is
    // traced with the peer's uid and pid.
    void setDebugging(bool on);
    bool isDebugging() const;

    // Client call: connects to `name` (at most 2 s), sends `request` (an
    // empty one as a keep-alive) and, unless `reply` is null or
    // `timeoutSeconds` <= 0, waits until the deadline of `timeoutSeconds`
    // from the call for the first non-empty reply and stores it in *reply.
    // False when the server cannot be reached or no reply came in time;
    // *reply is then unchanged.
    static bool localRequest(const QString& name, const QJsonObject& request, QJsonObject* reply,
                             qint64 timeoutSeconds);

private:
    friend class KX2LocalSocket; // takes a share of `d` for its connection

    const std::shared_ptr<KX2LocalServerPrivate> d;
    std::unique_ptr<KX2ListenerState> listener;
};

#endif // KX2LOCALSERVER_H
