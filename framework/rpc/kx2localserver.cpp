#include "kx2localserver.h"

#include "kx2localserver_p.h"
#include "kx2localsocket.h"
#include "kx2rpcpacket.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalSocket>

#include <algorithm>
#include <climits>

namespace {

const int kPendingConnections = 1024;
const int kConnectTimeoutMs = 2000;

// Milliseconds left until `deadlineMs` on `timer`, clamped to what the
// socket wait functions take.
int remainingMs(const QElapsedTimer& timer, qint64 deadlineMs)
{
    return int(std::clamp<qint64>(deadlineMs - timer.elapsed(), 0, INT_MAX));
}

enum class ReplyState { Waiting, Received, Broken };

// Takes frames from `buffer` until the first non-empty packet.
ReplyState takeReply(QByteArray& buffer, QJsonObject& reply)
{
    for (;;) {
        KX2RpcPacket packet;
        const int result = packet.fromDatagram(buffer);
        if (result == KX2RpcPacket::Incomplete)
            return ReplyState::Waiting;
        if (result == KX2RpcPacket::Invalid || result == KX2RpcPacket::TooLarge)
            return ReplyState::Broken; // nothing readable can follow
        if (result == KX2RpcPacket::Taken && !packet.isEmpty()) {
            reply = packet;
            return ReplyState::Received;
        }
    }
}

} // namespace

KX2LocalServer::KX2LocalServer(QObject* parent)
    : QLocalServer(parent)
    , d(std::make_shared<KX2LocalServerPrivate>())
{
    setMaxPendingConnections(kPendingConnections);
    setSocketOptions(QLocalServer::WorldAccessOption);
}

KX2LocalServer::~KX2LocalServer()
{
    stop();
}

bool KX2LocalServer::start(const QString& name)
{
    if (isListening())
        return true;
    if (name.contains(QLatin1Char('/'))) {
        const QString directory = QFileInfo(name).absolutePath();
        if (!QDir().mkpath(directory))
            return false;
    }
    if (listen(name))
        return true;
    if (serverError() != QAbstractSocket::AddressInUseError)
        return false;
    // A leftover socket file of a dead process, or one still held by a
    // running instance: either way this server takes the name over.
    QLocalServer::removeServer(name);
    return listen(name);
}

void KX2LocalServer::stop()
{
    if (isListening())
        close();
}

void KX2LocalServer::add(KX2TodoRouter* router)
{
    d->rootRouter.add(router);
}

KX2TodoRouter* KX2LocalServer::rootRouter() const
{
    return &d->rootRouter;
}

bool KX2LocalServer::doCall(QJsonObject& retObject, const QJsonObject& cmdObject, KX2Cabinet* env)
{
    return d->dispatch(retObject, cmdObject, env);
}

void KX2LocalServer::setDebugging(bool on)
{
    d->debugging.store(on);
}

bool KX2LocalServer::isDebugging() const
{
    return d->debugging.load();
}

void KX2LocalServer::incomingConnection(quintptr socketDescriptor)
{
    // The handle only starts the worker; the worker owns the connection
    // and releases it when the peer goes away.
    KX2LocalSocket connection(this, socketDescriptor);
}

bool KX2LocalServer::localRequest(const QString& name, const QJsonObject& request,
                                  QJsonObject* reply, qint64 timeoutSeconds)
{
    const QByteArray frame = KX2RpcPacket(request).toDatagram();
    const bool awaitReply = reply && timeoutSeconds > 0;
    QElapsedTimer timer;
    timer.start();
    const qint64 deadlineMs = awaitReply ? std::min<qint64>(timeoutSeconds, LLONG_MAX / 1000) * 1000
                                         : kConnectTimeoutMs;

    QLocalSocket socket;
    socket.connectToServer(name, QIODevice::ReadWrite);
    if (!socket.waitForConnected(std::min(kConnectTimeoutMs, remainingMs(timer, deadlineMs))))
        return false;
    if (socket.write(frame) != frame.size())
        return false;
    socket.flush();
    if (!awaitReply) {
        // Hand the whole frame to the kernel before the socket goes away.
        while (socket.bytesToWrite() > 0 && socket.state() == QLocalSocket::ConnectedState) {
            if (!socket.waitForBytesWritten(remainingMs(timer, deadlineMs)))
                break;
        }
        return socket.bytesToWrite() == 0;
    }

    QByteArray buffer;
    QJsonObject received;
    for (;;) {
        const int waitMs = remainingMs(timer, deadlineMs);
        const bool readable = waitMs > 0 && socket.waitForReadyRead(waitMs);
        buffer.append(socket.readAll());
        switch (takeReply(buffer, received)) {
        case ReplyState::Received:
            socket.disconnectFromServer();
            *reply = received;
            return true;
        case ReplyState::Broken:
            return false;
        case ReplyState::Waiting:
            break;
        }
        // Only a plain timeout with time left is worth another wait.
        if (!readable
            && (waitMs == 0 || socket.state() != QLocalSocket::ConnectedState
                || socket.error() != QLocalSocket::SocketTimeoutError))
            return false;
    }
}
