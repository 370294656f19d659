// KX2Cabinet: the request environment handed to every request method.
//
// The environment is itself the connection's result journal (it derives
// from KX2Journals): a request method records its outcome on it with
// begin(), setErr(code, message) on failure and setErr(0, "") on success.
// It also carries connection attributes (object(); the connection
// sets "protocol"), a free key/value store for request methods, a login
// token and a local-connection flag.
//
// Ownership: created and owned by the connection (or by whoever dispatches
// a request in-process); lives as long as the connection, so the journal
// state carries over between requests of one connection. Always passed by
// pointer, never copied.
//
// Threads: the attribute object and the store each have their own mutex
// and may be used from any thread. The journal part, `local` and `token`
// belong to the thread serving the connection's current request.

#ifndef KX2CABINET_H
#define KX2CABINET_H

#include <QJsonObject>
#include <QJsonValue>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include <memory>

#include "kx2journals.h"

class KX2CabinetPrivate;

class KX2Cabinet : public KX2Journals
{
public:
    KX2Cabinet();
    ~KX2Cabinet() override;

    bool isLocal() const;
    void setLocal(bool local);

    // Connection attributes.
    void insert(const QString& key, const QJsonValue& value);
    // Undefined when absent.
    QJsonValue value(const QString& key) const;
    QJsonObject object() const;

    QString token() const;
    void setToken(const QString& token);

    // Free key/value store.
    void set(const QString& key, const QJsonValue& value);
    // When present: `out` = the value and true; else false, `out` unchanged.
    bool get(const QString& key, QJsonValue& out) const;
    // The stored value as a string (kx2values toString), empty when absent.
    QString getString(const QString& key) const;
    bool contains(const QString& key) const;
    void remove(const QString& key);
    QStringList keys() const;
    void clear();

private:
    const std::unique_ptr<KX2CabinetPrivate> d;
};

Q_DECLARE_METATYPE(KX2Cabinet*)

#endif // KX2CABINET_H
