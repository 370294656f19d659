#include "znscanlog.h"

#include <QJsonArray>

#include "kx2dbsqlite.h"
#include "kx2journals.h"
#include "kx2values.h"
#include "znquarantinemarks.h"
#include "zntrace.h"

namespace {

KX2Status readFailed(const KX2Status& failure, const QString& message)
{
    const QString error = failure.message();
    znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + error);
    return KX2Status::failure(KX2ErrorCode::DatabaseFailed, message + error);
}

QJsonObject logRecord(const QJsonObject& row)
{
    // "inplace": the task's detections whose files stayed where they were;
    // "skipped": files known unchanged since found clean, not read again
    // (counted in "resolved"); "limited": files not scanned in full
    // (counted there too); "tskno": the task, as its quarantine records
    // name it.
    static const char* const kNumbers[] = {"logno",    "state",   "times",   "totality",
                                           "resolved", "infectes", "inplace", "skipped",
                                           "limited",  "tskno"};
    static const char* const kAsStored[] = {"file", "path", "starttime", "endtime"};
    QJsonObject record;
    for (const char* key : kNumbers)
        record.insert(QLatin1String(key), toInt(row.value(QLatin1String(key))));
    for (const char* key : kAsStored)
        record.insert(QLatin1String(key), row.value(QLatin1String(key)));
    return record;
}

} // namespace

KX2Status znListScanLogs(KX2DBSqlite& store, QJsonObject& out, int page, int ofpage)
{
    QList<QJsonObject> counted;
    const KX2Status count = store.run(counted, QStringLiteral("log_reccount"));
    if (!count.ok())
        return readFailed(count, QStringLiteral("取日志总数失败: "));
    if (counted.isEmpty())
        return KX2Status::failure(KX2ErrorCode::DatabaseFailed,
                                  QStringLiteral("取日志总数返回结果异常"));
    const int reccount = toInt(counted.first().value(QLatin1String("reccount")));
    if (reccount <= 0) {
        znTrace(ZNTraceBits::TaskSummary, QStringLiteral("没有日志纪录"));
        return KX2Status::success();
    }
    QList<QJsonObject> rows;
    const QJsonObject window{{QStringLiteral("page"), page}, {QStringLiteral("ofpage"), ofpage}};
    const KX2Status read = store.run(rows, QStringLiteral("log_alload"), window);
    if (!read.ok())
        return readFailed(read, QStringLiteral("取日志内容失败: "));
    QJsonArray records;
    for (const QJsonObject& row : qAsConst(rows))
        records.append(logRecord(row));
    out.insert(QStringLiteral("page"), page);
    out.insert(QStringLiteral("ofpage"), ofpage);
    out.insert(QStringLiteral("reccount"), reccount);
    out.insert(QStringLiteral("records"), records);
    return KX2Status::success();
}

KX2Status znRemoveScanLogs(KX2DBSqlite& store, const QList<int>& numbers)
{
    // Only the numbers that name a log go into the delete: a list of a
    // million numbers, mostly of nothing, stays out of one statement.
    QList<QJsonObject> rows;
    QList<int> existing;
    KX2Status status =
        znSelectByNumbers(store, QStringLiteral("SELECT log_no AS n FROM t_log WHERE log_no IN "),
                          numbers, QStringLiteral(";"), rows);
    for (const QJsonObject& row : qAsConst(rows))
        existing << toInt(row.value(QLatin1String("n")));
    rows.clear();
    const QString sql = QStringLiteral("DELETE FROM t_log WHERE log_no IN ")
        + znSqlNumberList(existing) + QLatin1Char(';');
    int changes = 0, lastRowId = 0;
    if (status.ok() && !numbers.isEmpty())
        status = store.runSql(changes, lastRowId, sql);
    if (numbers.isEmpty() || !status.ok()) {
        const QString message = QStringLiteral("删除日志失败: ") + status.message();
        znTrace(ZNTraceBits::Failures, message);
        return KX2Status::failure(KX2ErrorCode::DatabaseFailed, message);
    }
    if (changes <= 0) {
        znTrace(ZNTraceBits::FileFailures, QStringLiteral("指定的参数(lognos)不存在: ") + sql);
        return KX2Status::failure(KX2ErrorCode::NotExists, QStringLiteral("指定的日志不存在"));
    }
    return KX2Status::success();
}
