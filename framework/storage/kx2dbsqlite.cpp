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

// ---------------------------------------------------------------------------
// Execution

KX2Status KX2DBSqlitePrivate::remember(const KX2Status& status)
{
    if (!status.ok())
        setLastError(status.message());
    return status;
}

KX2Status KX2DBSqlitePrivate::settle(const Run& run)
{
    remember(run.failure);
    if (run.completed)
        return KX2Status::success();
    if (!run.failure.ok())
        return run.failure;
    return KX2Status::failure(SQLITE_ERROR, QStringLiteral("no statement to run"));
}

KX2DBSqlitePrivate::Run KX2DBSqlitePrivate::exec(int& changes, int& lastRowId,
                                                 QList<QJsonObject>* rows, const QString& sql,
                                                 const QJsonObject& values,
                                                 const QJsonObject& params)
{
    KX2ReadLocker connection(connectionLock);
    sqlite3* db = handle.load();
    if (!db)
        return Run{false,
                   KX2Status::failure(SQLITE_MISUSE, QStringLiteral("database is not open"))};
    return runText(db, changes, lastRowId, rows, sql.toUtf8(), values, params);
}

// Runs the statements of `text` one after another on `db`, with
// connectionLock held on either side. The failure is success only when
// every statement ran without error.
KX2DBSqlitePrivate::Run KX2DBSqlitePrivate::runText(sqlite3* db, int& changes, int& lastRowId,
                                                    QList<QJsonObject>* rows,
                                                    const QByteArray& text,
                                                    const QJsonObject& values,
                                                    const QJsonObject& params)
{
    changes = 0;
    lastRowId = 0;
    Run run; // completed: some statement finished or returned a row
    const char* end = trimEnd(text.constData(), text.constData() + text.size());
    const char* pos = skipSpace(text.constData(), end);
    while (pos < end) {
        BoundTexts texts; // destroyed after the statement below is finalized
        KX2SqlConnectionGuard exclusive(db);
        KX2SqlStatement stmt;
        const char* tail = nullptr;
        if (sqlite3_prepare_v2(db, pos, static_cast<int>(end - pos), stmt.out(), &tail)
            != SQLITE_OK) {
            run.failure = kx2SqliteFailure(db);
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
                run.completed = true;
                continue;
            }
            if (rc != SQLITE_DONE)
                run.failure = kx2SqliteFailure(db);
            if (rc == SQLITE_DONE || run.completed) {
                changes = sqlite3_changes(db);
                lastRowId = static_cast<int>(sqlite3_last_insert_rowid(db));
                run.completed = true;
            }
            break;
        }
    }
    return run;
}

KX2DBSqlitePrivate::Run KX2DBSqlitePrivate::call(int* changes, int* lastRowId,
                                                 QList<QJsonObject>* rows, const QString& name,
                                                 const QJsonObject& values)
{
    writeText(&Texts::lastSqlId, name);
    QJsonObject record;
    {
        KX2ReadLocker catalogue(engineLock);
        record = engine.value(name).toObject();
    }
    if (record.isEmpty())
        return Run{false,
                   KX2Status::failure(SQLITE_ERROR, QStringLiteral("sqlid not found: ") + name)};
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

KX2Status KX2DBSqlitePrivate::loadSqlEngine(const QString& path)
{
    if (path.isEmpty())
        return KX2Status::failure(SQLITE_ERROR, QStringLiteral("Not found engine ddl."));
    QString text;
    if (!readTextFile(path, &text))
        return KX2Status::failure(SQLITE_CANTOPEN, QStringLiteral("cannot read ") + path);
    writeText(&Texts::engineText, text);
    QJsonObject catalogue = KX2SqlEngine::parse(text);
    KX2WriteLocker locker(engineLock);
    engine.swap(catalogue);
    return KX2Status::success();
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
    return openFile(path, created).ok();
}

KX2Status KX2DBSqlite::openFile(const QString& path, bool* created)
{
    return d->remember(d->open(path, created, nullptr));
}

bool KX2DBSqlite::open(const QString& path, const QString& enginePath, const QString& creatorPath,
                       bool* created)
{
    if (!d->remember(d->open(path, created, &creatorPath)).ok())
        return false;
    loadSqlEngine(enginePath);
    return true;
}

bool KX2DBSqlite::openOnly(const QString& path)
{
    return d->remember(d->openOnly(path)).ok();
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
    const KX2Status status = d->loadSqlEngine(enginePath);
    // A file that cannot be read leaves lastError() as it was.
    if (enginePath.isEmpty())
        d->remember(status);
    return status.ok();
}

KX2Status KX2DBSqlite::loadEngine(const QString& enginePath)
{
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
    return runSql(changes, lastRowId, rows, sql, values, params).ok();
}

bool KX2DBSqlite::exec(int& changes, int& lastRowId, const QString& sql, const QJsonObject& values,
                       const QJsonObject& params)
{
    return runSql(changes, lastRowId, sql, values, params).ok();
}

bool KX2DBSqlite::call(int& changes, int& lastRowId, QList<QJsonObject>& rows, const QString& name,
                       const QJsonObject& values)
{
    return run(changes, lastRowId, rows, name, values).ok();
}

bool KX2DBSqlite::call(int& changes, int& lastRowId, const QString& name, const QJsonObject& values)
{
    return run(changes, lastRowId, name, values).ok();
}

bool KX2DBSqlite::call(const QString& name, const QJsonObject& values)
{
    return run(name, values).ok();
}

bool KX2DBSqlite::call(QList<QJsonObject>& rows, const QString& name, const QJsonObject& values)
{
    return run(rows, name, values).ok();
}

bool KX2DBSqlite::call(QJsonArray& rows, const QString& name, const QJsonObject& values)
{
    return run(rows, name, values).ok();
}

bool KX2DBSqlite::call(int& changes, int& lastRowId, QJsonArray& rows, const QString& name,
                       const QJsonObject& values)
{
    return run(changes, lastRowId, rows, name, values).ok();
}

KX2Status KX2DBSqlite::runSql(int& changes, int& lastRowId, QList<QJsonObject>& rows,
                              const QString& sql, const QJsonObject& values,
                              const QJsonObject& params)
{
    return d->settle(d->exec(changes, lastRowId, &rows, sql, values, params));
}

KX2Status KX2DBSqlite::runSql(int& changes, int& lastRowId, const QString& sql,
                              const QJsonObject& values, const QJsonObject& params)
{
    return d->settle(d->exec(changes, lastRowId, nullptr, sql, values, params));
}

KX2Status KX2DBSqlite::run(int& changes, int& lastRowId, QList<QJsonObject>& rows,
                           const QString& name, const QJsonObject& values)
{
    return d->settle(d->call(&changes, &lastRowId, &rows, name, values));
}

KX2Status KX2DBSqlite::run(int& changes, int& lastRowId, const QString& name,
                           const QJsonObject& values)
{
    return d->settle(d->call(&changes, &lastRowId, nullptr, name, values));
}

KX2Status KX2DBSqlite::run(const QString& name, const QJsonObject& values)
{
    return d->settle(d->call(nullptr, nullptr, nullptr, name, values));
}

KX2Status KX2DBSqlite::run(QList<QJsonObject>& rows, const QString& name,
                           const QJsonObject& values)
{
    return d->settle(d->call(nullptr, nullptr, &rows, name, values));
}

KX2Status KX2DBSqlite::run(QJsonArray& rows, const QString& name, const QJsonObject& values)
{
    int changes = 0;
    int lastRowId = 0;
    return run(changes, lastRowId, rows, name, values);
}

KX2Status KX2DBSqlite::run(int& changes, int& lastRowId, QJsonArray& rows, const QString& name,
                           const QJsonObject& values)
{
    QList<QJsonObject> objects;
    const KX2Status status = d->settle(d->call(&changes, &lastRowId, &objects, name, values));
    for (const QJsonObject& row : qAsConst(objects))
        rows.append(row);
    return status;
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
