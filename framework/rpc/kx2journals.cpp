#include "kx2journals.h"

#include <QElapsedTimer>

#include <cstdarg>

// The record shared by KX2Journals and KX2Error.
class KX2JournalsPrivate
{
public:
    int err = KX2ErrorCode::NoResult;
    QString errmsg;
    QJsonArray segments;
    qint64 total = 0;
    QElapsedTimer timer;

    // Milliseconds since the last mark, added to `total`; sets a new mark.
    // A clock that was never started measures nothing.
    qint64 mark()
    {
        if (!timer.isValid())
            return 0;
        const qint64 elapsed = timer.restart();
        total += elapsed;
        return elapsed;
    }

    // 0 (success) and 10000 never carry a message into a result object.
    bool messageVisible() const
    {
        return err != KX2ErrorCode::Success && err != KX2ErrorCode::Silent && !errmsg.isEmpty();
    }

    QJsonObject entry(const QString& place, const QString& action, bool success)
    {
        QJsonObject object;
        object.insert(QStringLiteral("place"), place);
        object.insert(QStringLiteral("action"), action);
        object.insert(QStringLiteral("times"), mark());
        object.insert(QStringLiteral("success"), success);
        return object;
    }

    void writeErr(QJsonObject& target) const
    {
        target.insert(QStringLiteral("err"), err);
        if (messageVisible())
            target.insert(QStringLiteral("errmsg"), errmsg);
    }

    void writeDetails(QJsonObject& target) const
    {
        target.insert(QStringLiteral("elapsed"), total);
        if (!segments.isEmpty())
            target.insert(QStringLiteral("journals"), segments);
    }
};

// ---------------------------------------------------------------- KX2Journals

KX2Journals::KX2Journals() : d(new KX2JournalsPrivate)
{
    d->timer.start();
}

KX2Journals::~KX2Journals() {}

int KX2Journals::err() const
{
    return d->err;
}

QString KX2Journals::errmsg() const
{
    return d->errmsg;
}

qint64 KX2Journals::times() const
{
    return d->total;
}

QJsonArray KX2Journals::segments() const
{
    return d->segments;
}

void KX2Journals::setErr(int code, const QString& msg)
{
    d->err = code;
    d->errmsg = msg;
}

bool KX2Journals::report(const KX2Status& status)
{
    if (!status.ok())
        setErr(status.code(), status.message());
    return status.ok();
}

void KX2Journals::setErrmsg(const QString& msg)
{
    d->errmsg = msg;
}

void KX2Journals::setSegments(const QJsonArray& segments)
{
    d->segments = segments;
}

void KX2Journals::reset(int code, const QString& msg, const QJsonArray& segments)
{
    d->err = code;
    d->errmsg = msg;
    d->segments = segments;
    d->total = 0;
}

void KX2Journals::renew()
{
    d->err = KX2ErrorCode::NoResult;
    d->errmsg.clear();
    d->segments = QJsonArray();
    d->total = 0;
    d->timer.start();
}

void KX2Journals::add(const QJsonObject& entry)
{
    d->segments.append(entry);
}

void KX2Journals::add(const QJsonArray& entries)
{
    d->segments.append(entries);
}

QJsonObject KX2Journals::add(const QString& place, const QString& action, bool success,
                             const QString& msg)
{
    QJsonObject object = d->entry(place, action, success);
    if (!msg.isEmpty())
        object.insert(QStringLiteral("msg"), msg);
    else if (!d->errmsg.isEmpty())
        object.insert(QStringLiteral("msg"), d->errmsg);
    d->segments.append(object);
    return object;
}

void KX2Journals::begin()
{
    d->total = 0;
    d->timer.restart();
}

qint64 KX2Journals::step()
{
    return d->mark();
}

qint64 KX2Journals::end()
{
    d->mark();
    return d->total;
}

QJsonObject KX2Journals::toObject() const
{
    QJsonObject object;
    d->writeErr(object);
    d->writeDetails(object);
    return object;
}

void KX2Journals::toRetObject(QJsonObject* target, bool withDetails)
{
    if (target)
        toRetObject(*target, withDetails);
}

void KX2Journals::toRetObject(QJsonObject& target, bool withDetails)
{
    d->mark();
    d->writeErr(target);
    if (withDetails)
        d->writeDetails(target);
}

// ------------------------------------------------------------------- KX2Error

KX2Error::KX2Error(int code, const QString& msg) : d(new KX2JournalsPrivate)
{
    d->err = code;
    d->errmsg = msg;
}

KX2Error::~KX2Error() {}

int KX2Error::err() const
{
    return d->err;
}

QString KX2Error::errmsg() const
{
    return d->errmsg;
}

qint64 KX2Error::times() const
{
    return d->total;
}

QJsonArray KX2Error::journals() const
{
    return d->segments;
}

void KX2Error::setErr(int code, const QString& msg)
{
    d->err = code;
    d->errmsg = msg;
}

void KX2Error::setErrmsg(const QString& msg)
{
    d->errmsg = msg.trimmed();
}

void KX2Error::setJournals(const QJsonArray& journals)
{
    d->segments = journals;
}

void KX2Error::reset(int code, const QString& msg, const QJsonArray& journals)
{
    d->err = code;
    d->errmsg = msg;
    d->segments = journals;
    d->total = 0;
    d->timer.start();
}

QString KX2Error::setError(int code, const char* format, ...)
{
    QString text;
    if (format) {
        va_list arguments;
        va_start(arguments, format);
        text = QString::vasprintf(format, arguments);
        va_end(arguments);
    }
    d->err = code;
    d->errmsg = text.trimmed();
    return text;
}

void KX2Error::add(const QJsonObject& entry)
{
    d->segments.append(entry);
}

void KX2Error::add(const QJsonArray& entries)
{
    d->segments.append(entries);
}

QJsonObject KX2Error::add(const QString& place, const QString& action, bool success,
                          const QString& msg)
{
    QJsonObject object = d->entry(place, action, success);
    object.insert(QStringLiteral("msg"), msg.isEmpty() ? d->errmsg : msg);
    d->segments.append(object);
    return object;
}

void KX2Error::begin()
{
    d->total = 0;
    d->timer.start();
}

qint64 KX2Error::step()
{
    return d->mark();
}

qint64 KX2Error::end()
{
    d->mark();
    return d->total;
}

QJsonObject KX2Error::toObject() const
{
    QJsonObject object;
    d->writeErr(object);
    d->writeDetails(object);
    return object;
}

void KX2Error::write(QJsonObject* target) const
{
    if (target)
        write(*target);
}

void KX2Error::write(QJsonObject& target) const
{
    d->writeErr(target);
}
