// ZNScanRun: one scan task from its walk to its last scanned file.
//
// The calling thread (the task thread) walks the tree and feeds raw file
// paths into a bounded queue; N worker threads started by the run scan each
// file through a read-only descriptor and hand every detection to the
// quarantine keeper. With a clean-file cache, a worker skips a file the
// cache knows unchanged since it was found clean, and hands the files it
// finds clean to the cache (zncleancacheworker.h). One more thread counts the tree's files ahead of
// the walk, holding no paths, so that the total is known long before the bounded queue lets the
// walk get there. run() returns when the walk has ended and every worker has drained the queue, or
// soon after stop().
//
// Thread rules: run() once, on one thread. stop() and progress() from any
// thread, also while run() is going on or after it ended. The counters are
// atomics; the file most recently taken is guarded by its own lock; the
// rest is fixed at construction or belongs to the walking thread; the
// current file is the task queue's (ZNCurrentFile).

#ifndef ZNSCANRUN_H
#define ZNSCANRUN_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <vector>

#include "kx2threadgroup.h"
#include "kx2threadsafety.h"
#include "kx2uniquefd.h"
#include "znengineref.h"
#include "znpathqueue.h"
#include "znpausepoint.h"
#include "znscanlimits.h"

class KX2DBSqlite;
class ZNCleanCache;
class ZNCleanCacheWorker;
class ZNEngineSlot;
class ZNQuarantineKeeper;

// The file a task's workers took last, shown by progress reports. It
// belongs to the task queue rather than to one run, so the last task's
// file stays visible after it ended. A worker reaches `taking` as it takes
// a file, before it records it; its lock is held only for the copy.
class ZNCurrentFile
{
public:
    ZNPausePointSlot taking;

    void set(const QByteArray& next) KX2_EXCLUDES(mutex)
    {
        taking.reached();
        KX2MutexLocker lock(mutex);
        path = next;
    }
    QByteArray get() const KX2_EXCLUDES(mutex)
    {
        KX2MutexLocker lock(mutex);
        return path;
    }

private:
    mutable KX2Mutex mutex;
    QByteArray path KX2_GUARDED_BY(mutex); // raw path
};

// A queued task as the run needs it.
struct ZNScanTask
{
    int taskNo = 0;
    int missionNo = 0;
    QString path;
    // Directories not walked: absolute, or bare names taken below `path`.
    QString excludes;
    QByteArray quarantineDir;
    // The clean-file cache's directory: the service's own, never walked.
    QByteArray cacheDir;
    int workers = 1;
    // Leave out names beginning with "." (the "skiphidden" setting).
    bool skipHidden = false;
    // Scan every file, looking nothing up (the request's "full"); clean
    // files are still remembered.
    bool full = false;
    // Whether a file over a limit is a detection (the "limitsalert"
    // setting); the limits themselves are the engine's.
    ZNScanLimits limits;
};

class ZNScanRun
{
public:
    struct Progress
    {
        QString path;
        QString currentFile;
        int taskNo = 0;
        int total = 0;
        int scanned = 0; // skipped files included
        int infected = 0;
        int skipped = 0; // known unchanged since found clean, not scanned
        // Not scanned in full (a limit, an encrypted archive, a file that
        // could not be read); counted in `scanned` too.
        int limited = 0;
    };

    // `cache` (null: none) must outlive run().
    ZNScanRun(const ZNScanTask& task, ZNEngineSlot& engines, ZNQuarantineKeeper& keeper,
              KX2DBSqlite& store, ZNCurrentFile& currentFile, ZNCleanCache* cache = nullptr);
    ~ZNScanRun();
    ZNScanRun(const ZNScanRun&) = delete;
    ZNScanRun& operator=(const ZNScanRun&) = delete;

    // Walks and scans; false when a stop ended it before the walk ended or
    // before every file found was scanned (a run stopped before it began
    // counts as stopped).
    bool run();
    void stop();
    Progress progress() const;
    // Regular files the walk found so far.
    int filesFound() const { return found.load(); }
    // Directories the walk did not enter as they lie too deep.
    int directoriesUnreachable() const { return unreachable.load(); }
    // "total": the files of the tree, never below `done` (files scanned).
    int total(int done) const;
    const ZNScanTask& task() const { return scanTask; }

private:
    void walk(const QByteArray& path);
    void walkDirectory(KX2UniqueFd directory, const QByteArray& path, int depth);
    KX2UniqueFd reopenDirectory(const QByteArray& path, const struct stat& was) const;
    // The subdirectory `name` of `directory` (its path `child`) opened for
    // the walk, or invalid when it is excluded, one of the service's own
    // (the quarantine, the cache), or no directory reached without
    // following a link.
    KX2UniqueFd enterDirectory(int directory, const QByteArray& name,
                               const QByteArray& child) const;
    void countMain();
    void countDirectory(int directory, const QByteArray& path, int depth);
    void recordProgress();
    // The directory a worker opened last, reused while files of one
    // directory follow each other.
    struct WorkerDirectory
    {
        QByteArray path;
        KX2UniqueFd fd;
    };
    // What one worker keeps from file to file.
    struct Worker
    {
        ZNEngineRef engine;
        unsigned generation = 0;
        // Reused from file to file (up to 1 MiB); freed when the worker ends.
        std::vector<char> buffer;
        WorkerDirectory directory;
        std::unique_ptr<ZNCleanCacheWorker> cache; // null without a cache
        ~Worker();
    };
    void workerMain();
    int openForScan(const QByteArray& path, WorkerDirectory& directory) const;
    void scanFile(const QByteArray& path, Worker& worker);
    // Counts a file not scanned in full, with its event line.
    void countLimited(const QByteArray& path, const QString& reason);

    const ZNScanTask scanTask;
    const QStringList excluded;
    ZNEngineSlot& engines;
    ZNQuarantineKeeper& keeper;
    KX2DBSqlite& store;
    ZNCurrentFile& currentFile;
    ZNCleanCache* const cache;

    // Raw path of the task and the directory its detections are named
    // beneath (the task's path, or the directory of a single file).
    QByteArray target;
    QByteArray root;
    // Identities (device, inode) of the quarantine and cache directories,
    // so the walk skips them whatever path leads there.
    std::vector<std::pair<quint64, quint64>> ownDirectories;
    QElapsedTimer sinceProgress; // walking thread only

    std::atomic<bool> stopRequested{false};
    std::atomic<int> found{0};
    // Regular files the counting thread found so far; exact once it ended.
    std::atomic<int> counted{0};
    // Directories below the deepest level walked: never scanned.
    std::atomic<int> unreachable{0};
    std::atomic<bool> walkEnded{false};
    std::atomic<int> scanned{0};
    std::atomic<int> infected{0};
    std::atomic<int> skipped{0};
    std::atomic<int> limited{0};
    std::atomic<int> activeWorkers{0};
    ZNPathQueue files;

    KX2ThreadGroup workers;
};

#endif // ZNSCANRUN_H
