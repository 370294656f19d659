#include "zncleancacheworker.h"

#include <time.h>

#include "zncleancache.h"
#include "zncleancache_p.h"
#include "znremembercheck.h"

namespace {

// Entries a worker gathers before it queues them.
const size_t kStampsPerHandOver = 256;

} // namespace

ZNCleanCacheWorker::ZNCleanCacheWorker(ZNCleanCache& cache) : cache(cache) {}

ZNCleanCacheWorker::~ZNCleanCacheWorker()
{
    flush();
}

void ZNCleanCacheWorker::flush()
{
    if (!toRemember.empty())
        cache.remember(toRemember);
    if (!toRefresh.empty())
        cache.refresh(toRefresh);
}

void ZNCleanCacheWorker::useEngine(const cl_engine* engine, const QByteArray& digest)
{
    serving = engine && !digest.isEmpty() && digest == cache.digest();
    longestScanMs = 0;
    if (serving) {
        int error = CL_SUCCESS;
        const long long limit = cl_engine_get_num(engine, CL_ENGINE_MAX_SCANTIME, &error);
        longestScanMs = error == CL_SUCCESS && limit > 0 ? qint64(limit) / 2 : 0;
    }
}

bool ZNCleanCacheWorker::openReader()
{
    if (readerFailed)
        return false;
    reader = cache.d->openReader();
    if (!reader
        || znCachePrepare(reader.get(),
                          "SELECT size, msec, mnsec, csec, cnsec, seen, fs FROM clean"
                          " WHERE dev = ?1 AND ino = ?2;",
                          lookup)
            != SQLITE_OK) {
        dropReader();
        return false;
    }
    return true;
}

void ZNCleanCacheWorker::dropReader()
{
    lookup.reset();
    reader.reset();
    readerFailed = true;
}

bool ZNCleanCacheWorker::onTrustedFileSystem(int fd, ZNFileStamp* stamp)
{
    if (!serving)
        return false;
    const ZNFileSystemTrust::Verdict& verdict = fileSystems.of(fd, stamp->device);
    stamp->fileSystem = verdict.identity;
    return verdict.trusted;
}

bool ZNCleanCacheWorker::knownClean(const ZNFileStamp& stamp)
{
    // An entry is never newer than the newest change remembered: a file
    // changed since cannot be found, and is not looked up.
    if (!serving || stamp.fileSystem == 0 || !cache.lookupsEnabled()
        || stamp.changedSec > cache.d->newestAtOpen)
        return false;
    if (!lookup.get() && !openReader())
        return false;
    sqlite3_stmt* s = lookup.get();
    sqlite3_bind_int64(s, 1, qint64(stamp.device));
    sqlite3_bind_int64(s, 2, qint64(stamp.inode));
    const int result = sqlite3_step(s);
    bool clean = false;
    if (result == SQLITE_ROW) {
        clean = sqlite3_column_int64(s, 0) == stamp.size
            && sqlite3_column_int64(s, 1) == stamp.modifiedSec
            && sqlite3_column_int64(s, 2) == stamp.modifiedNsec
            && sqlite3_column_int64(s, 3) == stamp.changedSec
            && sqlite3_column_int64(s, 4) == stamp.changedNsec
            && quint64(sqlite3_column_int64(s, 6)) == stamp.fileSystem;
        if (clean && sqlite3_column_int64(s, 5) + kZNCacheRefreshDays <= cache.d->today) {
            toRefresh.push_back(stamp);
            if (toRefresh.size() >= kStampsPerHandOver)
                cache.refresh(toRefresh);
        }
    }
    sqlite3_reset(s);
    if (result != SQLITE_ROW && result != SQLITE_DONE) {
        // Not this file's fault: the cache is unreadable for this worker
        // from now on, and a damaged file is replaced after the task.
        if (znCacheDamage(result))
            cache.markDamaged();
        dropReader();
        return false;
    }
    return clean;
}

namespace {

timespec now(clockid_t clock)
{
    timespec now{};
    ::clock_gettime(clock, &now);
    return now;
}

qint64 milliseconds(const timespec& t)
{
    return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

} // namespace

bool ZNCleanCacheWorker::mayRemember(int fd, const ZNFileStamp& stamp)
{
    if (!serving || stamp.fileSystem == 0)
        return false;
    if (!ZNRememberCheck::settled(stamp, now(CLOCK_REALTIME))
        || !ZNRememberCheck::openForWritingNowhere(fd))
        return false;
    scanStartedMs = milliseconds(now(CLOCK_MONOTONIC));
    return true;
}

void ZNCleanCacheWorker::foundClean(const ZNFileStamp& stamp)
{
    const qint64 took = milliseconds(now(CLOCK_MONOTONIC)) - scanStartedMs;
    if (longestScanMs > 0 && took >= longestScanMs)
        return;
    // The stamp is not taken again: its times lay settled before the scan,
    // so any change since carries a later change time, and the entry
    // (with the stamp from before) cannot match the changed file.
    toRemember.push_back(stamp);
    if (toRemember.size() >= kStampsPerHandOver)
        cache.remember(toRemember);
}
