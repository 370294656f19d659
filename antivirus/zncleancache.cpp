// The clean-file cache of one task: the queue the workers fill, the writer
// thread that commits it, and the pruning at the task's end.

#include "zncleancache.h"

#include <chrono>

#include "zncleancache_p.h"
#include "zncleancacheworker.h"
#include "zntrace.h"

namespace {

using namespace std::chrono_literals;

// The writer commits once this many entries are queued, or after a second
// with fewer: big transactions cost little per row, and a kill loses at
// most the last second's entries (costing speed, never safety).
const size_t kBatchRows = 4096;
const auto kBatchWait = 1000ms;
// Entries queued beyond this are dropped rather than held in memory while
// the writer falls behind (16 workers ahead of a stalled disk).
const size_t kMostPending = 65536;

} // namespace

ZNCleanCache::ZNCleanCache(std::unique_ptr<ZNCleanCachePrivate> d) : d(std::move(d)) {}

ZNCleanCache::~ZNCleanCache()
{
    finish();
}

const QByteArray& ZNCleanCache::digest() const
{
    return d->settings.digest;
}

bool ZNCleanCache::lookupsEnabled() const
{
    return d->settings.lookups;
}

std::unique_ptr<ZNCleanCacheWorker> ZNCleanCache::worker()
{
    return std::unique_ptr<ZNCleanCacheWorker>(new ZNCleanCacheWorker(*this));
}

void ZNCleanCache::remember(std::vector<ZNFileStamp>& stamps)
{
    d->queue(stamps, false);
}

void ZNCleanCache::refresh(std::vector<ZNFileStamp>& stamps)
{
    d->queue(stamps, true);
}

void ZNCleanCache::markDamaged()
{
    d->damaged = true;
}

void ZNCleanCachePrivate::queue(std::vector<ZNFileStamp>& stamps, bool refreshOnly)
{
    if (!damaged) {
        KX2MutexLocker lock(mutex);
        const size_t before = pending.size();
        for (const ZNFileStamp& stamp : stamps) {
            if (finishing || pending.size() >= kMostPending) {
                ++dropped;
                continue;
            }
            pending.push_back(Entry{stamp, refreshOnly});
        }
        // The writer sleeps until the first entry, then until a batch is
        // full or its second has passed.
        if ((before == 0 && !pending.empty())
            || (before < kBatchRows && pending.size() >= kBatchRows))
            wake.notify_one();
    }
    stamps.clear();
}

void ZNCleanCachePrivate::writerMain()
{
    std::vector<Entry> batch;
    batch.reserve(kBatchRows);
    for (;;) {
        {
            KX2MutexLocker lock(mutex);
            // Nothing queued: no reason to wake before something is.
            while (!finishing && pending.empty())
                lock.wait(wake);
            const auto deadline = std::chrono::steady_clock::now() + kBatchWait;
            while (!finishing && pending.size() < kBatchRows) {
                if (!lock.waitUntil(wake, deadline))
                    break;
            }
            if (pending.empty() && finishing)
                return;
            std::swap(batch, pending);
        }
        if (!batch.empty() && !damaged)
            writeBatch(batch);
        batch.clear();
    }
}

void ZNCleanCachePrivate::noteFailure(int result)
{
    if (znCacheDamage(result)) {
        damaged = true;
        znTrace(ZNTraceBits::Failures,
                QStringLiteral("扫描缓存已损坏: ") + path + QStringLiteral(": ")
                    + QString::fromUtf8(sqlite3_errstr(result)));
    }
}

namespace {

// Binds the columns of one entry.
void bindEntry(sqlite3_stmt* statement, const ZNFileStamp& s, qint64 today)
{
    const qint64 fields[kZNCacheColumns] = {
        qint64(s.device), qint64(s.inode), s.size,  s.modifiedSec,         s.modifiedNsec,
        s.changedSec,     s.changedNsec,   today,   qint64(s.fileSystem)};
    for (int i = 0; i < kZNCacheColumns; ++i)
        sqlite3_bind_int64(statement, 1 + i, fields[i]);
}

} // namespace

// One transaction: a kill leaves all of the batch or none of it.
void ZNCleanCachePrivate::writeBatch(const std::vector<Entry>& batch)
{
    int result = znCacheExec(db.get(), "BEGIN IMMEDIATE;");
    if (result != SQLITE_OK) {
        noteFailure(result);
        return;
    }
    qint64 latest = newestWritten;
    qint64 entries = 0;
    for (const Entry& entry : batch) {
        if (!entry.refreshOnly) {
            latest = qMax(latest, entry.stamp.changedSec);
            ++entries;
        }
    }
    result = writeRefreshes(batch);
    if (result == SQLITE_DONE)
        result = writeEntries(batch);
    // In the same transaction as the entries: no entry is ever newer than
    // the stored mark.
    if (result == SQLITE_DONE && latest != newestWritten) {
        sqlite3_bind_int64(newest.get(), 1, latest);
        result = znCacheStep(newest.get());
    }
    if (result == SQLITE_DONE && (result = znCacheExec(db.get(), "COMMIT;")) == SQLITE_OK) {
        written += entries;
        newestWritten = latest;
        return;
    }
    noteFailure(result);
    znCacheExec(db.get(), "ROLLBACK;");
}

int ZNCleanCachePrivate::writeRefreshes(const std::vector<Entry>& batch)
{
    for (const Entry& entry : batch) {
        if (!entry.refreshOnly)
            continue;
        sqlite3_bind_int64(touch.get(), 1, qint64(entry.stamp.device));
        sqlite3_bind_int64(touch.get(), 2, qint64(entry.stamp.inode));
        sqlite3_bind_int64(touch.get(), 3, today);
        const int result = znCacheStep(touch.get());
        if (result != SQLITE_DONE)
            return result;
    }
    return SQLITE_DONE;
}

// In the order queued: of two entries of one file, the later stays.
int ZNCleanCachePrivate::writeEntries(const std::vector<Entry>& batch)
{
    for (const Entry& entry : batch) {
        if (entry.refreshOnly)
            continue;
        bindEntry(insert.get(), entry.stamp, today);
        const int result = znCacheStep(insert.get());
        if (result != SQLITE_DONE)
            return result;
    }
    return SQLITE_DONE;
}

// Entries of files not seen for kZNCacheForgetDays go; beyond the bound,
// whole last-seen days go oldest first, and part of the last one. Each
// step is a transaction of its own; a kill between them leaves a smaller
// cache, never a wrong one.
void ZNCleanCachePrivate::prune()
{
    KX2SqlStatement expire;
    if (znCachePrepare(db.get(), "DELETE FROM clean WHERE seen < ?1;", expire) != SQLITE_OK)
        return;
    sqlite3_bind_int64(expire.get(), 1, today - kZNCacheForgetDays);
    int result = sqlite3_step(expire.get());
    if (result != SQLITE_DONE)
        return noteFailure(result);

    KX2SqlStatement days;
    if (znCachePrepare(db.get(), "SELECT seen, COUNT(*) FROM clean GROUP BY seen ORDER BY seen;",
                       days)
        != SQLITE_OK)
        return;
    std::vector<std::pair<qint64, qint64>> perDay;
    qint64 rows = 0;
    while ((result = sqlite3_step(days.get())) == SQLITE_ROW) {
        perDay.emplace_back(sqlite3_column_int64(days.get(), 0),
                            sqlite3_column_int64(days.get(), 1));
        rows += perDay.back().second;
    }
    days.reset();
    if (result != SQLITE_DONE)
        return noteFailure(result);

    qint64 excess = rows - qMax<qint64>(0, settings.maxEntries);
    for (const auto& day : perDay) {
        if (excess <= 0)
            break;
        KX2SqlStatement drop;
        const bool whole = day.second <= excess;
        if (znCachePrepare(db.get(),
                           whole ? "DELETE FROM clean WHERE seen = ?1;"
                                 : "DELETE FROM clean WHERE (dev, ino) IN"
                                   " (SELECT dev, ino FROM clean WHERE seen = ?1 LIMIT ?2);",
                           drop)
            != SQLITE_OK)
            return;
        sqlite3_bind_int64(drop.get(), 1, day.first);
        sqlite3_bind_int64(drop.get(), 2, excess);
        if ((result = sqlite3_step(drop.get())) != SQLITE_DONE)
            return noteFailure(result);
        const qint64 gone = whole ? day.second : excess;
        excess -= gone;
        rows -= gone;
    }
    if (storeCount(rows)) {
        KX2SqlStatement meta;
        if (znCachePrepare(db.get(), "INSERT OR REPLACE INTO meta VALUES ('pruned', ?1);", meta)
            != SQLITE_OK)
            return;
        sqlite3_bind_int64(meta.get(), 1, today);
        if ((result = sqlite3_step(meta.get())) != SQLITE_DONE)
            return noteFailure(result);
        lastPruned = today;
    }
}

bool ZNCleanCachePrivate::storeCount(qint64 rows)
{
    KX2SqlStatement meta;
    if (znCachePrepare(db.get(), "INSERT OR REPLACE INTO meta VALUES ('rows', ?1);", meta)
        != SQLITE_OK)
        return false;
    sqlite3_bind_int64(meta.get(), 1, rows);
    const int result = sqlite3_step(meta.get());
    if (result != SQLITE_DONE) {
        noteFailure(result);
        return false;
    }
    storedRows = rows;
    return true;
}

void ZNCleanCache::finish()
{
    if (d->finished)
        return;
    d->finished = true;
    {
        KX2MutexLocker lock(d->mutex);
        d->finishing = true;
        d->wake.notify_one();
    }
    // The writer commits what is queued and returns.
    d->writer.shutdownAndWait();
    if (d->dropped > 0)
        znTrace(ZNTraceBits::FileFailures,
                QStringLiteral("扫描缓存写入跟不上，未记住的文件数: ")
                    + QString::number(d->dropped));
    if (d->damaged) {
        // Replaced by an empty file at the next task.
        d->discardFiles();
        znTrace(ZNTraceBits::Failures, QStringLiteral("扫描缓存已删除: ") + d->path);
        return;
    }
    // Once a day, and whenever the entries may be past the bound. The count
    // carried between prunes is an upper bound: a file scanned again
    // replaces its entry.
    const qint64 estimate = d->storedRows + d->written;
    if (d->lastPruned != d->today || estimate > d->settings.maxEntries)
        d->prune();
    else
        d->storeCount(estimate);
    // The journal's pages go into the file, and the journal back to nothing.
    znCacheExec(d->db.get(), "PRAGMA wal_checkpoint(TRUNCATE);");
    if (d->damaged)
        d->discardFiles();
    d->insert.reset();
    d->touch.reset();
    d->newest.reset();
    d->db.reset();
}
