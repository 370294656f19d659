// Missions: the files and directories registered for scanning.

#include "znmissions.h"

#include <QDir>
#include <QFileInfo>

#include "kx2dbsqlite.h"
#include "kx2journals.h"
#include "kx2values.h"
#include "znquarantinekeeper.h"
#include "znquarantinemarks.h"
#include "zntrace.h"

namespace {

const int kTypeDirectory = 1;
const int kTypeFile = 2;

QJsonValue timeOrNull(const QJsonValue& value)
{
    const QString text = value.toString();
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

} // namespace

ZNMissions::ZNMissions(KX2DBSqlite& store, ZNQuarantineKeeper& keeper)
    : store(store), keeper(keeper)
{
}

KX2Status ZNMissions::create(const QString& path)
{
    const QFileInfo info(path);
    QString stored;
    int type = 0;
    if (info.exists() && info.isDir()) {
        stored = QDir::cleanPath(info.absoluteFilePath());
        if (!stored.endsWith(QLatin1Char('/')))
            stored += QLatin1Char('/');
        type = kTypeDirectory;
    } else if (info.exists() && info.isFile()) {
        stored = QDir::cleanPath(info.absoluteFilePath());
        type = kTypeFile;
    } else {
        return KX2Status::failure(KX2ErrorCode::NotExists,
                                  QStringLiteral("选定的文件或文件夹不存在"));
    }

    // The check and the insert are two statements: one creation at a time,
    // so two requests for one path never both insert.
    KX2MutexLocker lock(creating);
    QList<QJsonObject> rows;
    const KX2Status checked =
        store.run(rows, QStringLiteral("mission_detail"), {{QStringLiteral("path"), stored}});
    if (!checked.ok()) {
        znTrace(ZNTraceBits::Failures,
                QStringLiteral("查询任务目录是否存在失败: ") + checked.message());
        return KX2Status::failure(KX2ErrorCode::RegistrationCheckFailed,
                                  QStringLiteral("检查路径是否存在失败"));
    }
    if (!rows.isEmpty()) {
        return KX2Status::failure(KX2ErrorCode::AlreadyExists,
                                  QStringLiteral("路径已存在: ") + stored);
    }
    const QJsonObject values{{QStringLiteral("caption"), stored},
                             {QStringLiteral("path"), stored},
                             {QStringLiteral("type"), type}};
    const KX2Status appended = store.run(QStringLiteral("mission_append"), values);
    if (!appended.ok()) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("添加新任务失败: ") + appended.message());
        return KX2Status::failure(KX2ErrorCode::CreateFailed, QStringLiteral("添加新任务失败"));
    }
    return KX2Status::success();
}

KX2Status ZNMissions::remove(const QList<int>& numbers)
{
    // One delete whatever the count: atomic, and an IN list has none of
    // the depth limit that a chain of ORs runs into. Only the numbers that
    // name a mission go into it: a list of a million numbers, mostly of
    // nothing, stays out of one statement.
    QList<QJsonObject> rows;
    QList<int> existing;
    KX2Status status = znSelectByNumbers(
        store, QStringLiteral("SELECT msn_no AS n FROM t_mission WHERE msn_no IN "), numbers,
        QStringLiteral(";"), rows);
    for (const QJsonObject& row : qAsConst(rows))
        existing << toInt(row.value(QLatin1String("n")));
    rows.clear();
    const QString sql = QStringLiteral("DELETE FROM t_mission WHERE msn_no IN ")
        + znSqlNumberList(existing) + QLatin1Char(';');
    int changes = 0, lastRowId = 0;
    if (status.ok() && !numbers.isEmpty())
        status = store.runSql(changes, lastRowId, sql);
    if (numbers.isEmpty() || !status.ok()) {
        const QString message = QStringLiteral("删除任务失败: ") + status.message();
        znTrace(ZNTraceBits::Failures, message);
        return KX2Status::failure(KX2ErrorCode::DatabaseFailed, message);
    }
    if (changes <= 0)
        return KX2Status::failure(KX2ErrorCode::NotExists,
                                  QStringLiteral("没有找到需要删除的任务"));
    const KX2Status unrelated = store.run(QStringLiteral("mission_remove_unrelated_1"));
    if (!unrelated.ok())
        znTrace(ZNTraceBits::Failures, QStringLiteral("删除关联任务1失败: ") + unrelated.message());
    const KX2Status detached = keeper.detachOrphanedRecords();
    if (!detached.ok())
        znTrace(ZNTraceBits::Failures, QStringLiteral("删除关联任务2失败: ") + detached.message());
    return KX2Status::success();
}

// Missions keyed by their stored path, with the times of the newest scan
// of that path as stored text (null before the first scan).
KX2Status ZNMissions::listing(QJsonObject& listing)
{
    QList<QJsonObject> rows;
    const KX2Status read = store.run(rows, QStringLiteral("mission_alload"));
    if (!read.ok()) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("读取任务列表失败: ") + read.message());
        return KX2Status::failure(KX2ErrorCode::DatabaseFailed, QStringLiteral("读取任务列表失败"));
    }
    for (const QJsonObject& row : rows) {
        const QString path = row.value(QLatin1String("path")).toString();
        listing.insert(
            path,
            QJsonObject{
                {QStringLiteral("msnno"), toInt(row.value(QLatin1String("msnno")))},
                {QStringLiteral("path"), path},
                {QStringLiteral("type"), toInt(row.value(QLatin1String("type")))},
                {QStringLiteral("starttime"), timeOrNull(row.value(QLatin1String("starttime")))},
                {QStringLiteral("endtime"), timeOrNull(row.value(QLatin1String("endtime")))},
                {QStringLiteral("lastscantime"),
                 timeOrNull(row.value(QLatin1String("lastscantime")))},
            });
    }
    return KX2Status::success();
}

// The mission registered for `path`: a directory mission is stored with a
// trailing "/", a file mission without, so both forms name it.
int ZNMissions::missionOf(const QString& path)
{
    for (const QString& form : {path, path + QLatin1Char('/')}) {
        QList<QJsonObject> rows;
        if (store.call(rows, QStringLiteral("mission_detail"), {{QStringLiteral("path"), form}})
            && !rows.isEmpty())
            return toInt(rows.first().value(QLatin1String("msnno")));
    }
    return 0;
}

QStringList ZNMissions::paths()
{
    QList<QJsonObject> rows;
    QStringList result;
    if (store.call(rows, QStringLiteral("mission_alload"))) {
        for (const QJsonObject& row : qAsConst(rows))
            result << row.value(QLatin1String("path")).toString();
    }
    return result;
}
