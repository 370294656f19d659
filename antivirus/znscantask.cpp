// Scan tasks: queuing a scan, the task thread that runs queued tasks one at
// a time, stopping, and progress.

#include "znantivirus.h"

#include <QDateTime>
#include <QFileInfo>
#include <QThread>

#include <sys/stat.h>

#include <chrono>

#include "kx2journals.h"
#include "kx2values.h"
#include "znantivirus_p.h"
#include "znrawpath.h"
#include "zntrace.h"

namespace {

using namespace std::chrono_literals;

// More workers than this only add contention: scanning is bound by the
// cores and the disk, and a careless "threads" setting must not start
// thousands of threads.
const int kMaxWorkers = 64;

QJsonValue timeOrNull(const QJsonValue& value)
{
    const QString text = value.toString();
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

} // namespace

bool ZNAntiVirus::scanStart(KX2Journals& journal, const QString& path, bool wait)
{
    auto refuse = [&journal](int code, const QString& message, bool traced) {
        journal.setErr(code, message);
        if (traced)
            znTrace(ZNTraceBits::Failures, message);
        return false;
    };
    if (!d->currentEngine())
        return refuse(KX2ErrorCode::VirusDbNotReady, QStringLiteral("病毒库未准备就绪，请稍后再重试"), true);
    while (wait && d->virusdbUpdating && !d->background.isShuttingDown())
        d->background.waitFor([this] { return !d->virusdbUpdating; }, 1000ms);

    const QString workArea = d->workArea();
    if (workArea.isEmpty())
        return refuse(KX2ErrorCode::DirectoryNotConfigured, QStringLiteral("隔离区未设置"), true);
    if (!QFileInfo(workArea).isDir())
        return refuse(KX2ErrorCode::NotExists, QStringLiteral("隔离区目录不存在"), true);
    const QString quarantine = QDir::cleanPath(QDir(workArea).absoluteFilePath(QStringLiteral(".qra")));
    QDir().mkpath(quarantine);
    if (!QFileInfo(quarantine).isDir())
        return refuse(KX2ErrorCode::CreateFailed, QStringLiteral("无法创建病毒隔离区"), true);
    // Quarantined files are infected: nobody but the service reads them.
    ::chmod(quarantine.toUtf8().constData(), 0700);
    {
        std::lock_guard<std::mutex> lock(d->settingsMutex);
        d->quarantinePath = quarantine;
        d->quarantineDir = QDir(quarantine);
    }

    struct stat info;
    if (!znLstat(znRawPath(path), info) || !(S_ISDIR(info.st_mode) || S_ISREG(info.st_mode)))
        return false;
    // Cleaned, so "/a/b/" and "/a/b" name one task.
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());

    QList<QJsonObject> rows;
    if (!d->database.call(rows, QStringLiteral("task_detail"), {{QStringLiteral("path"), absolute}})) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + d->database.lastError());
        return false;
    }
    if (!rows.isEmpty())
        return refuse(KX2ErrorCode::AlreadyExists, QStringLiteral("任务队列中已存在"), false);

    const QJsonObject task{
        {QStringLiteral("msnno"), d->missionOf(absolute)},
        {QStringLiteral("path"), absolute},
        {QStringLiteral("excludes"),
         absolute == d->overallPath ? d->overallExcludes.join(QLatin1Char('\n')) : QString()},
    };
    if (!d->database.call(QStringLiteral("task_append"), task)) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + d->database.lastError());
        return false;
    }

    bool idle = false;
    if (!d->taskRunning.compare_exchange_strong(idle, true))
        return refuse(KX2ErrorCode::ScanRunning, QStringLiteral("正在进行查杀毒中，请稍后再重试"), false);
    // Cleared here, not by the thread: a stop arriving between this call
    // and the thread's start must not be undone.
    d->stopRequested = false;
    d->searchStop = false;
    if (d->background.start([this] { d->taskThread(); }))
        return true;
    d->taskRunning = false;
    return false;
}

bool ZNAntiVirus::scanStop(KX2Journals&)
{
    d->stopRequested = true;
    d->searchStop = true;
    d->scanFiles.abort();
    while (d->taskRunning && !d->background.isShuttingDown())
        d->background.waitFor([this] { return !d->taskRunning; }, 1000ms);
    return true;
}

bool ZNAntiVirus::scanRunning(KX2Journals&, QJsonObject& out)
{
    bool listed = false;
    const QJsonObject missions = d->missionListing(&listed);
    if (listed)
        out.insert(QStringLiteral("missions"), missions);
    {
        std::lock_guard<std::mutex> lock(d->scanPathMutex);
        out.insert(QStringLiteral("path"), d->scanPath);
    }
    {
        std::lock_guard<std::mutex> lock(d->currentFileMutex);
        out.insert(QStringLiteral("currfile"), znDisplayPath(d->currentFile));
    }
    const int scanned = d->resolved;
    const int total = qMax(int(d->totality), scanned);
    out.insert(QStringLiteral("total"), total);
    out.insert(QStringLiteral("scans"), scanned);
    out.insert(QStringLiteral("percentage"), total < 1 ? 0 : int(qint64(scanned) * 100 / total));
    out.insert(QStringLiteral("infectes"), int(d->infectes));
    out.insert(QStringLiteral("running"), d->taskRunning ? 1 : 0);
    const int ended = d->scanEndTime;
    if (ended != 0)
        out.insert(QStringLiteral("endtime"),
                   QDateTime::fromSecsSinceEpoch(ended).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
    return true;
}

// Missions keyed by their stored path, with the times of the newest scan
// of that path as stored text (null before the first scan).
QJsonObject ZNAntiVirusPrivate::missionListing(bool* ok)
{
    QList<QJsonObject> rows;
    *ok = database.call(rows, QStringLiteral("mission_alload"));
    QJsonObject listing;
    if (!*ok)
        return listing;
    for (const QJsonObject& row : rows) {
        const QString path = row.value(QLatin1String("path")).toString();
        listing.insert(path, QJsonObject{
            {QStringLiteral("msnno"), toInt(row.value(QLatin1String("msnno")))},
            {QStringLiteral("path"), path},
            {QStringLiteral("type"), toInt(row.value(QLatin1String("type")))},
            {QStringLiteral("starttime"), timeOrNull(row.value(QLatin1String("starttime")))},
            {QStringLiteral("endtime"), timeOrNull(row.value(QLatin1String("endtime")))},
            {QStringLiteral("lastscantime"), timeOrNull(row.value(QLatin1String("lastscantime")))},
        });
    }
    return listing;
}

// The mission registered for `path`: a directory mission is stored with a
// trailing "/", a file mission without, so both forms name it.
int ZNAntiVirusPrivate::missionOf(const QString& path)
{
    for (const QString& form : {path, path + QLatin1Char('/')}) {
        QList<QJsonObject> rows;
        if (database.call(rows, QStringLiteral("mission_detail"), {{QStringLiteral("path"), form}})
            && !rows.isEmpty())
            return toInt(rows.first().value(QLatin1String("msnno")));
    }
    return 0;
}

int ZNAntiVirusPrivate::workerCount() const
{
    const int configured = threads;
    const int count = configured > 0 ? configured : QThread::idealThreadCount();
    return qBound(1, count, kMaxWorkers);
}

void ZNAntiVirusPrivate::taskThread()
{
    for (;;) {
        while (!stopRequested) {
            virusdbPrepare(false);
            waitForVirusdbPrepare();
            QList<QJsonObject> rows;
            if (!database.call(rows, QStringLiteral("task_first"))) {
                znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + database.lastError());
                if (!background.pause(1000ms))
                    break;
                continue;
            }
            if (rows.isEmpty())
                break;
            runTask(rows.first());
        }
        taskRunning = false;
        background.wakeAll();
        if (stopRequested || background.isShuttingDown())
            return;
        // A task queued after the last look but before taskRunning fell was
        // refused with 9992 by a caller that relied on this thread: take it.
        QList<QJsonObject> rows;
        bool idle = false;
        if (!database.call(rows, QStringLiteral("task_first")) || rows.isEmpty()
            || !taskRunning.compare_exchange_strong(idle, true))
            return;
    }
}
