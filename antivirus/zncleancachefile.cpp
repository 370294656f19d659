// The cache file: its guarded directory, its creation with mode 0600, its
// schema, and the replacement of a file that cannot be trusted or read.

#include "zncleancache_p.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zntrace.h"
#include "zntrusteddir.h"

namespace {

const char kDirectoryName[] = ".cache";
const char kFileName[] = "clean.db";
const char* const kJournalSuffixes[] = {"", "-wal", "-shm", "-journal"};

// Each connection keeps at most this much of the file in memory (KiB).
const char kCacheSize[] = "PRAGMA cache_size = -4096;";

const char kSchema[] = "CREATE TABLE IF NOT EXISTS meta ("
                       " key TEXT PRIMARY KEY, value);"
                       "CREATE TABLE IF NOT EXISTS clean ("
                       " dev INTEGER NOT NULL, ino INTEGER NOT NULL, size INTEGER NOT NULL,"
                       " msec INTEGER NOT NULL, mnsec INTEGER NOT NULL,"
                       " csec INTEGER NOT NULL, cnsec INTEGER NOT NULL,"
                       " seen INTEGER NOT NULL, fs INTEGER NOT NULL,"
                       " PRIMARY KEY (dev, ino)) WITHOUT ROWID;";

// Whether the entry `name` of the cache directory, when present, is what
// the service made: a regular file of its own user, one link, nobody
// else's bits.
bool isOwnFile(int directory, const char* name)
{
    struct stat info;
    if (::fstatat(directory, name, &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    return S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_nlink == 1
        && (info.st_mode & 077) == 0;
}

QByteArray journalName(const char* suffix)
{
    return QByteArray(kFileName) + suffix;
}

qint64 metaNumber(sqlite3* db, const char* key, qint64 fallback)
{
    KX2SqlStatement select;
    if (znCachePrepare(db, "SELECT value FROM meta WHERE key = ?1;", select) != SQLITE_OK)
        return fallback;
    sqlite3_bind_text(select.get(), 1, key, -1, SQLITE_STATIC);
    return sqlite3_step(select.get()) == SQLITE_ROW ? sqlite3_column_int64(select.get(), 0)
                                                    : fallback;
}

} // namespace

int znCacheExec(sqlite3* db, const char* sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

int znCachePrepare(sqlite3* db, const char* sql, KX2SqlStatement& statement)
{
    return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, statement.out(), nullptr);
}

int znCacheStep(sqlite3_stmt* statement)
{
    const int result = sqlite3_step(statement);
    sqlite3_reset(statement);
    return result;
}

bool znCacheDamage(int result)
{
    const int primary = result & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB || primary == SQLITE_IOERR
        || primary == SQLITE_FORMAT;
}

QString ZNCleanCache::directoryOf(const QString& workArea)
{
    return QDir(workArea).absoluteFilePath(QLatin1String(kDirectoryName));
}

bool ZNCleanCachePrivate::openDirectory()
{
    const KX2UniqueFd area = znOpenGuardedDir(QFile::encodeName(settings.workArea));
    if (!area.isValid()) {
        znTrace(ZNTraceBits::Failures,
                QStringLiteral("扫描缓存未使用（工作区路径可被他人更改）: ") + settings.workArea);
        return false;
    }
    ::mkdirat(area.get(), kDirectoryName, 0700);
    directory.reset(
        ::openat(area.get(), kDirectoryName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat info;
    if (!directory.isValid() || ::fstat(directory.get(), &info) != 0
        || info.st_uid != ::geteuid()) {
        znTrace(ZNTraceBits::Failures,
                QStringLiteral("扫描缓存目录不可用: ")
                    + ZNCleanCache::directoryOf(settings.workArea));
        directory.reset();
        return false;
    }
    if ((info.st_mode & 077) != 0)
        ::fchmod(directory.get(), 0700);
    path = QDir(ZNCleanCache::directoryOf(settings.workArea))
               .absoluteFilePath(QLatin1String(kFileName));
    return true;
}

void ZNCleanCachePrivate::discardFiles()
{
    insert.reset();
    touch.reset();
    newest.reset();
    db.reset();
    for (const char* suffix : kJournalSuffixes)
        ::unlinkat(directory.get(), journalName(suffix).constData(), 0);
}

bool ZNCleanCachePrivate::openFile(bool* replaced)
{
    *replaced = false;
    bool own = true;
    for (const char* suffix : kJournalSuffixes)
        own = own && isOwnFile(directory.get(), journalName(suffix).constData());
    if (!own) {
        *replaced = true;
        return false;
    }
    // Made here, empty, with the mode the journal files copy; SQLite takes
    // an empty file for an empty database.
    const KX2UniqueFd created(::openat(directory.get(), kFileName,
                                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (created.isValid()) {
        ::fchmod(created.get(), 0600);
        // Journals of an earlier file must never be applied to this one.
        for (const char* suffix : {"-wal", "-shm", "-journal"})
            ::unlinkat(directory.get(), journalName(suffix).constData(), 0);
    }
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), db.out(), flags, nullptr)
        != SQLITE_OK) {
        *replaced = znCacheDamage(sqlite3_errcode(db.get()));
        return false;
    }
    sqlite3_busy_timeout(db.get(), 2000);
    int result = SQLITE_OK;
    for (const char* sql :
         {"PRAGMA journal_mode = WAL;", "PRAGMA synchronous = NORMAL;", kCacheSize, kSchema}) {
        if ((result = znCacheExec(db.get(), sql)) != SQLITE_OK) {
            *replaced = znCacheDamage(result);
            return false;
        }
    }
    const qint64 format = metaNumber(db.get(), "format", 0);
    KX2SqlStatement digest;
    if (znCachePrepare(db.get(), "SELECT value FROM meta WHERE key = 'digest';", digest)
        != SQLITE_OK)
        return false;
    const bool hasDigest = sqlite3_step(digest.get()) == SQLITE_ROW;
    const QByteArray stored = hasDigest
        ? QByteArray(static_cast<const char*>(sqlite3_column_blob(digest.get(), 0)),
                     sqlite3_column_bytes(digest.get(), 0))
        : QByteArray();
    if (hasDigest && (format != kZNCacheFormat || stored != settings.digest)) {
        // Another set, other settings or another format: none of its
        // entries says anything about the engine in use.
        *replaced = true;
        return false;
    }
    if (!hasDigest) {
        KX2SqlStatement meta;
        if (znCachePrepare(db.get(),
                           "INSERT OR REPLACE INTO meta (key, value) VALUES"
                           " ('format', ?1), ('digest', ?2), ('pruned', ?3), ('rows', 0);",
                           meta)
            != SQLITE_OK)
            return false;
        sqlite3_bind_int64(meta.get(), 1, kZNCacheFormat);
        sqlite3_bind_blob(meta.get(), 2, settings.digest.constData(), settings.digest.size(),
                          SQLITE_TRANSIENT);
        sqlite3_bind_int64(meta.get(), 3, today);
        if ((result = sqlite3_step(meta.get())) != SQLITE_DONE) {
            *replaced = znCacheDamage(result);
            return false;
        }
    }
    storedRows = metaNumber(db.get(), "rows", 0);
    lastPruned = metaNumber(db.get(), "pruned", 0);
    newestAtOpen = newestWritten = metaNumber(db.get(), "newest", 0);
    if ((result = znCachePrepare(db.get(),
                                 "INSERT OR REPLACE INTO clean VALUES (?,?,?,?,?,?,?,?,?);",
                                 insert))
            != SQLITE_OK
        || (result = znCachePrepare(db.get(),
                                    "UPDATE clean SET seen = ?3 WHERE dev = ?1 AND ino = ?2;",
                                    touch))
            != SQLITE_OK
        || (result = znCachePrepare(db.get(), "INSERT OR REPLACE INTO meta VALUES ('newest', ?1);",
                                    newest))
            != SQLITE_OK) {
        // A table of another layout (a file left half made by an earlier
        // version) is not this format's: replaced.
        *replaced = (result & 0xff) == SQLITE_ERROR || znCacheDamage(result);
        return false;
    }
    return true;
}

KX2SqlConnection ZNCleanCachePrivate::openReader() const
{
    KX2SqlConnection reader;
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), reader.out(), flags, nullptr)
            != SQLITE_OK
        || znCacheExec(reader.get(), kCacheSize) != SQLITE_OK
        || znCacheExec(reader.get(), "PRAGMA query_only = 1;") != SQLITE_OK)
        reader.reset();
    else
        sqlite3_busy_timeout(reader.get(), 200);
    return reader;
}

std::unique_ptr<ZNCleanCache> ZNCleanCache::open(const Settings& settings)
{
    auto d = std::make_unique<ZNCleanCachePrivate>();
    d->settings = settings;
    d->today = QDateTime::currentSecsSinceEpoch() / 86400;
    if (settings.digest.isEmpty() || !d->openDirectory())
        return nullptr;
    // A file that is not the service's, cannot be read, or belongs to
    // another engine is replaced once by an empty one.
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool replaced = false;
        if (d->openFile(&replaced)) {
            std::unique_ptr<ZNCleanCache> cache(new ZNCleanCache(std::move(d)));
            ZNCleanCachePrivate* state = cache->d.get();
            if (!state->writer.start([state] { state->writerMain(); }))
                return nullptr;
            return cache;
        }
        if (!replaced) {
            // Busy or failing for a reason of the moment: the file stays.
            znTrace(ZNTraceBits::Failures,
                    QStringLiteral("扫描缓存不可用: ")
                        + QString::fromUtf8(d->db ? sqlite3_errmsg(d->db.get()) : "open failed"));
            return nullptr;
        }
        d->discardFiles();
        znTrace(ZNTraceBits::FileFailures, QStringLiteral("扫描缓存已重建: ") + d->path);
    }
    return nullptr;
}
