// HttpTestServer: a small HTTP/1.1 server on 127.0.0.1 for tests of the
// HTTP clients, running on a thread of its own so that the thread under test
// may block in a transfer.
//
// Each path answers with a configured reply: a status, a body, and
// optionally a cut-off (the body ends early, with or without the full
// Content-Length announced) or a pace (chunks of a given size with a pause
// between them). Unknown paths get 404. One connection is served at a time
// and closed after its reply. Every request is recorded (method, path,
// headers, body) so tests can check what was asked and what was not.
//
// Thread rules: setReply(), remove(), requests() and clearRequests() may be
// called from any thread; the destructor stops the server thread.

#ifndef HTTPTESTSERVER_H
#define HTTPTESTSERVER_H

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class HttpTestServer
{
public:
    struct Reply
    {
        int status = 200;
        QByteArray body;
        int cutAfter = -1;        // >= 0: close after this many body bytes
        bool announceFull = true; // with cutAfter: Content-Length of the whole body
        int chunkSize = 0;        // > 0: send in chunks of this size...
        int pauseMs = 0;          // ...with this pause between them
    };

    struct Request
    {
        QByteArray method;
        QByteArray path;
        QByteArray headers;
        QByteArray body;
    };

    HttpTestServer()
    {
        serverThread = std::thread([this] { run(); });
        std::unique_lock<std::mutex> lock(mutex);
        started.wait(lock, [this] { return listening != 0; });
    }

    ~HttpTestServer()
    {
        stopping = true;
        serverThread.join();
    }

    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    // False when the server could not listen.
    bool isListening() const { return listening > 0; }
    quint16 port() const { return portNumber; }
    QString url(const QString& path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(portNumber).arg(path);
    }

    void setReply(const QString& path, const Reply& reply)
    {
        std::lock_guard<std::mutex> lock(mutex);
        replies.insert(path.toUtf8(), reply);
    }
    void setFile(const QString& path, const QByteArray& body, int status = 200)
    {
        Reply reply;
        reply.status = status;
        reply.body = body;
        setReply(path, reply);
    }
    void remove(const QString& path)
    {
        std::lock_guard<std::mutex> lock(mutex);
        replies.remove(path.toUtf8());
    }

    QList<Request> requests() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return log;
    }
    QList<QByteArray> requestedPaths() const
    {
        QList<QByteArray> paths;
        for (const Request& request : requests())
            paths << request.path;
        return paths;
    }
    void clearRequests()
    {
        std::lock_guard<std::mutex> lock(mutex);
        log.clear();
    }

    // Replies sent in full since the server started.
    int servedCount() const
    {
        std::lock_guard<std::mutex> lock(mutex);
        return served;
    }
    // Waits until `count` replies have been sent in full; false at the
    // deadline.
    bool waitForServed(int count, int timeoutMs)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return servedChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                      [&] { return served >= count; });
    }

private:
    static const int kIoTimeoutMs = 10000;

    void run()
    {
        QTcpServer server;
        const bool ok = server.listen(QHostAddress::LocalHost, 0);
        {
            std::lock_guard<std::mutex> lock(mutex);
            portNumber = server.serverPort();
            listening = ok ? 1 : -1;
        }
        started.notify_all();
        while (ok && !stopping) {
            // A short wait keeps the destructor responsive.
            if (!server.waitForNewConnection(50))
                continue;
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                serve(*socket);
                socket->disconnectFromHost();
                if (socket->state() != QAbstractSocket::UnconnectedState)
                    socket->waitForDisconnected(1000);
                delete socket;
            }
        }
    }

    bool readRequest(QTcpSocket& socket, Request& request)
    {
        QByteArray data;
        int headerEnd = -1;
        while ((headerEnd = data.indexOf("\r\n\r\n")) < 0) {
            if (!socket.waitForReadyRead(kIoTimeoutMs))
                return false;
            data += socket.readAll();
        }
        const QByteArray head = data.left(headerEnd);
        const QList<QByteArray> words = head.left(head.indexOf("\r\n")).split(' ');
        if (words.size() < 2)
            return false;
        request.method = words.at(0);
        request.path = words.at(1);
        request.headers = head;
        int length = 0;
        for (const QByteArray& line : head.split('\n')) {
            if (line.toLower().startsWith("content-length:"))
                length = line.mid(15).trimmed().toInt();
        }
        request.body = data.mid(headerEnd + 4);
        while (request.body.size() < length) {
            if (!socket.waitForReadyRead(kIoTimeoutMs))
                return false;
            request.body += socket.readAll();
        }
        return true;
    }

    bool send(QTcpSocket& socket, const QByteArray& bytes)
    {
        socket.write(bytes);
        while (socket.bytesToWrite() > 0) {
            if (!socket.waitForBytesWritten(kIoTimeoutMs))
                return false;
        }
        return socket.state() == QAbstractSocket::ConnectedState;
    }

    void serve(QTcpSocket& socket)
    {
        Request request;
        if (!readRequest(socket, request))
            return;
        Reply reply;
        reply.status = 404;
        reply.body = "not found";
        {
            std::lock_guard<std::mutex> lock(mutex);
            log << request;
            reply = replies.value(request.path, reply);
        }
        const QByteArray body = reply.cutAfter >= 0 ? reply.body.left(reply.cutAfter) : reply.body;
        QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status)
            + (reply.status == 200 ? " OK" : " Other") + "\r\nConnection: close\r\n";
        if (reply.cutAfter < 0 || reply.announceFull)
            head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
        if (!send(socket, head + "\r\n"))
            return;
        const int chunk = reply.chunkSize > 0 ? reply.chunkSize : qMax(1, body.size());
        for (int offset = 0; offset < body.size() && !stopping; offset += chunk) {
            if (!send(socket, body.mid(offset, chunk)))
                return;
            // Paces the reply; also notices a client that has gone.
            if (reply.pauseMs > 0 && offset + chunk < body.size()
                && !socket.waitForReadyRead(reply.pauseMs)
                && socket.state() != QAbstractSocket::ConnectedState)
                return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            ++served;
        }
        servedChanged.notify_all();
    }

    mutable std::mutex mutex;
    std::condition_variable started;
    int listening = 0; // guarded by mutex: 0 starting, 1 listening, -1 failed
    quint16 portNumber = 0;
    QHash<QByteArray, Reply> replies; // guarded by mutex
    QList<Request> log;               // guarded by mutex
    int served = 0;                   // guarded by mutex
    std::condition_variable servedChanged;
    std::atomic<bool> stopping{false};
    std::thread serverThread;
};

#endif // HTTPTESTSERVER_H
