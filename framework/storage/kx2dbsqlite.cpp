#include "kx2dbsqlite.h"

#include "kx2dbsqlite_p.h"
#include "kx2readwritelock.h"
#include "kx2sqlbind.h"
#include "kx2sqlcreation.h"
#include "kx2sqlengine.h"
#include "kx2sqlitehandles.h"
#include "kx2threadsafety.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

#include <atomic>
#include <unordered_map>
#include <vector>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool isTrimSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

const char* skipSpace(const char* pos, const char* end)
{
    while (pos < end && isTrimSpace(*pos))
        ++pos;
    return pos;
}

const char* trimEnd(const char* begin, const char* end)
{
    while (end > begin && isTrimSpace(end[-1]))
        --end;
    return end;
}

} // namespace

// Each thread keeps the last error of every KX2DBSqlite object it has used
// in a thread_local table, so a request thread never reports the failure of
// a statement another thread ran meanwhile on the shared connection. The
// table goes away with its thread (connection workers and background calls
// come and go), and an entry whose object is gone is dropped the next time
// the thread records an error for a new object, so a long-lived thread
// holds entries only for live objects. QThreadStorage was not used: its
// destructor leaves every other thread's value behind and reuses the slot
// for the next storage, so a new object could report an old one's error.
class KX2DBSqliteErrors
{
public:
    void set(const std::shared_ptr<const KX2DBSqlitePrivate>& owner, const QString& message)
    {
        const auto found = entries.find(owner.get());
        if (found != entries.end() && !found->second.owner.expired()) {
            found->second.message = message;
            return;
        }
        dropExpired();
        entries[owner.get()] = Entry{owner, message};
    }

    QString get(const KX2DBSqlitePrivate* owner) const
    {
        const auto found = entries.find(owner);
        // An expired entry belonged to an earlier object at the same address.
        if (found == entries.end() || found->second.owner.expired())
            return QString();
        return found->second.message;
    }

    static KX2DBSqliteErrors& forThisThread()
    {
        thread_local KX2DBSqliteErrors errors;
        return errors;
    }

private:
    struct Entry
    {
        std::weak_ptr<const KX2DBSqlitePrivate> owner;
        QString message;
    };

    void dropExpired()
    {
        for (auto it = entries.begin(); it != entries.end();) {
            if (it->second.owner.expired())
                it = entries.erase(it);
            else
                ++it;
        }
    }

    std::unordered_map<const KX2DBSqlitePrivate*, Entry> entries;
};

// ---------------------------------------------------------------------------
// Execution

void KX2DBSqlitePrivate::setLastError(const QString& message)
{
    KX2DBSqliteErrors::forThisThread().set(shared_from_this(), message);
}

QString KX2DBSqlitePrivate::lastError() const
{
    return KX2DBSqliteErrors::forThisThread().get(this);
}

bool KX2DBSqlitePrivate::exec(int& changes, int& lastRowId, QList<QJsonObject>* rows,
                              const QString& sql, const QJsonObject& values,
                              const QJsonObject& params)
{
    KX2ReadLocker connection(connectionLock);
    sqlite3* db = handle.load();
    if (!db) {
        setLastError(QStringLiteral("database is not open"));
        return false;
    }
    return runText(db, changes, lastRowId, rows, sql.toUtf8(), values, params, nullptr);
}

// Runs the statements of `text` one after another on `db`, with
// connectionLock held on either side. `*allSucceeded`, when given, tells
// whether every statement ran without error.
bool KX2DBSqlitePrivate::runText(sqlite3* db, int& changes, int& lastRowId,
                                 QList<QJsonObject>* rows, const QByteArray& text,
                                 const QJsonObject& values, const QJsonObject& params,
                                 bool* allSucceeded)
{
    changes = 0;
    lastRowId = 0;
    bool completed = false; // some statement finished or returned a row
    bool clean = true;
    const char* end = trimEnd(text.constData(), text.constData() + text.size());
    const char* pos = skipSpace(text.constData(), end);
    while (pos < end) {
        BoundTexts texts; // destroyed after the statement below is finalized
        KX2SqlConnectionGuard exclusive(db);
        KX2SqlStatement stmt;
        const char* tail = nullptr;
        if (sqlite3_prepare_v2(db, pos, static_cast<int>(end - pos), stmt.out(), &tail)
            != SQLITE_OK) {
            setLastError(kx2SqliteConnectionError(db));
            clean = false;
            break; // the rest of the text cannot be split reliably
        }
        if (!tail || tail <= pos)
            break;
        pos = skipSpace(tail, end);
        if (!stmt.get())
            continue; // only a comment was left

        bindParameters(stmt.get(), values, params, texts);
        for (;;) {
            const int rc = sqlite3_step(stmt.get());
            if (rc == SQLITE_ROW) {
                if (rows)
                    rows->append(rowObject(stmt.get()));
                completed = true;
                continue;
            }
            if (rc != SQLITE_DONE) {
                setLastError(kx2SqliteConnectionError(db));
                clean = false;
            }
            if (rc == SQLITE_DONE || completed) {
                changes = sqlite3_changes(db);
                lastRowId = static_cast<int>(sqlite3_last_insert_rowid(db));
                completed = true;
            }
            break;
        }
    }
    if (allSucceeded)
        *allSucceeded = clean;
    return completed;
}

bool KX2DBSqlitePrivate::call(int* changes, int* lastRowId, QList<QJsonObject>* rows,
                              const QString& name, const QJsonObject& values)
{
    writeText(&Texts::lastSqlId, name);
    QJsonObject record;
    {
        KX2ReadLocker catalogue(engineLock);
        record = engine.value(name).toObject();
    }
    if (record.isEmpty()) {
        setLastError(QStringLiteral("sqlid not found: ") + name);
        return false;
    }
    int discardedChanges = 0;
    int discardedRowId = 0;
    return exec(changes ? *changes : discardedChanges, lastRowId ? *lastRowId : discardedRowId,
                rows, record.value(QStringLiteral("text")).toString(), values,
                record.value(QStringLiteral("params")).toObject());
}

bool KX2DBSqlitePrivate::transaction(const char* command)
{
    KX2ReadLocker connection(connectionLock);
    sqlite3* db = handle.load();
    return db && sqlite3_exec(db, command, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// ---------------------------------------------------------------------------
// Scripts and catalogue

void KX2DBSqlitePrivate::loadSqlCreator(const QString& path)
{
    QString text;
    if (readTextFile(path, &text))
        writeText(&Texts::creatorText, text);
}

bool KX2DBSqlitePrivate::loadSqlEngine(const QString& path)
{
    if (path.isEmpty()) {
        setLastError(QStringLiteral("Not found engine ddl."));
        return false;
    }
    QString text;
    if (!readTextFile(path, &text))
        return false;
    writeText(&Texts::engineText, text);
    QJsonObject catalogue = KX2SqlEngine::parse(text);
    KX2WriteLocker locker(engineLock);
    engine.swap(catalogue);
    return true;
}

// ---------------------------------------------------------------------------
// KX2DBSqlite

KX2DBSqlite::KX2DBSqlite() : d(std::make_shared<KX2DBSqlitePrivate>()) {}

// The private part, released after the join, closes the connection.
KX2DBSqlite::~KX2DBSqlite()
{
    // Joined here, not by the state's destructor: a running call may hold
    // a reference to the state (its error entry), and the state must not
    // be destroyed on one of its own threads.
    d->detachedCalls.shutdownAndWait();
}

bool KX2DBSqlite::open(const QString& path, bool* created)
{
    return d->open(path, created, nullptr);
}

bool KX2DBSqlite::open(const QString& path, const QString& enginePath, const QString& creatorPath,
                       bool* created)
{
    if (!d->open(path, created, &creatorPath))
        return false;
    d->loadSqlEngine(enginePath);
    return true;
}

bool KX2DBSqlite::openOnly(const QString& path)
{
    return d->openOnly(path);
}
void KX2DBSqlite::close()
{
    d->close();
}
bool KX2DBSqlite::isOpen() const
{
    return d->handle.load() != nullptr;
}
sqlite3* KX2DBSqlite::handle() const
{
    return d->handle.load();
}
QString KX2DBSqlite::fileName() const
{
    return d->readText(&KX2DBSqlitePrivate::Texts::fileName);
}
QString KX2DBSqlite::lastError() const
{
    return d->lastError();
}
QString KX2DBSqlite::lastSqlId() const
{
    return d->readText(&KX2DBSqlitePrivate::Texts::lastSqlId);
}
void KX2DBSqlite::loadSqlCreator(const QString& creatorPath)
{
    d->loadSqlCreator(creatorPath);
}
QString KX2DBSqlite::creatorText() const
{
    return d->readText(&KX2DBSqlitePrivate::Texts::creatorText);
}

bool KX2DBSqlite::loadSqlEngine(const QString& enginePath, bool reserved)
{
    Q_UNUSED(reserved)
    return d->loadSqlEngine(enginePath);
}

QString KX2DBSqlite::engineText() const
{
    return d->readText(&KX2DBSqlitePrivate::Texts::engineText);
}

QJsonObject KX2DBSqlite::sqlEngine() const
{
    KX2ReadLocker locker(d->engineLock);
    return d->engine;
}

QStringList KX2DBSqlite::delSqlComments(const QString& text)
{
    return KX2SqlEngine::delSqlComments(text);
}

bool KX2DBSqlite::exec(int& changes, int& lastRowId, QList<QJsonObject>& rows, const QString& sql,
                       const QJsonObject& values, const QJsonObject& params)
{
    return d->exec(changes, lastRowId, &rows, sql, values, params);
}

bool KX2DBSqlite::exec(int& changes, int& lastRowId, const QString& sql, const QJsonObject& values,
                       const QJsonObject& params)
{
    return d->exec(changes, lastRowId, nullptr, sql, values, params);
}

bool KX2DBSqlite::call(int& changes, int& lastRowId, QList<QJsonObject>& rows, const QString& name,
                       const QJsonObject& values)
{
    return d->call(&changes, &lastRowId, &rows, name, values);
}

bool KX2DBSqlite::call(int& changes, int& lastRowId, const QString& name, const QJsonObject& values)
{
    return d->call(&changes, &lastRowId, nullptr, name, values);
}

bool KX2DBSqlite::call(const QString& name, const QJsonObject& values)
{
    return d->call(nullptr, nullptr, nullptr, name, values);
}

bool KX2DBSqlite::call(QList<QJsonObject>& rows, const QString& name, const QJsonObject& values)
{
    return d->call(nullptr, nullptr, &rows, name, values);
}

bool KX2DBSqlite::call(QJsonArray& rows, const QString& name, const QJsonObject& values)
{
    int changes = 0;
    int lastRowId = 0;
    return call(changes, lastRowId, rows, name, values);
}

bool KX2DBSqlite::call(int& changes, int& lastRowId, QJsonArray& rows, const QString& name,
                       const QJsonObject& values)
{
    QList<QJsonObject> objects;
    const bool ok = d->call(&changes, &lastRowId, &objects, name, values);
    for (const QJsonObject& row : qAsConst(objects))
        rows.append(row);
    return ok;
}

void KX2DBSqlite::callDetach(const QString& name, const QJsonObject& values)
{
    if (!isOpen())
        return;
    KX2DBSqlitePrivate* const state = d.get();
    if (!d->detachedCalls.start(
            [state, name, values] { state->call(nullptr, nullptr, nullptr, name, values); }))
        d->setLastError(QStringLiteral("cannot start thread"));
}

bool KX2DBSqlite::transactionBegin()
{
    return d->transaction("begin transaction");
}
bool KX2DBSqlite::transactionCommit()
{
    return d->transaction("commit transaction");
}
bool KX2DBSqlite::transactionRollback()
{
    return d->transaction("rollback transaction");
}
