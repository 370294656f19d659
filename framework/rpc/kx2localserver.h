// KX2LocalServer: the service's local-socket entry point.
//
// Listens under one name (a path when it contains '/', else a name the
// socket layer places in the temporary directory), accepts connections on
// the thread that owns the server (its event loop must run) and hands each
// accepted descriptor to a KX2LocalSocket, whose worker thread reads framed
// requests, dispatches them through the router chain and writes one framed
// reply per request.
//
// The router chain and the debugging switch are shared with the connection
// workers, so the server may be destroyed while connections are still
// being served: the workers keep that state alive until they end. The
// routers added with add() are not owned; their owner must outlive every
// connection that may still call them. del() only keeps later requests
// away: a request already running in a router is not waited for.
//
// Threads: construct, start(), stop() and destroy on one thread (the one
// running the event loop). setDebugging() may be called at any time;
// doCall() from any thread. localRequest() is a blocking client call that
// needs no event loop and may run on any thread except the one that runs
// the accepting event loop of a server it talks to.

#ifndef KX2LOCALSERVER_H
#define KX2LOCALSERVER_H

#include <QJsonObject>
#include <QLocalServer>
#include <QString>

#include <memory>

class KX2Cabinet;
class KX2LocalServerPrivate;
class KX2TodoRouter;

class KX2LocalServer : public QLocalServer
{
    Q_OBJECT
public:
    explicit KX2LocalServer(QObject* parent = nullptr);
    ~KX2LocalServer() override;

    // Starts listening under `name`. A missing directory of a path name is
    // created; a socket file left by a dead process (or still held by a
    // live one) is removed and the name reused. True when listening
    // afterwards; a server already listening keeps its name.
    bool start(const QString& name);
    // Stops listening; open connections are served on until they end.
    void stop();

    // Adds a router to the head of the router chain.
    void add(KX2TodoRouter* router);
    KX2TodoRouter* rootRouter() const;
    // Dispatches one request through the router chain; true when a method
    // ran. When none did, `env` records 9885 "被调用的方法不存在: " + cmd.
    bool doCall(QJsonObject& retObject, const QJsonObject& cmdObject, KX2Cabinet* env);

    // When on, replies carry "elapsed" and "journals".
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

protected:
    void incomingConnection(quintptr socketDescriptor) override;

private:
    friend class KX2LocalSocket; // takes a share of `d` for its worker
    std::shared_ptr<KX2LocalServerPrivate> d;
};

#endif // KX2LOCALSERVER_H
