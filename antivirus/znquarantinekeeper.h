// ZNQuarantineKeeper: everything that moves or deletes quarantined files
// and their records in t_infectes.
//
// Detections (from the scan workers) and restores (from requests) are
// queued and carried out on the keeper's own thread, started at the first
// job, which sleeps while nothing is queued. Removals, pruning and the
// clean-up of removed missions run on the requesting thread. Every file
// operation with its records holds `filesMutex`, so a file is never
// restored and deleted at once.
//
// Crash safety: a record is marked in the store (ift_pending 1 quarantine,
// 2 restore, 3 removal) before its file is touched and settled afterwards;
// recover() settles whatever a crash left at the next start. The mark is
// the durable state; the in-memory queues only say what to do next.
//
// Thread rules: any thread. The job queues are guarded by `jobsMutex`,
// which is never held across a file or store operation. The destructor
// stops the thread and waits for it; queued jobs that did not run are
// settled by recover() at the next start.

#ifndef ZNQUARANTINEKEEPER_H
#define ZNQUARANTINEKEEPER_H

#include <QJsonObject>
#include <QList>
#include <QString>

#include <condition_variable>
#include <deque>

#include "kx2threadgroup.h"
#include "kx2threadsafety.h"
#include "kx2status.h"
#include "znpausepoint.h"

class KX2DBSqlite;

// One infected file found by a scan worker, waiting for the quarantine.
// The file is named by the directory the task trusts (the task's path, or
// the directory of a single-file task) and the path below it, so the move
// can open every directory below `root` without following links; its
// identity makes sure the file moved is the file that was scanned.
struct ZNDetection
{
    QByteArray root;
    QByteArray relative;
    QByteArray quarantine; // the task's quarantine directory
    QString virus;
    int taskNo = 0;
    int missionNo = 0;
    QString identity; // "dev:ino" of the scanned file
    // Its change time when scanned: an inode number freed by a deleted file
    // is soon reused, so a file put in its place can share dev:ino.
    qint64 changedSec = 0;
    qint64 changedNsec = 0;

    QByteArray file() const { return relative.isEmpty() ? root : root + '/' + relative; }
};

class ZNAlerts;

class ZNQuarantineKeeper
{
public:
    // `alerts` is told of every detection recorded.
    ZNQuarantineKeeper(KX2DBSqlite& store, ZNAlerts& alerts);
    ~ZNQuarantineKeeper();
    ZNQuarantineKeeper(const ZNQuarantineKeeper&) = delete;
    ZNQuarantineKeeper& operator=(const ZNQuarantineKeeper&) = delete;

    // Start-up, before any job: adds the bookkeeping columns to an older
    // store (the store's failure, traced), then recover() finishes or undoes
    // what a crash interrupted.
    KX2Status prepareStore();
    void recover() KX2_EXCLUDES(filesMutex);

    void queueDetection(ZNDetection detection) KX2_EXCLUDES(jobsMutex);

    // Listing of the records; see ZNAntiVirus::quarantinedAlload.
    KX2Status list(QJsonObject& out, int page, int ofpage);
    // Marks the records for restore and queues them; the keeper moves each
    // file back and then deletes its record.
    KX2Status restore(const QList<int>& numbers) KX2_EXCLUDES(filesMutex, jobsMutex);
    // Queues records already marked for restore.
    void queueRestores(const QList<int>& numbers) KX2_EXCLUDES(jobsMutex);
    KX2Status remove(const QList<int>& numbers) KX2_EXCLUDES(filesMutex);
    // Deletes the records whose file is gone; `amount` gets their number.
    KX2Status reduce(int& amount) KX2_EXCLUDES(filesMutex);
    // After missions were deleted: their quarantine records stay, detached
    // to mission 0, so their files can still be listed, restored, removed.
    KX2Status detachOrphanedRecords() KX2_EXCLUDES(filesMutex);

    // Whether a job is queued or being carried out.
    bool isBusy() const KX2_EXCLUDES(jobsMutex);
    void shutdown() KX2_EXCLUDES(jobsMutex);

    // Reached by the keeper between taking its jobs and carrying them out.
    ZNPausePointSlot jobsTaken;

private:
    // Held by every file operation with its records.
    KX2Mutex filesMutex;

    void wake() KX2_EXCLUDES(jobsMutex);
    void threadMain() KX2_EXCLUDES(jobsMutex);
    // Takes every queued job; false once stopping.
    bool takeJobs(std::deque<ZNDetection>& found, QList<int>& restores) KX2_EXCLUDES(jobsMutex);
    bool quarantineOne(const ZNDetection& detection) KX2_REQUIRES(filesMutex);
    QJsonObject recordValues(const ZNDetection& detection) const;
    // Tells the alerts of a recorded detection and what was done with it.
    void alertDetection(const ZNDetection& detection, const char* action,
                        const QByteArray& quarantined, const QString& why);
    // Traced with `reason`; `why` is kept in the record for the listing.
    void recordInPlace(const ZNDetection& detection, const QString& reason, const QString& why)
        KX2_REQUIRES(filesMutex);
    bool nameTaken(int quarantine, const QByteArray& directory, const QByteArray& name)
        KX2_REQUIRES(filesMutex);
    void restoreQueued(const QList<int>& numbers) KX2_REQUIRES(filesMutex);
    bool restoreOne(const QJsonObject& record) KX2_REQUIRES(filesMutex);
    void recoverMove(const QJsonObject& row) KX2_REQUIRES(filesMutex);
    void recoverManagedRecord(const QJsonObject& row) KX2_REQUIRES(filesMutex);
    KX2Status setMark(const QList<int>& numbers, int mark) KX2_REQUIRES(filesMutex);
    KX2Status deleteRecords(const QList<int>& numbers, int* changes) KX2_REQUIRES(filesMutex);

    KX2DBSqlite& store;
    ZNAlerts& alerts;

    mutable KX2Mutex jobsMutex;
    std::condition_variable jobsChanged;
    std::deque<ZNDetection> detections KX2_GUARDED_BY(jobsMutex);
    QList<int> restores KX2_GUARDED_BY(jobsMutex);
    bool working KX2_GUARDED_BY(jobsMutex) = false;
    bool started KX2_GUARDED_BY(jobsMutex) = false;
    bool stopping KX2_GUARDED_BY(jobsMutex) = false;

    KX2ThreadGroup thread;
};

#endif // ZNQUARANTINEKEEPER_H
