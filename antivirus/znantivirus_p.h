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
// - Hand-over between threads goes through the lock-free queues
//   virusdbMoves, scanFiles, detections and restore. Users keep each
//   queue's `count` (increment after push, decrement after pop).
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
#include <mutex>

#include <clamav.h>

#include "kx2dbsqlite.h"
#include "kx2lfqueue.h"
#include "znengineref.h"
#include "znthreadgroup.h"

class KX2Journals;
class ZNAntiVirus;

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

    // Queued restore requests {"from", "to"}: pushed by the request threads,
    // performed by the schedule thread.
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

    // --- State of the running scan task ------------------------------------
    std::atomic<bool> taskRunning{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> searching{false};
    mutable std::mutex scanPathMutex;
    QString scanPath;
    std::atomic<int> taskNo{0};
    std::atomic<int> missionNo{0};
    QStringList scanExcludes;
    std::atomic<int> totality{0};
    std::atomic<int> resolved{0};
    std::atomic<int> infectes{0};
    KX2LFQueue<QByteArray> scanFiles;
    std::atomic<int> activeWorkers{0};
    std::atomic<int> scanEndTime{0};
    mutable std::mutex currentFileMutex;
    QString currentFile;
    std::atomic<bool> searchRunning{false};
    std::atomic<bool> searchStop{false};
    QElapsedTimer searchTimer;

    // --- Quarantine --------------------------------------------------------
    QString quarantinePath;
    QDir quarantineDir;
    KX2LFQueue<QJsonObject> detections;

    STRUCT_RESTORE restore;

    // Serialises settingsSave() calls and the applying settingsLoad(), so
    // the file and the running settings always come from the same call.
    std::mutex settingsSaveMutex;

    // Every background thread of this object.
    ZNThreadGroup background;
};

#endif // ZNANTIVIRUS_P_H
