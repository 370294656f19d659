// ZNScanTasks: the queue of scan tasks (t_task) and the task thread that
// runs them one at a time.
//
// A scan request appends a task row and starts the task thread unless it
// runs; the thread takes the oldest row, makes sure the engine is current,
// opens the work area's clean-file cache (unless the "incremental" setting
// is off), runs the task as a ZNScanRun, finishes the cache, writes its
// totals into the log and deletes the row, until no row is left or a stop
// is requested. A stop ends the
// running task and logs the tasks queued behind it as stopped.
//
// Thread rules: any thread. `running` and the stop request are atomics,
// `running` raised only under `startMutex` (startLock()); the current run (the running or last one, shared with progress readers)
// is guarded by `runMutex`, a leaf: it is held only to copy or swap the
// pointer, and a run is stopped or freed after it is released. The destructor stops the running task and waits
// for the thread.

#ifndef ZNSCANTASKS_H
#define ZNSCANTASKS_H

#include <QJsonObject>
#include <QString>

#include <atomic>
#include <memory>

#include "kx2threadgroup.h"
#include "kx2threadsafety.h"
#include "kx2status.h"
#include "znscanrun.h"

class KX2DBSqlite;
class ZNEngineSlot;
class ZNMissions;
class ZNQuarantineKeeper;
class ZNSettingsHolder;
class ZNUpdater;
struct ZNConfiguration;

class ZNScanTasks
{
public:
    struct Parts
    {
        KX2DBSqlite& store;
        const ZNConfiguration& configuration;
        const ZNSettingsHolder& settings;
        ZNEngineSlot& engines;
        ZNUpdater& updater;
        ZNQuarantineKeeper& keeper;
        ZNMissions& missions;
    };

    explicit ZNScanTasks(const Parts& parts);
    ~ZNScanTasks();
    ZNScanTasks(const ZNScanTasks&) = delete;
    ZNScanTasks& operator=(const ZNScanTasks&) = delete;

    // See ZNAntiVirus::scanStart.
    KX2Status start(const QString& path, bool wait, bool full = false) KX2_EXCLUDES(startMutex);
    // Held by whoever needs isRunning() to stay false while it works (a
    // settings save between its check and its write): no task thread
    // starts while it is held; a start waits for it. Taken after
    // ZNAntiVirusPrivate::settingsChange, before any short lock.
    KX2Mutex& startLock() KX2_RETURN_CAPABILITY(startMutex) { return startMutex; }
    // Stops the running task and returns once the task thread has ended.
    void stop() KX2_EXCLUDES(runMutex);
    // The progress of the running or last task (without "missions").
    QJsonObject progress() const KX2_EXCLUDES(runMutex);
    // Files the walk of the running or last task found so far.
    int filesFound() const KX2_EXCLUDES(runMutex);
    // Its "total" as progress shows it, without waiting for the current
    // file's lock.
    int totalFiles() const KX2_EXCLUDES(runMutex);
    bool isRunning() const { return running.load(); }
    bool isStopping() const { return stopRequested.load(); }
    ZNCurrentFile& currentFile() { return lastFile; }
    int workerCount() const;
    void shutdown() KX2_EXCLUDES(runMutex);
    // Start-up, before any task: adds the columns of t_task and t_log that
    // an older store lacks; the store's failure, traced.
    KX2Status prepareStore();

private:
    KX2Status prepareQuarantine(const QString& workArea) const;
    bool isOverallPath(const QString& absolute) const;
    void threadMain() KX2_EXCLUDES(startMutex);
    // Raises `running` unless it is up; false when a task thread runs.
    bool claimRunning() KX2_EXCLUDES(startMutex);
    void runQueued() KX2_EXCLUDES(runMutex);
    void dropQueued();
    bool recordCompletion(const QJsonObject& completion);
    void runTask(const QJsonObject& row) KX2_EXCLUDES(runMutex);
    // Stops the run in hand and raises the stop request (see the .cpp).
    void stopRun() KX2_EXCLUDES(runMutex);
    std::shared_ptr<ZNScanRun> currentRun() const KX2_EXCLUDES(runMutex);

    const Parts parts;
    // `running` is raised only under it (see startLock()).
    KX2Mutex startMutex;
    std::atomic<bool> running{false};
    std::atomic<bool> stopRequested{false};
    std::atomic<int> endTime{0};

    ZNCurrentFile lastFile;
    mutable KX2Mutex runMutex;
    std::shared_ptr<ZNScanRun> current KX2_GUARDED_BY(runMutex);

    KX2ThreadGroup thread;
};

#endif // ZNSCANTASKS_H
