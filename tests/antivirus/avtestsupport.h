// Helpers shared by the antivirus test suites: test signatures, files and
// configurations written at run time.

#ifndef AVTESTSUPPORT_H
#define AVTESTSUPPORT_H

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <grp.h>
#include <unistd.h>

#include "kx2dbsqlite.h"

namespace avtest {

// The 68-byte antivirus test string, assembled here so that no source file
// holds it in one piece.
inline QByteArray eicar()
{
    return QByteArray("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + QByteArray("EICAR-STANDARD-")
        + QByteArray("ANTIVIRUS-TEST-FILE!$H+H*");
}

// MD5 signature of the test string, in libclamav's .hdb format.
inline QByteArray eicarHdbLine()
{
    return QByteArray("44d88612fea8a8f36de82e1278abb02f:68:Test.Sig\n");
}

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

inline bool writeJson(const QString& path, const QJsonObject& object)
{
    return writeFile(path, QJsonDocument(object).toJson());
}

inline QJsonObject readJson(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QJsonObject();
    return QJsonDocument::fromJson(file.readAll()).object();
}

inline QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The component's keys of config.json, all inside `root`; makes the scans'
// temporary directory, so that a service started as root mounts no tmpfs
// of its own for a test that does not ask for one.
inline QJsonObject componentConfig(const QString& root)
{
    QDir().mkpath(root + "/tmp");
    return QJsonObject{
        {"tmpdir", root + "/tmp"},
        {"settings", root + "/etc/settings.json"},
        {"database", root + "/etc/antivirus.db"},
        {"virusdburl", "http://127.0.0.1:9/virusdb.json"},
        // Never the machine's own directory: the first work area takes its files.
        {"systemvirusdb", root + "/system-virusdb"},
        {"overall", QJsonObject{{"path", root + "/scan"}}},
    };
}

// Rows in `table`, or -1 when the count cannot be read.
inline int rowCount(KX2DBSqlite& db, const QString& table)
{
    int changes = 0, lastRowId = 0;
    QList<QJsonObject> rows;
    if (!db.exec(changes, lastRowId, rows, "SELECT COUNT(*) AS n FROM " + table + ";"))
        return -1;
    return rows.value(0).value("n").toInt(-1);
}

// The user and group the attacker's processes run as.
const uid_t kNobody = 65534;

// Forks a child that drops to `nobody` and runs `body` (which may use only
// async-signal-safe calls: the parent has threads), then exits. The
// child's pid, or -1.
template <class Body>
pid_t forkAsNobody(Body body)
{
    const pid_t child = ::fork();
    if (child != 0)
        return child;
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0
        || ::setresuid(kNobody, kNobody, kNobody) != 0)
        ::_exit(2);
    body();
    ::_exit(0);
}

// Gives `path` to nobody.
inline bool giveToNobody(const QString& path)
{
    return ::lchown(QFile::encodeName(path).constData(), kNobody, kNobody) == 0;
}

} // namespace avtest

#endif // AVTESTSUPPORT_H
