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

sqlite3* KX2DBSqlitePrivate::openConnection(const QString& path, int flags)
{
    if (!sqlite3_threadsafe()) {
        setLastError(QStringLiteral("SQLite library is built without thread support"));
        return nullptr;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.toUtf8().constData(), &db, flags | SQLITE_OPEN_FULLMUTEX, nullptr)
        != SQLITE_OK) {
        setLastError(kx2SqliteConnectionError(db));
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kKX2SqliteBusyTimeoutMs);
    return db;
}

// Fills a new database. Unlike exec(), any failing statement fails the
// whole script: a half-built schema must not be taken for a database.
bool KX2DBSqlitePrivate::runCreator(sqlite3* db, const QString* creatorPath)
{
    if (creatorPath && !creatorPath->isEmpty())
        loadSqlCreator(*creatorPath);
    const QString script = readText(&Texts::creatorText);
    if ((creatorPath && creatorPath->isEmpty()) || script.isEmpty()) {
        setLastError(QStringLiteral("Not found creator ddl"));
        return false;
    }
    int changes = 0;
    int lastRowId = 0;
    bool allSucceeded = false;
    runText(db, changes, lastRowId, nullptr, script.toUtf8(), QJsonObject(), QJsonObject(),
            &allSucceeded);
    return allSucceeded;
}

// `creatorPath` null: use the creator script loaded before.
bool KX2DBSqlitePrivate::open(const QString& path, bool* created, const QString* creatorPath)
{
    KX2WriteLocker connection(connectionLock);
    closeLocked();
    if (path.isEmpty()) {
        setLastError(QStringLiteral("database path is empty"));
        return false;
    }
    const QFileInfo info(path);
    bool createdNow = false;
    if (!info.exists()) {
        ensureDirectory(info.absolutePath());
        const Creation creation = createWhole(path, creatorPath);
        if (creation == Creation::Failed)
            return false;
        createdNow = creation == Creation::Created;
    }
    // A store left readable by others (made by an earlier version, or
    // copied in place) is closed to them before it is used; SQLite gives
    // the journal files it makes later the mode of the database file.
    restrictDatabaseModes(path);
    // Never SQLITE_OPEN_CREATE here: an empty file would pass for a store.
    sqlite3* db = openConnection(path, SQLITE_OPEN_READWRITE);
    if (!db)
        return false;
    if (createdNow && created)
        *created = true;
    handle.store(db);
    writeText(&Texts::fileName, path);
    return true;
}

// Makes the empty file a creation fills, with the store's mode, before
// SQLite sees it (an empty file is an empty database to SQLite): SQLite
// would make it 0644 less the umask, and its journals copy the file's mode.
// Closed before SQLite opens it: closing any descriptor of a file drops the
// process's POSIX locks on it, SQLite's included.
bool KX2DBSqlitePrivate::createEmptyFile(const QString& path)
{
    const KX2UniqueFd made(::open(QFile::encodeName(path).constData(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                  kKX2DatabaseMode));
    if (made.isValid() && ::fchmod(made.get(), kKX2DatabaseMode) == 0)
        return true;
    setLastError(QStringLiteral("cannot create the new database %1: %2")
                     .arg(path, QString::fromLocal8Bit(strerror(errno))));
    return false;
}

// Builds the database in a temporary file and links it to `path`; link()
// fails rather than replace a file that appeared at `path` meanwhile.
KX2DBSqlitePrivate::Creation KX2DBSqlitePrivate::createWhole(const QString& path,
                                                             const QString* creatorPath)
{
    const QFileInfo target(path);
    removeStaleCreations(target);
    const QString temporary = creationPrefix(target) + QString::number(::getpid())
        + QLatin1Char('.') + QString::number(++g_creationSerial);
    removeCreation(temporary);
    if (!createEmptyFile(temporary)) {
        removeCreation(temporary);
        return Creation::Failed;
    }
    sqlite3* db = openConnection(temporary, SQLITE_OPEN_READWRITE);
    if (!db) {
        removeCreation(temporary);
        return Creation::Failed;
    }
    // The file is synced once, below; per-statement syncs buy nothing for a
    // file nobody sees until it is complete.
    sqlite3_exec(db, "PRAGMA synchronous=OFF", nullptr, nullptr, nullptr);
    const bool built = runCreator(db, creatorPath);
    const bool closed = sqlite3_close(db) == SQLITE_OK;
    if (!built || !closed || !syncPath(temporary, O_RDONLY)) {
        if (built && !closed)
            setLastError(QStringLiteral("cannot close the new database ") + temporary);
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
            setLastError(QStringLiteral("cannot put the new database in place: ")
                         + QString::fromLocal8Bit(strerror(errno)));
            result = Creation::Failed;
        }
    }
    removeCreation(temporary);
    syncPath(target.absolutePath(), O_RDONLY | O_DIRECTORY);
    return result;
}

bool KX2DBSqlitePrivate::openOnly(const QString& path)
{
    KX2WriteLocker connection(connectionLock);
    closeLocked();
    if (path.isEmpty() || !QFileInfo::exists(path)) {
        setLastError(QStringLiteral("database file not found: ") + path);
        return false;
    }
    sqlite3* db = openConnection(path, SQLITE_OPEN_READWRITE);
    if (!db)
        return false;
    handle.store(db);
    writeText(&Texts::fileName, path);
    return true;
}
