// KX2DBSqlitePrivate: the state behind KX2DBSqlite, shared by the units
// that execute statements (kx2dbsqlite.cpp) and that open and create the
// store (kx2dbsqliteopen.cpp). Not part of the public interface.

#ifndef KX2DBSQLITE_P_H
#define KX2DBSQLITE_P_H

#include <QJsonObject>
#include <QList>
#include <QString>

#include <atomic>
#include <memory>

#include <sqlite3.h>

#include "kx2readwritelock.h"
#include "kx2sqlengine.h"
#include "kx2sqlitehandles.h"
#include "kx2threadgroup.h"
#include "kx2status.h"
#include "kx2threadsafety.h"

// How long a statement waits for a lock held by another process (a backup
// or an administrator's sqlite3 shell) before it fails with SQLITE_BUSY.
// Threads of this process share one connection and never block each other
// this way.
constexpr int kKX2SqliteBusyTimeoutMs = 5000;

// SQLite's message for the connection `db`, or the reason there is none.
inline QString kx2SqliteConnectionError(sqlite3* db)
{
    return db ? QString::fromUtf8(sqlite3_errmsg(db)) : QStringLiteral("out of memory");
}

// The failure SQLite reports for the connection `db`: its result code and
// message.
inline KX2Status kx2SqliteFailure(sqlite3* db)
{
    const int code = db ? sqlite3_extended_errcode(db) : SQLITE_NOMEM;
    return KX2Status::failure(code != SQLITE_OK ? code : SQLITE_ERROR,
                              kx2SqliteConnectionError(db));
}

class KX2DBSqlitePrivate : public std::enable_shared_from_this<KX2DBSqlitePrivate>
{
public:
    KX2DBSqlitePrivate() : engine(KX2SqlEngine::builtinStatements()) {}
    ~KX2DBSqlitePrivate()
    {
        // The background calls use the connection: they end first.
        detachedCalls.shutdownAndWait();
        sqlite3_close_v2(handle.load());
    }

    // Every failure comes back with the call that met it; the public
    // forms also keep its message for lastError().
    KX2Status open(const QString& path, bool* created, const QString* creatorPath);
    KX2Status openOnly(const QString& path);
    void close();

    // The outcome of running statements: the bool forms' result (some
    // statement completed or returned a row) and the last failure met,
    // which a later statement's completion does not undo.
    struct Run
    {
        bool completed = false;
        KX2Status failure;
    };
    Run exec(int& changes, int& lastRowId, QList<QJsonObject>* rows, const QString& sql,
             const QJsonObject& values, const QJsonObject& params);
    Run call(int* changes, int* lastRowId, QList<QJsonObject>* rows, const QString& name,
             const QJsonObject& values);
    bool transaction(const char* command);

    void loadSqlCreator(const QString& path);
    KX2Status loadSqlEngine(const QString& path);

    // Keeps a failure's message for lastError(); returns `status`.
    KX2Status remember(const KX2Status& status);
    // The status form of a run: remembers its failure; ok() when some
    // statement completed.
    KX2Status settle(const Run& run);
    // The last failure on this object, from whichever thread met it.
    void setLastError(const QString& message) { writeText(&Texts::lastError, message); }
    QString lastError() const { return readText(&Texts::lastError); }
    // Texts that every access copies whole, so they share one small lock.
    struct Texts
    {
        QString fileName;
        QString lastSqlId;
        QString creatorText;
        QString engineText;
        QString lastError;
    };
    QString readText(QString Texts::*field) const
    {
        KX2MutexLocker locker(stateMutex);
        return texts.*field;
    }
    void writeText(QString Texts::*field, const QString& value)
    {
        KX2MutexLocker locker(stateMutex);
        texts.*field = value;
    }

    // Lifetime of the connection. open/openOnly/close hold it for writing;
    // every statement holds it for reading, so a connection is never closed
    // under a running statement. Statements on different threads share it.
    mutable KX2ReadWriteLock connectionLock;
    // Written only under connectionLock's write side; atomic so isOpen()
    // can look at it without waiting for a running open or statement.
    std::atomic<sqlite3*> handle{nullptr};

    mutable KX2Mutex stateMutex;
    Texts texts KX2_GUARDED_BY(stateMutex);

    // Held just to copy a record out or swap the whole catalogue.
    mutable KX2ReadWriteLock engineLock;
    QJsonObject engine KX2_GUARDED_BY(engineLock);

    // The threads of callDetach(). They use this object through a plain
    // pointer: the owner joins them before the object goes away.
    KX2ThreadGroup detachedCalls;

private:
    sqlite3* openConnection(const QString& path, int flags, KX2Status& failure);
    // Creation runs under the write side of connectionLock, so it never
    // overlaps an open() or close() of the same object.
    KX2Status runCreator(sqlite3* db, const QString* creatorPath) KX2_REQUIRES(connectionLock);
    KX2Status createEmptyFile(const QString& path);
    enum class Creation { Created, AlreadyThere, Failed };
    Creation createWhole(const QString& path, const QString* creatorPath, KX2Status& failure)
        KX2_REQUIRES(connectionLock);
    Run runText(sqlite3* db, int& changes, int& lastRowId, QList<QJsonObject>* rows,
                const QByteArray& text, const QJsonObject& values, const QJsonObject& params)
        KX2_REQUIRES_SHARED(connectionLock);
    void closeLocked() KX2_REQUIRES(connectionLock);
};

#endif // KX2DBSQLITE_P_H
