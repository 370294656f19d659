// ZNCleanCache: files found clean, remembered across tasks and restarts, so
// that a later scan skips a file that provably did not change.
//
// An entry holds a file's stamp (device, inode, size, modification and
// change times, its file system's identity, znfilestamp.h; only for file
// systems nothing but the local kernel writes, znfilesystemtrust.h)
// taken right before a scan that found it clean (CL_CLEAN, never an error
// or a detection), under the detection digest of the engine that scanned it (znsetdigest.h). A later
// scan with an engine of the same digest skips a file whose stamp, taken
// from the descriptor it would scan, equals the entry in every field.
// ZNCleanCacheWorker (zncleancacheworker.h) decides what is remembered.
//
// The entries live in "<work area>/.cache/clean.db", a SQLite file in WAL
// mode apart from the store: losing, deleting or damaging it costs only
// speed. The directory is made 0700 and the file 0600, both the service
// user's, reached only when nobody else can change the path that leads
// there (znOpenGuardedDir); a file there that is not the service's, a file
// SQLite cannot read, or one of another format or digest is replaced by an
// empty one. A new work area starts with an empty cache of its own.
//
// Writes stay off the workers' road: each worker gathers its entries,
// remember() and refresh() only queue them, and one writer thread commits
// the queue in transactions of many rows. Lookups go through a read
// connection per worker. An entry is only ever written with the settled
// stamp taken before its scan, and SQLite's transactions are atomic, so a kill
// at any moment leaves entries that each describe a file as it was when
// found clean: a file changed since shows another change time and is
// scanned again.
//
// Bound: finish() drops entries not seen for kZNCacheForgetDays days
// (last-seen days are refreshed at most every kZNCacheRefreshDays days),
// and the oldest-seen entries beyond `maxEntries`. It does so once a day,
// or whenever the entries may exceed the bound.
//
// Lifetime and threads: one object per scan task, opened and finished by
// the task thread. worker(), remember(), refresh() and markDamaged() may be
// called from any thread until finish(), which the task thread calls once
// every worker has let go of its ZNCleanCacheWorker. The destructor
// finishes a cache not finished yet.

#ifndef ZNCLEANCACHE_H
#define ZNCLEANCACHE_H

#include <QByteArray>
#include <QString>

#include <memory>
#include <vector>

#include "znfilestamp.h"

class ZNCleanCachePrivate;
class ZNCleanCacheWorker;

// Entries not seen by any scan for this many days are dropped.
constexpr int kZNCacheForgetDays = 30;
// A skipped file's last-seen day is rewritten when it is this many days old.
constexpr int kZNCacheRefreshDays = 7;
// Default of the "cachemaxentries" setting.
constexpr qint64 kZNCacheDefaultMaxEntries = 5000000;

class ZNCleanCache
{
public:
    struct Settings
    {
        QString workArea;  // absolute
        QByteArray digest; // of the engine the task starts with; not empty
        qint64 maxEntries = kZNCacheDefaultMaxEntries;
        bool lookups = true; // false: remember only (a full scan)
    };

    // The cache of `settings.workArea` for one task, created or replaced as
    // needed. Null when it cannot be used (the path is not guarded, the
    // directory cannot be made, SQLite fails twice); the reason is traced
    // and the task scans every file.
    static std::unique_ptr<ZNCleanCache> open(const Settings& settings);
    ~ZNCleanCache();
    ZNCleanCache(const ZNCleanCache&) = delete;
    ZNCleanCache& operator=(const ZNCleanCache&) = delete;

    const QByteArray& digest() const;
    bool lookupsEnabled() const;

    // One worker's side: lookups and remembering. See zncleancacheworker.h.
    std::unique_ptr<ZNCleanCacheWorker> worker();

    // Queues entries (files scanned clean, their stamps verified) or
    // last-seen refreshes (files skipped), and empties `stamps`. Never
    // blocks on the disk; when the writer falls far behind, entries are
    // dropped (costing speed).
    void remember(std::vector<ZNFileStamp>& stamps);
    void refresh(std::vector<ZNFileStamp>& stamps);
    // A connection met a damaged file: no more writes, and finish()
    // replaces the file with an empty one.
    void markDamaged();

    // Commits what is queued, drops expired and surplus entries, closes.
    void finish();

    // "<workArea>/.cache", where the cache file lives.
    static QString directoryOf(const QString& workArea);

private:
    explicit ZNCleanCache(std::unique_ptr<ZNCleanCachePrivate> d);
    friend class ZNCleanCacheWorker;
    const std::unique_ptr<ZNCleanCachePrivate> d;
};

#endif // ZNCLEANCACHE_H
