#include "kx2cabinet.h"

#include <QHash>

#include "kx2threadsafety.h"
#include "kx2values.h"

class KX2CabinetPrivate
{
public:
    bool local = false;

    // KX2Mutex locks a std::mutex, whose locking ThreadSanitizer sees (the
    // concurrency tests run under it); QMutex's it does not.
    mutable KX2Mutex objectMutex;
    QJsonObject object KX2_GUARDED_BY(objectMutex);

    mutable KX2Mutex storeMutex;
    QHash<QString, QJsonValue> store KX2_GUARDED_BY(storeMutex);

    QString token;
};

KX2Cabinet::KX2Cabinet() : d(new KX2CabinetPrivate) {}

KX2Cabinet::~KX2Cabinet() {}

bool KX2Cabinet::isLocal() const
{
    return d->local;
}

void KX2Cabinet::setLocal(bool local)
{
    d->local = local;
}

void KX2Cabinet::insert(const QString& key, const QJsonValue& value)
{
    KX2MutexLocker locker(d->objectMutex);
    d->object.insert(key, value);
}

QJsonValue KX2Cabinet::value(const QString& key) const
{
    KX2MutexLocker locker(d->objectMutex);
    return d->object.value(key);
}

QJsonObject KX2Cabinet::object() const
{
    // Built afresh rather than shared with the member, so the member's data
    // is only ever touched under the lock, also when a later insert() on
    // another thread detaches it.
    KX2MutexLocker locker(d->objectMutex);
    QJsonObject copy;
    for (auto it = d->object.constBegin(); it != d->object.constEnd(); ++it)
        copy.insert(it.key(), it.value());
    return copy;
}

QString KX2Cabinet::token() const
{
    return d->token;
}

void KX2Cabinet::setToken(const QString& token)
{
    d->token = token;
}

void KX2Cabinet::set(const QString& key, const QJsonValue& value)
{
    KX2MutexLocker locker(d->storeMutex);
    d->store.insert(key, value);
}

bool KX2Cabinet::get(const QString& key, QJsonValue& out) const
{
    KX2MutexLocker locker(d->storeMutex);
    const auto found = d->store.constFind(key);
    if (found == d->store.constEnd())
        return false;
    out = found.value();
    return true;
}

QString KX2Cabinet::getString(const QString& key) const
{
    QJsonValue stored;
    if (!get(key, stored))
        return QString();
    return toString(stored);
}

bool KX2Cabinet::contains(const QString& key) const
{
    KX2MutexLocker locker(d->storeMutex);
    return d->store.contains(key);
}

void KX2Cabinet::remove(const QString& key)
{
    KX2MutexLocker locker(d->storeMutex);
    d->store.remove(key);
}

QStringList KX2Cabinet::keys() const
{
    KX2MutexLocker locker(d->storeMutex);
    return d->store.keys();
}

void KX2Cabinet::clear()
{
    KX2MutexLocker locker(d->storeMutex);
    d->store.clear();
}
