// Scan tasks: queuing a scan, the task thread, stopping, and progress.

#include "znscantasks.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <sys/stat.h>

#include <chrono>
#include <utility>

#include "kx2dbsqlite.h"
#include "kx2journals.h"
#include "kx2values.h"
#include "zncleancache.h"
#include "znconfiguration.h"
#include "znengineslot.h"
#include "znmissions.h"
#include "znrawpath.h"
#include "znscanrun.h"
#include "znsettingssnapshot.h"
#include "znstorecolumns.h"
#include "zntrace.h"
#include "znupdater.h"
#include "znworkarea.h"

namespace {

using namespace std::chrono_literals;

const int kStateStopped = 8;
const int kStateCompleted = 9;

// More workers than this only add contention: scanning is bound by the
// cores and the disk, and a careless "threads" setting must not start
// thousands of threads.
const int kMaxWorkers = 64;

KX2Status refuse(int code, const QString& message, bool traced)
{
    if (traced)
        znTrace(ZNTraceBits::Failures, message);
    return KX2Status::failure(code, message);
}

KX2Status storeFailed(const KX2Status& failure, int code, const QString& message)
{
    const QString error = failure.message();
    znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + error);
    return KX2Status::failure(code, message + error);
}

} // namespace

ZNScanTasks::ZNScanTasks(const Parts& parts) : parts(parts) {}

ZNScanTasks::~ZNScanTasks()
{
    shutdown();
}

void ZNScanTasks::shutdown()
{
    stopRun();
    thread.shutdownAndWait();
}

// The run is stopped outside `runMutex`, which stays a leaf: its stop takes
// the path queue's lock. It is stopped before the request is raised, so
// that once isStopping() is seen the task in hand is stopping too; a run
// installed meanwhile is stopped here or, installed later, by runTask(),
// which tests the request after installing it.
void ZNScanTasks::stopRun()
{
    const std::shared_ptr<ZNScanRun> inHand = currentRun();
    if (inHand)
        inHand->stop();
    std::shared_ptr<ZNScanRun> latest;
    {
        KX2MutexLocker lock(runMutex);
        stopRequested = true;
        latest = current;
    }
    if (latest && latest != inHand)
        latest->stop();
}

std::shared_ptr<ZNScanRun> ZNScanTasks::currentRun() const
{
    KX2MutexLocker lock(runMutex);
    return current;
}

// Creates the work area's quarantine directory (0700: nobody but the
// service reads infected files), once the work area passes its rules
// (znworkarea.h).
KX2Status ZNScanTasks::prepareQuarantine(const QString& workArea) const
{
    if (workArea.isEmpty())
        return refuse(KX2ErrorCode::DirectoryNotConfigured, QStringLiteral("隔离区未设置"), true);
    if (!QFileInfo(workArea).isDir())
        return refuse(KX2ErrorCode::NotExists, QStringLiteral("隔离区目录不存在"), true);
    const QString fault = znWorkAreaFault(workArea);
    if (!fault.isEmpty())
        return refuse(KX2ErrorCode::CreateFailed, fault, true);
    const QString quarantine =
        QDir::cleanPath(QDir(workArea).absoluteFilePath(QStringLiteral(".qra")));
    if (!znOpenQuarantineDir(QFile::encodeName(quarantine)).isValid())
        return refuse(KX2ErrorCode::CreateFailed, QStringLiteral("无法创建病毒隔离区"), true);
    return KX2Status::success();
}

// Both sides cleaned: "/mnt/" in the configuration or in the request is
// the overall path "/mnt" and keeps its exclusions.
bool ZNScanTasks::isOverallPath(const QString& absolute) const
{
    const QString overall = parts.configuration.overallPath;
    return !overall.isEmpty() && absolute == QDir::cleanPath(QFileInfo(overall).absoluteFilePath());
}

KX2Status ZNScanTasks::prepareStore()
{
    const KX2Status tasks = znAddMissingColumns(parts.store, "t_task",
                                                {
                                                    {"tsk_full", "INTEGER DEFAULT 0"},
                                                    {"tsk_skipped", "INTEGER DEFAULT 0"},
                                                    {"tsk_limited", "INTEGER DEFAULT 0"},
                                                });
    const KX2Status logs = znAddMissingColumns(parts.store, "t_log",
                                               {
                                                   {"log_skipped", "INTEGER DEFAULT 0"},
                                                   {"log_limited", "INTEGER DEFAULT 0"},
                                               });
    return logs.ok() ? tasks : logs;
}

KX2Status ZNScanTasks::start(const QString& path, bool wait, bool full)
{
    if (!parts.engines.current())
        return refuse(KX2ErrorCode::VirusDbNotReady,
                      QStringLiteral("病毒库未准备就绪，请稍后再重试"), true);
    if (wait)
        parts.updater.waitWhileRunning([] { return false; });
    const KX2Status quarantine = prepareQuarantine(parts.settings.get().dataDir);
    if (!quarantine.ok())
        return quarantine;

    struct stat info;
    if (!znLstat(znRawPath(path), info) || !(S_ISDIR(info.st_mode) || S_ISREG(info.st_mode)))
        return refuse(KX2ErrorCode::NotExists, QStringLiteral("选定的文件或文件夹不存在"), false);
    // Cleaned, so "/a/b/" and "/a/b" name one task.
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());

    QList<QJsonObject> rows;
    const KX2Status queued =
        parts.store.run(rows, QStringLiteral("task_detail"), {{QStringLiteral("path"), absolute}});
    if (!queued.ok())
        return storeFailed(queued, KX2ErrorCode::DatabaseFailed,
                           QStringLiteral("查询任务队列失败: "));
    if (!rows.isEmpty())
        return refuse(KX2ErrorCode::AlreadyExists, QStringLiteral("任务队列中已存在"), false);

    const QJsonObject task{
        {QStringLiteral("msnno"), parts.missions.missionOf(absolute)},
        {QStringLiteral("path"), absolute},
        {QStringLiteral("excludes"),
         isOverallPath(absolute) ? parts.configuration.overallExcludes.join(QLatin1Char('\n'))
                                 : QString()},
        {QStringLiteral("full"), full ? 1 : 0},
    };
    const KX2Status appended = parts.store.run(QStringLiteral("task_append"), task);
    if (!appended.ok())
        return storeFailed(appended, KX2ErrorCode::CreateFailed,
                           QStringLiteral("添加查杀任务失败: "));

    if (!claimRunning())
        return refuse(KX2ErrorCode::ScanRunning, QStringLiteral("正在进行查杀毒中，请稍后再重试"),
                      false);
    // The ended run's figures go now: until the thread installs the new
    // run, the progress shows a task starting (empty path), not the last
    // one as if it were running again.
    std::shared_ptr<ZNScanRun> ended;
    {
        KX2MutexLocker lock(runMutex);
        ended = std::exchange(current, nullptr);
    }
    ended.reset();
    if (thread.start([this] { threadMain(); }))
        return KX2Status::success();
    running = false;
    return refuse(KX2ErrorCode::CreateFailed, QStringLiteral("无法启动查杀线程"), true);
}

bool ZNScanTasks::claimRunning()
{
    KX2MutexLocker gate(startMutex);
    bool idle = false;
    if (!running.compare_exchange_strong(idle, true))
        return false;
    // Cleared here, not by the thread: a stop arriving between this call
    // and the thread's start must not be undone.
    stopRequested = false;
    return true;
}

void ZNScanTasks::stop()
{
    stopRun();
    while (running && !thread.isShuttingDown())
        thread.waitFor([this] { return !running; }, 1000ms);
}

QJsonObject ZNScanTasks::progress() const
{
    const std::shared_ptr<ZNScanRun> run = currentRun();
    QJsonObject out;
    const ZNScanRun::Progress now = run ? run->progress() : ZNScanRun::Progress();
    out.insert(QStringLiteral("path"), now.path);
    out.insert(QStringLiteral("currfile"), now.currentFile);
    out.insert(QStringLiteral("total"), now.total);
    out.insert(QStringLiteral("scans"), now.scanned);
    out.insert(QStringLiteral("percentage"),
               now.total < 1 ? 0 : int(qint64(now.scanned) * 100 / now.total));
    out.insert(QStringLiteral("infectes"), now.infected);
    out.insert(QStringLiteral("limited"), now.limited);
    out.insert(QStringLiteral("running"), running ? 1 : 0);
    // Names the task's records: its scan log row and its detections.
    if (now.taskNo > 0)
        out.insert(QStringLiteral("taskno"), now.taskNo);
    const int ended = endTime;
    if (ended != 0)
        out.insert(
            QStringLiteral("endtime"),
            QDateTime::fromSecsSinceEpoch(ended).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    return out;
}

int ZNScanTasks::filesFound() const
{
    const std::shared_ptr<ZNScanRun> run = currentRun();
    return run ? run->filesFound() : 0;
}

int ZNScanTasks::totalFiles() const
{
    const std::shared_ptr<ZNScanRun> run = currentRun();
    return run ? run->total(0) : 0;
}

int ZNScanTasks::workerCount() const
{
    const int configured = parts.settings.get().threads;
    const int count = configured > 0 ? configured : QThread::idealThreadCount();
    return qBound(1, count, kMaxWorkers);
}

void ZNScanTasks::threadMain()
{
    for (;;) {
        runQueued();
        // A stop ends the running task and the tasks queued behind it; each
        // gets its log row, so no queued path is refused with 9993 for good.
        if (stopRequested && !thread.isShuttingDown())
            dropQueued();
        running = false;
        thread.wakeAll();
        if (thread.isShuttingDown())
            return;
        // A task queued after the last look but before `running` fell was
        // refused with 9992 by a caller that relied on this thread: take it
        // (dropped as well while the stop is in force).
        QList<QJsonObject> rows;
        if (!parts.store.call(rows, QStringLiteral("task_first")) || rows.isEmpty())
            return;
        KX2MutexLocker gate(startMutex);
        bool idle = false;
        if (!running.compare_exchange_strong(idle, true))
            return;
    }
}

void ZNScanTasks::runQueued()
{
    while (!stopRequested) {
        // Every task scans with the newest database: a due relocation,
        // update or reload runs first.
        parts.updater.prepare(false);
        QList<QJsonObject> rows;
        const KX2Status first = parts.store.run(rows, QStringLiteral("task_first"));
        if (!first.ok()) {
            znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + first.message());
            if (!thread.pause(1000ms))
                return;
            continue;
        }
        if (rows.isEmpty())
            return;
        runTask(rows.first());
    }
}

// Logs every queued task as stopped (state 8, nothing scanned) and deletes
// it. Stops at the first store failure: the rest stay queued for the next
// task thread.
void ZNScanTasks::dropQueued()
{
    QList<QJsonObject> rows;
    while (parts.store.call(rows, QStringLiteral("task_first")) && !rows.isEmpty()) {
        const QJsonObject row = rows.takeFirst();
        const QString path = row.value(QLatin1String("path")).toString();
        znTrace(ZNTraceBits::TaskSummary, QStringLiteral("查杀任务已取消: ") + path);
        znEvent(QStringLiteral("[task-dropped] task=%1 path=%2")
                    .arg(toInt(row.value(QLatin1String("tskno"))))
                    .arg(path));
        const QJsonObject completion{
            {QStringLiteral("state"), kStateStopped},
            {QStringLiteral("tskno"), toInt(row.value(QLatin1String("tskno")))},
            {QStringLiteral("times"), 0},
            {QStringLiteral("totality"), 0},
            {QStringLiteral("resolved"), 0},
            {QStringLiteral("infectes"), 0},
            {QStringLiteral("skipped"), 0},
            {QStringLiteral("limited"), 0},
        };
        if (!recordCompletion(completion))
            return;
        rows.clear();
    }
}

// Totals into the task row, the row into the log, the row out of the queue.
bool ZNScanTasks::recordCompletion(const QJsonObject& completion)
{
    for (const char* statement : {"task_complete", "log_assign_task", "task_remove"}) {
        const KX2Status recorded = parts.store.run(QLatin1String(statement), completion);
        if (!recorded.ok()) {
            znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + recorded.message());
            return false;
        }
    }
    return true;
}

void ZNScanTasks::runTask(const QJsonObject& row)
{
    ZNScanTask task;
    task.taskNo = toInt(row.value(QLatin1String("tskno")));
    task.missionNo = toInt(row.value(QLatin1String("msnno")));
    task.path = row.value(QLatin1String("path")).toString().trimmed();
    task.excludes = row.value(QLatin1String("excludes")).toString().trimmed();
    const ZNSettingsSnapshot settings = parts.settings.get();
    task.quarantineDir = settings.quarantineDir().toUtf8();
    if (!settings.dataDir.isEmpty())
        task.cacheDir = ZNCleanCache::directoryOf(settings.dataDir).toUtf8();
    task.skipHidden = settings.skipHidden;
    task.limits = settings.limits;
    task.full = toInt(row.value(QLatin1String("full"))) != 0;
    task.workers = workerCount();
    // Entries are remembered under the digest of the engine the task starts
    // with; workers that pick up a newer engine meanwhile leave the cache
    // alone. An engine without a digest (its set changed while it loaded)
    // gets no cache.
    QByteArray digest;
    parts.engines.current(&digest);
    std::unique_ptr<ZNCleanCache> cache;
    if (settings.incremental && !digest.isEmpty() && !settings.dataDir.isEmpty())
        cache =
            ZNCleanCache::open({settings.dataDir, digest, settings.cacheMaxEntries, !task.full});
    const auto run = std::make_shared<ZNScanRun>(task, parts.engines, parts.keeper, parts.store,
                                                 lastFile, cache.get());
    std::shared_ptr<ZNScanRun> replaced;
    {
        KX2MutexLocker lock(runMutex);
        replaced = std::exchange(current, run);
    }
    // The last run goes here, outside the lock (its workers' group is
    // shut down as it goes).
    replaced.reset();
    if (stopRequested)
        run->stop();
    znTrace(ZNTraceBits::TaskSummary, QStringLiteral("开始查杀毒: ") + task.path);
    znEvent(QStringLiteral("[task-start] task=%1 mission=%2 path=%3")
                .arg(task.taskNo)
                .arg(task.missionNo)
                .arg(task.path));
    QElapsedTimer elapsed;
    elapsed.start();
    const bool completed = run->run();
    // The workers have let go of the cache: what they found clean is
    // committed, and the cache pruned, before the task counts as ended.
    if (cache)
        cache->finish();

    const int seconds = int(elapsed.elapsed() / 1000);
    endTime = int(QDateTime::currentSecsSinceEpoch());
    const ZNScanRun::Progress done = run->progress();
    znTrace(ZNTraceBits::TaskSummary, QStringLiteral("查杀毒完成: ") + task.path);
    znTrace(ZNTraceBits::TaskSummary, QStringLiteral("文件总数量: ") + QString::number(done.total));
    znTrace(ZNTraceBits::TaskSummary,
            QStringLiteral("查杀文件数: ") + QString::number(done.scanned));
    znTrace(ZNTraceBits::TaskSummary,
            QStringLiteral("有毒文件数: ") + QString::number(done.infected));
    znTrace(ZNTraceBits::TaskSummary,
            QStringLiteral("查杀总耗时: ") + QString::number(seconds) + QStringLiteral("秒"));
    znEvent(QStringLiteral("[task-end] task=%1 mission=%2 state=%3 total=%4 scanned=%5 "
                           "infected=%6 seconds=%7 unreachable=%8 skipped=%9 limited=%10 "
                           "path=%11")
                .arg(task.taskNo)
                .arg(task.missionNo)
                .arg(completed ? kStateCompleted : kStateStopped)
                .arg(done.total)
                .arg(done.scanned)
                .arg(done.infected)
                .arg(seconds)
                .arg(run->directoriesUnreachable())
                .arg(done.skipped)
                .arg(done.limited)
                .arg(task.path));

    const QJsonObject completion{
        {QStringLiteral("state"), completed ? kStateCompleted : kStateStopped},
        {QStringLiteral("tskno"), task.taskNo},
        {QStringLiteral("times"), seconds},
        {QStringLiteral("totality"), done.total},
        {QStringLiteral("resolved"), done.scanned},
        {QStringLiteral("infectes"), done.infected},
        {QStringLiteral("skipped"), done.skipped},
        {QStringLiteral("limited"), done.limited},
    };
    recordCompletion(completion);
}
