#include "kx2localserver.h"

#include "kx2localserver_p.h"
#include "kx2socketfile.h"

#include <algorithm>

namespace {

const int kDefaultMode = 0777;

} // namespace

// The listening side of a server, used on the server's thread only.
class KX2ListenerState
{
public:
    bool listening = false;
    QString name;
    KX2SocketFile file;
    QString error;
    int mode = kDefaultMode;
    int groupId = -1;
};

KX2LocalServer::KX2LocalServer(QObject* parent)
    : QObject(parent)
    , d(std::make_shared<KX2LocalServerPrivate>())
    , listener(std::make_unique<KX2ListenerState>())
{
}

KX2LocalServer::~KX2LocalServer()
{
    stop();
    d->shutdown();
}

bool KX2LocalServer::start(const QString& name)
{
    if (isListening())
        return true;
    KX2ListenerState& l = *listener;
    const QString path = kx2SocketPath(name);
    KX2UniqueFd fd = l.file.claim(path, l.mode, l.groupId);
    l.error = l.file.error();
    if (!fd.isValid())
        return false;
    if (!d->listen(std::move(fd), l.mode, l.groupId)) {
        l.error = QStringLiteral("cannot watch %1 for connections").arg(path);
        l.file.release();
        return false;
    }
    l.name = name;
    l.listening = true;
    return true;
}

void KX2LocalServer::stop()
{
    KX2ListenerState& l = *listener;
    if (!l.listening)
        return;
    d->retireListener();
    l.listening = false;
    l.file.release();
}

bool KX2LocalServer::endConnections(std::chrono::milliseconds timeout)
{
    return d->endAll(timeout);
}

bool KX2LocalServer::isListening() const
{
    return listener->listening;
}

QString KX2LocalServer::serverName() const
{
    return listener->name;
}

QString KX2LocalServer::errorString() const
{
    return listener->error;
}

void KX2LocalServer::setAccess(int mode, int groupId)
{
    listener->mode = mode >= 0 ? (mode & 0777) : kDefaultMode;
    listener->groupId = groupId;
}

void KX2LocalServer::setMaxServed(int count)
{
    d->setServedLimit(count);
}

int KX2LocalServer::maxServed() const
{
    return d->servedLimitNow();
}

int KX2LocalServer::servedCount() const
{
    return d->servedCount();
}

void KX2LocalServer::setMaxOpenConnections(int count)
{
    d->maxOpen.store(std::max(1, count));
}

int KX2LocalServer::maxOpenConnections() const
{
    return d->maxOpen.load();
}

void KX2LocalServer::setBufferBudget(qint64 bytes)
{
    d->frameBudget.setLimit(bytes);
}

qint64 KX2LocalServer::bufferBudget() const
{
    return d->frameBudget.limit();
}

qint64 KX2LocalServer::bufferedBytes() const
{
    return d->frameBudget.held();
}

int KX2LocalServer::connectionCount() const
{
    return d->connectionCount();
}

void KX2LocalServer::setReceiveTimeout(std::chrono::milliseconds timeout)
{
    d->receiveTimeoutMs.store(std::max<qint64>(1, timeout.count()));
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
    return d->rootRouter.dispatch(retObject, cmdObject, env);
}

void KX2LocalServer::setDebugging(bool on)
{
    d->debugging.store(on);
}

QString KX2LocalServer::socketPath(const QString& name)
{
    return kx2SocketPath(name);
}

bool KX2LocalServer::isDebugging() const
{
    return d->debugging.load();
}
