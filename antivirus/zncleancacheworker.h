// ZNCleanCacheWorker: one scan worker's side of the clean-file cache (see
// zncleancache.h): the lookup of each file it is about to scan, and the
// decision to remember a file it found clean.
//
// Only files on a file system whose content nothing but the local kernel
// changes are looked up or remembered (ZNFileSystemTrust). A file is
// skipped when the cache holds an entry equal in every field to the stamp
// of the very descriptor the worker opened to scan it, the identity of its
// file system included, under the digest of the engine the worker scans
// with; so a file swapped for another under the same name, size and times
// (another inode, a new change time, another file system on the same
// device number) is scanned.
//
// A file is remembered only when all of these hold:
// - libclamav answered CL_CLEAN, with an engine whose detection digest is
//   the cache's (a worker that picked up a newer engine mid-task neither
//   looks up nor remembers);
// - before the scan, its change and modification times lay at least
//   kZNSettledSeconds in the past and nobody had it open for writing
//   (ZNRememberCheck);
// - the scan took less than half of the engine's time limit (libclamav
//   may end a longer one early without a verdict of substance).
//
// Threads: owned and used by one worker thread. Made by
// ZNCleanCache::worker() and destroyed before the cache's finish().

#ifndef ZNCLEANCACHEWORKER_H
#define ZNCLEANCACHEWORKER_H

#include <QByteArray>

#include <vector>

#include <clamav.h>

#include "kx2sqlitehandles.h"
#include "znfilestamp.h"
#include "znfilesystemtrust.h"

class ZNCleanCache;

class ZNCleanCacheWorker
{
public:
    ~ZNCleanCacheWorker();
    ZNCleanCacheWorker(const ZNCleanCacheWorker&) = delete;
    ZNCleanCacheWorker& operator=(const ZNCleanCacheWorker&) = delete;

    // The engine (and its detection digest) the worker scans the next
    // files with; the cache serves only the digest it was opened for.
    void useEngine(const cl_engine* engine, const QByteArray& digest);

    // Whether files of the file system holding `fd` may be looked up and
    // remembered at all; when they may, sets stamp->fileSystem, which is
    // part of the key. knownClean() and mayRemember() say no to a stamp
    // that did not pass here. Costs a comparison but for the first file
    // of a device.
    bool onTrustedFileSystem(int fd, ZNFileStamp* stamp);

    // Whether `stamp` (from the descriptor about to be scanned) is
    // remembered clean. False in a full scan, for another engine, and when
    // the file cannot be read (a damaged file is marked for replacement).
    bool knownClean(const ZNFileStamp& stamp);

    // Right before the scan of `fd`, whose stamp is `stamp`: whether a
    // clean verdict may be remembered (the conditions before the scan).
    bool mayRemember(int fd, const ZNFileStamp& stamp);

    // After mayRemember() said yes and the scan found the file clean:
    // queues the entry (the stamp from before the scan) when the scan was
    // short. A change during the scan needs no check: the settled times
    // make any change show a new change time, which the entry cannot match.
    void foundClean(const ZNFileStamp& stamp);

private:
    friend class ZNCleanCache;
    explicit ZNCleanCacheWorker(ZNCleanCache& cache);
    bool openReader();
    void dropReader();
    // Hands the gathered entries to the cache.
    void flush();

    ZNCleanCache& cache;
    bool serving = false;
    qint64 longestScanMs = 0; // 0: no limit to guard
    qint64 scanStartedMs = 0; // monotonic
    ZNFileSystemTrust fileSystems;
    // Opened at the first lookup; the statement goes before its connection.
    bool readerFailed = false;
    KX2SqlConnection reader;
    KX2SqlStatement lookup;
    // Entries gathered here and queued kStampsPerHandOver at a time, so
    // that workers meet at the cache's lock once per many files.
    std::vector<ZNFileStamp> toRemember;
    std::vector<ZNFileStamp> toRefresh;
};

#endif // ZNCLEANCACHEWORKER_H
