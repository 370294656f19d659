// ZNCleanCachePrivate: the state behind ZNCleanCache, shared by the units
// that open the file (zncleancachefile.cpp), write and prune it
// (zncleancache.cpp) and read it (zncleancacheworker.cpp). Not part of the
// public interface.
//
// Thread rules: the settings, the path, the directory and the day are fixed
// by open(). The writer's connection and statements belong to the writer
// thread while it runs and to the task thread in finish() after it ended.
// The queue and the finishing flag are guarded by `mutex`; counters and
// the damage mark are atomics.

#ifndef ZNCLEANCACHE_P_H
#define ZNCLEANCACHE_P_H

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <vector>

#include "kx2sqlitehandles.h"
#include "kx2threadgroup.h"
#include "kx2threadsafety.h"
#include "kx2uniquefd.h"
#include "zncleancache.h"

// Format of the cache file; another one is replaced by an empty file.
// Format 2 keys entries by their file system too.
constexpr int kZNCacheFormat = 2;
// Columns of an entry.
constexpr int kZNCacheColumns = 9;

class ZNCleanCachePrivate
{
public:
    struct Entry
    {
        ZNFileStamp stamp;
        bool refreshOnly = false;
    };

    // --- Opening (zncleancachefile.cpp) ---------------------------------------
    // The guarded cache directory of the work area, made when missing.
    bool openDirectory();
    // The file opened (created when missing) and checked: schema, format,
    // digest. False when SQLite failed; `replaced` tells whether the file
    // was found unusable and must be replaced.
    bool openFile(bool* replaced);
    // Deletes the file with its journal files; the directory stays.
    void discardFiles();
    // A connection of the file for lookups; null on failure.
    KX2SqlConnection openReader() const;

    // --- Writing (zncleancache.cpp) -----------------------------------------------
    void writerMain() KX2_EXCLUDES(mutex);
    void writeBatch(const std::vector<Entry>& batch);
    // Steps of writeBatch(); each returns the last SQLite result.
    int writeRefreshes(const std::vector<Entry>& batch);
    int writeEntries(const std::vector<Entry>& batch);
    void queue(std::vector<ZNFileStamp>& stamps, bool refreshOnly) KX2_EXCLUDES(mutex);
    // Drops expired entries and the oldest beyond the bound; records the
    // count and the day in the file.
    void prune();
    // Records the number of entries (exact after a prune, else an upper
    // bound) for the next task's decision to prune.
    bool storeCount(qint64 rows);
    // Reads a failing statement's result: a damaged file is marked.
    void noteFailure(int result);

    ZNCleanCache::Settings settings;
    QString path;          // of clean.db
    KX2UniqueFd directory; // the cache directory, held while open
    qint64 today = 0;      // days since the epoch (UTC), at open()
    qint64 storedRows = 0; // entries counted by the last prune
    qint64 lastPruned = 0; // day of the last prune
    // The latest change time (seconds) of any entry ever written, as the
    // file said at open(): a file changed later cannot have an entry, so
    // workers look up only files changed no later than this.
    qint64 newestAtOpen = 0;
    qint64 newestWritten = 0; // the writer's, stored with each batch

    KX2SqlConnection db;        // the writer's
    KX2SqlStatement insert; // INSERT OR REPLACE of one entry
    KX2SqlStatement touch;  // its last-seen day
    KX2SqlStatement newest; // newestWritten into meta

    KX2Mutex mutex;
    std::condition_variable wake;
    std::vector<Entry> pending KX2_GUARDED_BY(mutex);
    bool finishing KX2_GUARDED_BY(mutex) = false;

    std::atomic<bool> damaged{false};
    std::atomic<qint64> written{0};
    std::atomic<qint64> dropped{0};
    bool finished = false; // task thread only

    KX2ThreadGroup writer;
};

// SQLite helpers of the cache units. Each returns SQLite's result code.
int znCacheExec(sqlite3* db, const char* sql);
int znCachePrepare(sqlite3* db, const char* sql, KX2SqlStatement& statement);
// Steps a prepared statement once and resets it for the next use.
int znCacheStep(sqlite3_stmt* statement);
// Whether a result code says that the file itself is unusable.
bool znCacheDamage(int result);

#endif // ZNCLEANCACHE_P_H
