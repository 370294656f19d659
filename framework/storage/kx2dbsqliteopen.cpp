#include "kx2dbsqlite.h"

#include "kx2dbsqlite_p.h"
#include "kx2sqlcreation.h"
#include "kx2uniquefd.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// ---------------------------------------------------------------------------
// Opening and closing

void KX2DBSqlitePrivate::closeLocked()
{
    sqlite3_close_v2(handle.exchange(nullptr));
    writeText(&Texts::fileName, QString());
}

void KX2DBSqlitePrivate::close()
{
    KX2WriteLocker connection(connectionLock);
    closeLocked();
}

sqlite3* KX2DBSqlitePrivate::openConnection(const QString& path, int flags, KX2Status& failure)
{
    if (!sqlite3_threadsafe()) {
        failure = KX2Status::failure(
            SQLITE_MISUSE, QStringLiteral("SQLite library is built without thread support"));
        return nullptr;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.toUtf8().constData(), &db, flags | SQLITE_OPEN_FULLMUTEX, nullptr)
        != SQLITE_OK) {
        failure = kx2SqliteFailure(db);
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kKX2SqliteBusyTimeoutMs);
    return db;
}

// Fills a new database. Unlike exec(), any failing statement fails the
// whole script: a half-built schema must not be taken for a database.
KX2Status KX2DBSqlitePrivate::runCreator(sqlite3* db, const QString* creatorPath)
{
    if (creatorPath && !creatorPath->isEmpty())
        loadSqlCreator(*creatorPath);
    const QString script = readText(&Texts::creatorText);
    if ((creatorPath && creatorPath->isEmpty()) || script.isEmpty())
        return KX2Status::failure(SQLITE_ERROR, QStringLiteral("Not found creator ddl"));
    int changes = 0;
    int lastRowId = 0;
    return runText(db, changes, lastRowId, nullptr, script.toUtf8(), QJsonObject(), QJsonObject())
        .failure;
}

// `creatorPath` null: use the creator script loaded before.
KX2Status KX2DBSqlitePrivate::open(const QString& path, bool* created,
                                   const QString* creatorPath)
{
    KX2WriteLocker connection(connectionLock);
    closeLocked();
    if (path.isEmpty())
        return KX2Status::failure(SQLITE_CANTOPEN, QStringLiteral("database path is empty"));
    const QFileInfo info(path);
    bool createdNow = false;
    KX2Status failure;
    if (!info.exists()) {
        ensureDirectory(info.absolutePath());
        const Creation creation = createWhole(path, creatorPath, failure);
        if (creation == Creation::Failed)
            return failure;
        createdNow = creation == Creation::Created;
    }
    // A store left readable by others (made by an earlier version, or
    // copied in place) is closed to them before it is used; SQLite gives
    // the journal files it makes later the mode of the database file.
    restrictDatabaseModes(path);
    // Never SQLITE_OPEN_CREATE here: an empty file would pass for a store.
    sqlite3* db = openConnection(path, SQLITE_OPEN_READWRITE, failure);
    if (!db)
        return failure;
    if (createdNow && created)
        *created = true;
    handle.store(db);
    writeText(&Texts::fileName, path);
    return KX2Status::success();
}

// Makes the empty file a creation fills, with the store's mode, before
// SQLite sees it (an empty file is an empty database to SQLite): SQLite
// would make it 0644 less the umask, and its journals copy the file's mode.
// Closed before SQLite opens it: closing any descriptor of a file drops the
// process's POSIX locks on it, SQLite's included.
KX2Status KX2DBSqlitePrivate::createEmptyFile(const QString& path)
{
    const KX2UniqueFd made(::open(QFile::encodeName(path).constData(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                  kKX2DatabaseMode));
    if (made.isValid() && ::fchmod(made.get(), kKX2DatabaseMode) == 0)
        return KX2Status::success();
    return KX2Status::failure(SQLITE_CANTOPEN,
                              QStringLiteral("cannot create the new database %1: %2")
                                  .arg(path, QString::fromLocal8Bit(strerror(errno))));
}

// Builds the database in a temporary file and links it to `path`; link()
// fails rather than replace a file that appeared at `path` meanwhile.
KX2DBSqlitePrivate::Creation KX2DBSqlitePrivate::createWhole(const QString& path,
                                                             const QString* creatorPath,
                                                             KX2Status& failure)
{
    const QFileInfo target(path);
    removeStaleCreations(target);
    const QString temporary = creationPrefix(target) + QString::number(::getpid())
        + QLatin1Char('.') + QString::number(++g_creationSerial);
    removeCreation(temporary);
    failure = createEmptyFile(temporary);
    if (!failure.ok()) {
        removeCreation(temporary);
        return Creation::Failed;
    }
    sqlite3* db = openConnection(temporary, SQLITE_OPEN_READWRITE, failure);
    if (!db) {
        removeCreation(temporary);
        return Creation::Failed;
    }
    // The file is synced once, below; per-statement syncs buy nothing for a
    // file nobody sees until it is complete.
    sqlite3_exec(db, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
    failure = runCreator(db, creatorPath);
    const bool built = failure.ok();
    const bool closed = sqlite3_close(db) == SQLITE_OK;
    if (!built || !closed || !syncPath(temporary, O_RDONLY)) {
        if (built && !closed)
            failure = KX2Status::failure(
                SQLITE_IOERR, QStringLiteral("cannot close the new database ") + temporary);
        else if (built)
            failure = KX2Status::failure(
                SQLITE_IOERR, QStringLiteral("cannot sync the new database ") + temporary);
        sqlite3_close_v2(closed ? nullptr : db);
        removeCreation(temporary);
        return Creation::Failed;
    }
    const QByteArray from = QFile::encodeName(temporary);
    const QByteArray to = QFile::encodeName(target.absoluteFilePath());
    Creation result = Creation::Created;
    if (::link(from.constData(), to.constData()) != 0) {
        if (errno == EEXIST) {
            result = Creation::AlreadyThere;
        } else {
            failure = KX2Status::failure(SQLITE_CANTOPEN,
                                         QStringLiteral("cannot put the new database in place: ")
                                             + QString::fromLocal8Bit(strerror(errno)));
            result = Creation::Failed;
        }
    }
    removeCreation(temporary);
    syncPath(target.absolutePath(), O_RDONLY | O_DIRECTORY);
    return result;
}

KX2Status KX2DBSqlitePrivate::openOnly(const QString& path)
{
    KX2WriteLocker connection(connectionLock);
    closeLocked();
    if (path.isEmpty() || !QFileInfo::exists(path))
        return KX2Status::failure(SQLITE_CANTOPEN,
                                  QStringLiteral("database file not found: ") + path);
    KX2Status failure;
    sqlite3* db = openConnection(path, SQLITE_OPEN_READWRITE, failure);
    if (!db)
        return failure;
    handle.store(db);
    writeText(&Texts::fileName, path);
    return KX2Status::success();
}
