// The keeper's queue and thread, and the requests on quarantine records:
// listing, restore requests, removal, pruning.
//
// A list of record numbers goes into one statement as "IN (n,n,...)":
// SQLite limits the depth of an OR chain but not the length of an IN list,
// and one statement is atomic on the shared connection.

#include "znquarantinekeeper.h"

#include <QJsonArray>

#include <fcntl.h>
#include <unistd.h>

#include "kx2dbsqlite.h"
#include "kx2journals.h"
#include "kx2values.h"
#include "znquarantinemarks.h"
#include "zntrace.h"
#include "zntrusteddir.h"

ZNQuarantineKeeper::ZNQuarantineKeeper(KX2DBSqlite& store, ZNAlerts& alerts)
    : store(store), alerts(alerts)
{
}

ZNQuarantineKeeper::~ZNQuarantineKeeper()
{
    shutdown();
}

void ZNQuarantineKeeper::shutdown()
{
    {
        KX2MutexLocker lock(jobsMutex);
        stopping = true;
    }
    jobsChanged.notify_all();
    thread.shutdownAndWait();
}

void ZNQuarantineKeeper::queueDetection(ZNDetection detection)
{
    {
        KX2MutexLocker lock(jobsMutex);
        detections.push_back(std::move(detection));
    }
    wake();
}

bool ZNQuarantineKeeper::isBusy() const
{
    KX2MutexLocker lock(jobsMutex);
    return working || !detections.empty() || !restores.isEmpty();
}

void ZNQuarantineKeeper::wake()
{
    {
        KX2MutexLocker lock(jobsMutex);
        if (!started && !stopping)
            started = thread.start([this] { threadMain(); });
    }
    jobsChanged.notify_all();
}

bool ZNQuarantineKeeper::takeJobs(std::deque<ZNDetection>& found, QList<int>& restoring)
{
    KX2MutexLocker lock(jobsMutex);
    working = false;
    while (!stopping && detections.empty() && restores.isEmpty())
        lock.wait(jobsChanged);
    if (stopping)
        return false;
    found.swap(detections);
    restoring.swap(restores);
    working = true;
    return true;
}

void ZNQuarantineKeeper::threadMain()
{
    std::deque<ZNDetection> found;
    QList<int> restoring;
    while (takeJobs(found, restoring)) {
        jobsTaken.reached();
        KX2MutexLocker files(filesMutex);
        for (const ZNDetection& detection : found) {
            if (thread.isShuttingDown())
                break;
            quarantineOne(detection);
        }
        if (!restoring.isEmpty() && !thread.isShuttingDown())
            restoreQueued(restoring);
        found.clear();
        restoring.clear();
    }
}

// --- Requests -------------------------------------------------------------------

KX2Status ZNQuarantineKeeper::list(QJsonObject& out, int page, int ofpage)
{
    auto failed = [](const KX2Status& failure, const QString& message) {
        const QString error = failure.message();
        znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + error);
        return KX2Status::failure(KX2ErrorCode::DatabaseFailed, message + error);
    };
    QList<QJsonObject> counted;
    const KX2Status count = store.run(counted, QStringLiteral("quarantined_reccount"));
    if (!count.ok())
        return failed(count, QStringLiteral("取隔离文件总数失败: "));
    if (counted.isEmpty())
        return KX2Status::failure(KX2ErrorCode::DatabaseFailed,
                                  QStringLiteral("取隔离文件总数返回结果异常"));
    const int reccount = toInt(counted.first().value(QLatin1String("reccount")));
    if (reccount <= 0)
        return KX2Status::success();
    QList<QJsonObject> rows;
    const QJsonObject window{{QStringLiteral("page"), page}, {QStringLiteral("ofpage"), ofpage}};
    const KX2Status read = store.run(rows, QStringLiteral("quarantined_alload"), window);
    if (!read.ok())
        return failed(read, QStringLiteral("取隔离文件内容失败: "));
    QJsonArray records;
    for (QJsonObject row : qAsConst(rows)) {
        // A detection left in place ("moved" 0) has no quarantined file to
        // miss.
        const bool moved = toInt(row.value(QLatin1String("moved"))) != 0;
        row.insert(QStringLiteral("removed"),
                   !moved || znPathExists(row.value(QLatin1String("quarantined")).toString()) ? 0
                                                                                              : 1);
        records.append(row);
    }
    out.insert(QStringLiteral("page"), page);
    out.insert(QStringLiteral("ofpage"), ofpage);
    out.insert(QStringLiteral("reccount"), reccount);
    out.insert(QStringLiteral("records"), records);
    return KX2Status::success();
}

KX2Status ZNQuarantineKeeper::remove(const QList<int>& numbers)
{
    KX2MutexLocker lock(filesMutex);
    QList<QJsonObject> rows;
    // The mark goes on before any file is touched, so a crash in the middle
    // is settled at the next start.
    QList<int> chosen;
    KX2Status status =
        znSelectByNumbers(store,
                          QStringLiteral("SELECT ift_no AS iftno, ift_quarantined AS quarantined "
                                         "FROM t_infectes WHERE ift_no IN "),
                          numbers, QStringLiteral(" ORDER BY ift_no;"), rows);
    for (const QJsonObject& row : qAsConst(rows))
        chosen << toInt(row.value(QLatin1String("iftno")));
    if (status.ok() && !chosen.isEmpty())
        status = setMark(chosen, kPendingRemove);
    if (!status.ok()) {
        const QString error = status.message();
        znTrace(ZNTraceBits::Failures, QStringLiteral("删除任务失败: ") + error);
        return KX2Status::failure(KX2ErrorCode::DatabaseFailed,
                                  QStringLiteral("删除隔离区文件失败: ") + error);
    }
    QList<int> gone, kept;
    for (const QJsonObject& row : qAsConst(rows)) {
        const QString path = row.value(QLatin1String("quarantined")).toString();
        // A detection left in place names no quarantined file: only its
        // record goes, and the file at its former path is never touched.
        if (path.isEmpty()) {
            gone << toInt(row.value(QLatin1String("iftno")));
            continue;
        }
        const QByteArray raw = znRawPath(path);
        const ZNTrustedEntry entry(raw);
        if (entry.dir.isValid())
            ::unlinkat(entry.dir.get(), entry.name.constData(), 0);
        struct stat info;
        // Without its directory the file is gone; a link in the directory's
        // place is not followed and the record stays.
        const bool stays = entry.dir.isValid() ? entry.stat(info) : znLstat(znDirName(raw), info);
        if (stays)
            znTrace(ZNTraceBits::Failures, QStringLiteral("隔离区文件删除失败: ") + path);
        else
            znEvent(QStringLiteral("[quarantine-delete] ") + path);
        (stays ? kept : gone) << toInt(row.value(QLatin1String("iftno")));
    }
    int deleted = 0;
    const KX2Status dropped = gone.isEmpty() ? KX2Status::success() : deleteRecords(gone, &deleted);
    if (!dropped.ok())
        znTrace(ZNTraceBits::Failures, QStringLiteral("删除文件SQL失败: ") + dropped.message());
    // Records that stay are settled again (a failed delete leaves records of
    // vanished files, which pruning removes).
    const QList<int> unsettled = deleted > 0 ? kept : kept + gone;
    if (!unsettled.isEmpty())
        setMark(unsettled, kPendingNone);
    if (deleted > 0)
        return KX2Status::success();
    return KX2Status::failure(KX2ErrorCode::NotExists, QStringLiteral("没有可删除的隔离文件"));
}

KX2Status ZNQuarantineKeeper::reduce(int& amount)
{
    amount = 0;
    KX2MutexLocker lock(filesMutex);
    QList<QJsonObject> rows;
    const QJsonObject whole{{QStringLiteral("page"), 1}, {QStringLiteral("ofpage"), 99999999}};
    const KX2Status read = store.run(rows, QStringLiteral("quarantined_alload"), whole);
    if (!read.ok()) {
        const QString message = QStringLiteral("取隔离文件内容失败: ") + read.message();
        znTrace(ZNTraceBits::Failures, message);
        return KX2Status::failure(KX2ErrorCode::DatabaseFailed, message);
    }
    QList<int> vanished;
    for (const QJsonObject& row : qAsConst(rows)) {
        // Records of detections left in place have no file to lose.
        if (toInt(row.value(QLatin1String("moved"))) != 0
            && !znPathExists(row.value(QLatin1String("quarantined")).toString()))
            vanished << toInt(row.value(QLatin1String("iftno")));
    }
    if (vanished.isEmpty())
        return KX2Status::success();
    int changes = 0, lastRowId = 0;
    // Only settled records: a marked one belongs to an operation a crash
    // interrupted, which the start-up recovery settles.
    const KX2Status deleted = store.runSql(
        changes, lastRowId,
        QStringLiteral("DELETE FROM t_infectes WHERE ift_pending = 0 AND ift_no IN ")
            + znSqlNumberList(vanished));
    if (!deleted.ok()) {
        const QString message = QStringLiteral("删除隔离区纪录失败: ") + deleted.message();
        znTrace(ZNTraceBits::Failures, message);
        return KX2Status::failure(KX2ErrorCode::DatabaseFailed, message);
    }
    amount = changes;
    return KX2Status::success();
}

KX2Status ZNQuarantineKeeper::detachOrphanedRecords()
{
    KX2MutexLocker lock(filesMutex);
    return store.run(QStringLiteral("mission_remove_unrelated_2"));
}

KX2Status ZNQuarantineKeeper::setMark(const QList<int>& numbers, int mark)
{
    int changes = 0, lastRowId = 0;
    return store.runSql(
        changes, lastRowId,
        QStringLiteral("UPDATE t_infectes SET ift_pending = %1 WHERE ift_no IN ").arg(mark)
            + znSqlNumberList(numbers));
}

KX2Status ZNQuarantineKeeper::deleteRecords(const QList<int>& numbers, int* changes)
{
    int lastRowId = 0;
    return store.runSql(*changes, lastRowId,
                        QStringLiteral("DELETE FROM t_infectes WHERE ift_no IN ")
                            + znSqlNumberList(numbers));
}
