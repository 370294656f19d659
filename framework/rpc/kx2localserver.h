// KX2LocalServer: the service's local-socket entry point.
//
// Listens on a Unix-domain stream socket under one name (a path when it
// contains '/', else a name placed in the temporary directory). A fixed
// pool of maxServed() workers waits in one epoll set for clients and for
// idle connections to become readable; the worker woken accepts, or takes
// readable connections in order of arrival, and answers one request per
// turn (dispatched through the router chain, one framed reply per request,
// see KX2LocalSocket), so a client sending many requests takes turns with
// the others. An idle connection costs a descriptor and, while it has sent
// part of a frame, that part.
//
// Start-up takes a socket path over only when it is safe: a socket file
// nobody accepts on (left by a dead process) is replaced; a live service on
// the path, or anything that is not a socket, makes start() fail with
// errorString() saying why, and the path is left as it was. stop() (and the
// destructor) removes the socket file only while it is still the one this
// server created.
//
// Limits: one peer uid (SO_PEERCRED) is served by at most half of the
// workers, less while more uids are served or waiting, so a second user
// always finds a worker beside a first that floods the server. Request
// bytes buffered beyond a small allowance per connection come from one
// budget of bufferBudget() bytes, of which one peer uid gets at most a fair
// share (see KX2FrameBudget); a connection whose next frame does not fit,
// or that stops sending in the middle of a frame for the receive timeout,
// is closed. A reply the peer does not read within 30 s closes its
// connection. When maxOpenConnections() are open, or an accept fails for
// want of descriptors, the connection idle for longest is closed to make
// room; with none idle, accepting pauses until a connection ends, while
// further clients wait in the listen backlog.
//
// Access: the socket file gets the mode and group given with setAccess()
// (default: everybody may connect). With a mode that does not admit
// everybody, a peer whose credentials at connect time (SO_PEERCRED and
// SO_PEERGROUPS, see KX2Peer) match neither the owner, root nor the
// admitted group is disconnected before any request is read.
//
// Threads: the workers start with the first connection or
// start(), and the destructor ends every connection (a request being
// served runs to its reply) and joins them. The routers added with add()
// are not owned and must outlive the server. Construct, configure,
// start(), stop() and destroy on one thread; setDebugging() may be called
// at any time, doCall() from any thread. localRequest() is a blocking
// client call that needs no event loop.

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
    static constexpr int kDefaultMaxServed = 4;
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
    // listening socket is closed.
    void stop();
    // For a stopping process, after stop(): asks every open connection to
    // end (a request being served runs to its reply, which may no longer
    // reach the peer) and waits until none is open, `timeout` at most.
    // True when that happened in time: nothing of the server calls a
    // router any more.
    bool endConnections(std::chrono::milliseconds timeout);
    bool isListening() const;
    QString serverName() const;
    // Why the last start() failed; empty after a successful one.
    QString errorString() const;

    // Socket file mode (permission bits, e.g. 0660) and group id; a
    // negative value keeps the default (mode 0777, the process's group).
    // Takes effect at the next start().
    void setAccess(int mode, int groupId);
    // Workers, that is requests served at once (at least 1); a peer uid
    // gets at most half of them, less while more uids are served or
    // waiting. Workers are added when raised and never taken away.
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
    // How long a connection may stay silent in the middle of a frame
    // (default 30 s).
    void setReceiveTimeout(std::chrono::milliseconds timeout);

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
    // The socket file of the server name `name`.
    static QString socketPath(const QString& name);

private:
    friend class KX2LocalSocket; // takes a share of `d` for its connection

    const std::shared_ptr<KX2LocalServerPrivate> d;
    std::unique_ptr<KX2ListenerState> listener;
};

#endif // KX2LOCALSERVER_H
