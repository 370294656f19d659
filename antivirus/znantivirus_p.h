// ZNAntiVirusPrivate: the whole state of the antivirus service.
//
// Owned by ZNAntiVirus (created in its constructor, deleted in its
// destructor); not copyable. Every part of the service works on these
// members by name: the store, the engine slot, the settings mirror, the
// flags and queues through which the background threads talk, and the
// counters of the running scan.
//
// Thread rules
// - Flags, counters, settings numbers and next times are atomics: written
//   with store/exchange, read with load, never under a lock.
// - Four mutexes each guard one small piece and are held only for one copy
//   or swap, never across a database call, a file operation or a scan, and
//   never while another is taken: engineMutex (scanEngine), settingsMutex
//   (dataDir, virusdbDir), scanPathMutex (scanPath), currentFileMutex
//   (currentFile). settingsSaveMutex is the exception: it serialises whole
//   settingsSave() calls and the applying settingsLoad(), file access
//   included, and is always taken first.
// - Hand-over between threads: the lock-free queues virusdbMoves,
//   detections and restore (users keep each queue's `count`: increment
//   after push, decrement after pop), and the bounded blocking queue
//   scanFiles between the walk and the scan workers.
// - Three more locks serialise whole operations rather than guard one
//   member: missionMutex (mission creation's check and insert),
//   quarantineMutex (every move or deletion of a quarantined file with its
//   record) and keeperMutex (the quarantine keeper's start and wake-ups,
//   never held across work).
// - The configuration members (settingsFile, settingsDir, virusdbUrl,
//   databaseFile, overallPath, overallExcludes) are written by
//   loadConfigure() before any background thread exists and only read
//   afterwards.
// - The one SQLite connection in `database` is shared by all threads; the
//   layer opens it in SQLite's serialized mode.
// - Every background thread is started through `background`; the
//   destructor raises the stop requests and waits for all of them before
//   any member is destroyed.

#ifndef ZNANTIVIRUS_P_H
#define ZNANTIVIRUS_P_H

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <vector>

#include <clamav.h>

#include "kx2dbsqlite.h"
#include "kx2lfqueue.h"
#include "znengineref.h"
#include "znpathqueue.h"
#include "znthreadgroup.h"

class KX2Journals;
class ZNAntiVirus;
struct stat;

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
    QString identity;      // "dev:ino" of the scanned file
    // Its change time when scanned: an inode number freed by a deleted file
    // is soon reused, so a file put in its place can share dev:ino.
    qint64 changedSec = 0;
    qint64 changedNsec = 0;

    QByteArray file() const { return relative.isEmpty() ? root : root + '/' + relative; }
};

// Default directories excluded from the overall scan, in this order.
extern const QStringList G_OVERALL_EXCLUDES;

class ZNAntiVirusPrivate
{
public:
    explicit ZNAntiVirusPrivate(ZNAntiVirus* owner);
    ~ZNAntiVirusPrivate();

    ZNAntiVirusPrivate(const ZNAntiVirusPrivate&) = delete;
    ZNAntiVirusPrivate& operator=(const ZNAntiVirusPrivate&) = delete;

    static ZNAntiVirusPrivate* get(ZNAntiVirus* module);

    // "(1,2,3)" for a statement's IN list. One statement takes a list of any
    // length atomically, where a chain of ORs fails at 1000 terms. The
    // numbers are ints, so the text is only digits and commas.
    static QString sqlNumberList(const QList<int>& numbers);
    // A failed delete: 9975 with `prefix` + the database's last error on the
    // journal, the same text traced (0x2). Returns false.
    bool databaseFailed(KX2Journals& journal, const QString& prefix);

    // Queued restore requests {"from", "to"} (quarantined path, former
    // path): pushed by the request threads, performed by the quarantine
    // keeper. The record stays, marked pending, until the move is done.
    struct STRUCT_RESTORE : KX2LFQueue<QJsonObject>
    {
        bool startRestore(const QString& from, const QString& to);
    };

    // --- Store and configuration (loadConfigure) ---------------------------
    bool openStore(KX2Journals& journal, const QString& place);
    bool checkStoreVersion();

    // --- Settings ----------------------------------------------------------
    // Normalises a settings object in place; true when "datadir" is not
    // empty afterwards.
    bool adjustSettings(QJsonObject& settings) const;
    // Applies a normalised settings object; `initial` at start-up. False
    // only when "enabled" is set and "datadir" is empty.
    bool activeSettings(const QJsonObject& settings, bool initial);
    void applyWorkArea(const QString& directory, bool initial);
    void applySchedule(const QJsonObject& schedule);
    // Copies of the work area and of its virus database directory (absolute
    // path; empty while no work area is set), taken under settingsMutex.
    QString workArea() const;
    QString virusdbPath() const;

    // --- Engine ------------------------------------------------------------
    // Asks the update thread to run (and, with `force`, to reload the
    // engine). True when this call started it, false when one already runs
    // or no thread could be started.
    bool virusdbPrepare(bool force);
    // Update thread only: builds an engine from virusdbDir and publishes it.
    bool virusdbReload();
    // True when no engine reload is pending; returns at once.
    bool waitForVirusdbPrepare() const;
    // A counted reference to the engine in use (null before the first
    // successful load), taken under engineMutex. Hold it while scanning.
    ZNEngineRef currentEngine() const;
    void virusdbUpdateThread();
    // Directory relocations and the online virus database update, run by
    // the update thread before the engine step.
    void relocateAndUpgrade();
    // Update thread only: carries out the queued relocations; false when the
    // last one handled failed or a file could not be moved.
    bool virusdbMoveTo();
    bool abortRelocations();
    // Update thread only: fetches the description from virusdbUrl, downloads
    // the files that differ into ".dl", checks each against its listed size
    // and MD5 and installs them all, or none. `changed` tells whether a file
    // was installed.
    bool virusdbUpgrade(bool& changed);
    // Chunk callback of the downloads: counts progress; false once a stop is
    // requested.
    bool virusdbDownloading(unsigned long bytes);
    // One pass of the schedule thread: the daily update when it is due.
    void runDueVirusdbUpdate(quint32 now);

    // --- Scan tasks and workers ---------------------------------------------
    void taskThread();
    // Runs one task row; false when a stop ended it early.
    void runTask(const QJsonObject& task);
    void searchUpdateTotality();
    bool searchDir(const QByteArray& path);
    void searchSubDir(int directory, const QByteArray& path, int depth);
    void antivirusThreads();
    // Scans one queued file with `engine`; false when it could not be opened.
    // `buffer` is the calling worker's own, kept between its files.
    bool scanFile(const QByteArray& path, const ZNEngineRef& engine, std::vector<char>& buffer);
    int workerCount() const;
    QJsonObject missionListing(bool* ok);
    int missionOf(const QString& path);

    // --- Quarantine ----------------------------------------------------------
    // Creates the quarantine bookkeeping columns in an older store and
    // finishes or undoes the quarantine moves a crash interrupted.
    bool prepareQuarantineStore();
    void recoverQuarantine();
    // Hands a detection to the quarantine keeper, starting it when needed.
    void queueDetection(ZNDetection detection);
    void wakeQuarantineKeeper();
    void quarantineKeeper();
    // Quarantines every queued detection (under quarantineMutex).
    void quarantineStep();
    bool quarantineOne(const ZNDetection& detection);
    // Finishes a restore or removal that a crash interrupted (marks 2, 3).
    void recoverManagedRecord(const QJsonObject& pendingRow);
    // Performs every queued restore (keeper thread, under quarantineMutex).
    void restoreStep();
    bool restoreOne(const QJsonObject& record);

    // --- Schedule ----------------------------------------------------------
    // Next run of a schedule as seconds since the epoch (local wall-clock
    // time, seconds 0), strictly after `now`; 0 for a mode other than 1
    // (daily), 2 (weekly) or 3 (monthly).
    static quint32 scheduleNextTime(int mode, int minute, int hour, int week, int day,
                                    const QDateTime& now);
    quint32 scheduleNextTime(int mode, int minute, int hour, int week, int day) const;
    quint32 scheduleNextTime(const QJsonObject& schedule) const;
    void startScheduleThread();
    void scheduleThread();
    // One pass of the schedule thread at time `now`.
    void schedulePass(quint32 now);
    void scheduledScan();

    ZNAntiVirus* const q;

    KX2DBSqlite database;

    mutable std::mutex engineMutex;
    ZNEngineRef scanEngine;
    cl_scan_options scanOptions{};

    QDir settingsDir;
    QString settingsFile;
    QString virusdbUrl;
    QString databaseFile;
    QString overallPath;
    QStringList overallExcludes;
    // Where the virus database lives before any work area has been chosen
    // ("systemvirusdb" of config.json); the first work area takes its files.
    QString systemVirusdbDir;

    std::atomic<bool> enabled{false};
    std::atomic<int> threads{0};

    mutable std::mutex settingsMutex;
    QString dataDir;

    int virusdbUpdateHour = 5;
    std::atomic<quint32> virusdbNextTime{0};

    std::atomic<int> scheduleMode{0};
    std::atomic<int> scheduleMinute{0};
    std::atomic<int> scheduleHour{6};
    std::atomic<int> scheduleWeek{7};
    std::atomic<int> scheduleDay{28};
    std::atomic<int> scheduleScope{0};
    std::atomic<quint32> scanNextTime{0};
    std::atomic<bool> scheduleRunning{false};
    std::atomic<bool> scheduleStop{false};

    // Absolute path of the directory "virusdb" inside dataDir, empty while
    // no work area is set; guarded by settingsMutex.
    QString virusdbDir;
    KX2LFQueue<QJsonObject> virusdbMoves;
    std::atomic<bool> virusdbUpgradeRequested{false};
    std::atomic<bool> virusdbUpdating{false};
    std::atomic<bool> virusdbUpdateStop{false};
    std::atomic<bool> virusdbUpgradeSuccess{false};
    // Outcome of the latest online update: -1 none yet, 0 failed, 1 succeeded.
    std::atomic<int> virusdbLastResult{-1};
    std::atomic<int> virusdbDownloadRate{0};
    std::atomic<qint64> virusdbDownloadTotal{0};
    std::atomic<qint64> virusdbDownloadNow{0};
    std::atomic<bool> virusdbReloadPending{true};
    // "updatetime" of the stored description ("virusdb.json" beside the
    // settings). Progress requests are polled, so unless `lookNow` the
    // file is looked at again only after the update thread has written it
    // (it bumps updateTimeWrites) or when the last look is a second old;
    // it is read again only when its identity or times have changed. Any
    // thread; the cache is guarded by updateTimeMutex.
    QString storedUpdateTime(bool lookNow);
    std::atomic<quint64> updateTimeWrites{0};
    std::mutex updateTimeMutex;
    QByteArray updateTimeStamp;       // identity and times of the file read last
    QString updateTimeCached;
    quint64 updateTimeSeenWrites = 0; // updateTimeWrites at the last look
    QElapsedTimer updateTimeLooked;   // since the last look; invalid before

    // --- State of the running scan task ------------------------------------
    // Written by scanStart (test-and-set) and the task thread; the task
    // thread is the only writer of scanPath, taskNo, missionNo, scanExcludes,
    // scanRoot and of the counter resets. Workers add to resolved and
    // infectes, the walk to totality.
    std::atomic<bool> taskRunning{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> searching{false};
    mutable std::mutex scanPathMutex;
    QString scanPath;
    std::atomic<int> taskNo{0};
    std::atomic<int> missionNo{0};
    QStringList scanExcludes;
    // Raw path of the running task and the directory its detections are
    // named beneath; written before the workers start, read by them.
    QByteArray scanTarget;
    QByteArray scanRoot;
    QByteArray scanQuarantine;
    // Identity of the quarantine directory, so the walk skips it whatever
    // path leads there (task thread only).
    bool quarantineKnown = false;
    quint64 quarantineDevice = 0;
    quint64 quarantineInode = 0;
    std::atomic<int> totality{0};
    std::atomic<int> resolved{0};
    std::atomic<int> infectes{0};
    ZNPathQueue scanFiles;
    std::atomic<int> activeWorkers{0};
    std::atomic<int> scanEndTime{0};
    mutable std::mutex currentFileMutex;
    QByteArray currentFile; // raw path of the file most recently taken
    std::atomic<bool> searchRunning{false};
    std::atomic<bool> searchStop{false};
    QElapsedTimer searchTimer; // task thread only
    // Raised with every engine swap, so a worker notices a reload without
    // taking engineMutex for every file.
    std::atomic<unsigned> engineGeneration{0};

    // --- Quarantine --------------------------------------------------------
    // quarantinePath/quarantineDir are set by scanStart under settingsMutex.
    QString quarantinePath;
    QDir quarantineDir;
    KX2LFQueue<ZNDetection> detections;

    // The quarantine keeper: a thread started at the first detection (or
    // restore request) that waits on keeperWake while nothing is queued and
    // performs the moves at once, whatever the schedule settings.
    std::mutex keeperMutex;
    std::condition_variable keeperWake;
    bool keeperStarted = false; // guarded by keeperMutex
    bool keeperStop = false;    // guarded by keeperMutex
    // Serialises everything that moves or deletes quarantined files and
    // their records: the quarantine step, restores, removals, pruning.
    std::mutex quarantineMutex;

    STRUCT_RESTORE restore;

    // Serialises mission creation: its duplicate check and insert.
    std::mutex missionMutex;

    // Serialises settingsSave() calls and the applying settingsLoad(), so
    // the file and the running settings always come from the same call.
    std::mutex settingsSaveMutex;

    // Every background thread of this object.
    ZNThreadGroup background;
};

#endif // ZNANTIVIRUS_P_H
