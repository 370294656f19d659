// Missions: the files and directories registered for scanning.

#include "znantivirus.h"

#include <QFileInfo>

#include "kx2journals.h"
#include "znantivirus_p.h"
#include "zntrace.h"

namespace {

const int kTypeDirectory = 1;
const int kTypeFile = 2;

} // namespace

bool ZNAntiVirus::missionCreate(KX2Journals& journal, const QString& path)
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
        journal.setErr(KX2ErrorCode::NotExists, QStringLiteral("选定的文件或文件夹不存在"));
        return false;
    }

    // The check and the insert are two statements: one creation at a time,
    // so two requests for one path never both insert.
    std::lock_guard<std::mutex> creating(d->missionMutex);
    QList<QJsonObject> rows;
    if (!d->database.call(rows, QStringLiteral("mission_detail"), {{QStringLiteral("path"), stored}})) {
        journal.setErr(KX2ErrorCode::RegistrationCheckFailed, QStringLiteral("检查路径是否存在失败"));
        znTrace(ZNTraceBits::Failures, QStringLiteral("查询任务目录是否存在失败: ") + d->database.lastError());
        return false;
    }
    if (!rows.isEmpty()) {
        journal.setErr(KX2ErrorCode::AlreadyExists, QStringLiteral("路径已存在: ") + stored);
        return false;
    }
    const QJsonObject values{{QStringLiteral("caption"), stored},
                             {QStringLiteral("path"), stored},
                             {QStringLiteral("type"), type}};
    if (!d->database.call(QStringLiteral("mission_append"), values)) {
        journal.setErr(KX2ErrorCode::CreateFailed, QStringLiteral("添加新任务失败"));
        znTrace(ZNTraceBits::Failures, QStringLiteral("添加新任务失败: ") + d->database.lastError());
        return false;
    }
    return true;
}

bool ZNAntiVirus::missionRemove(KX2Journals& journal, const QList<int>& numbers)
{
    // One statement whatever the count: atomic, and an IN list has none of
    // the depth limit that a chain of ORs runs into.
    const QString sql = QStringLiteral("DELETE FROM t_mission WHERE msn_no IN ") + ZNAntiVirusPrivate::sqlNumberList(numbers) + QLatin1Char(';');
    int changes = 0, lastRowId = 0;
    if (numbers.isEmpty() || !d->database.exec(changes, lastRowId, sql))
        return d->databaseFailed(journal, QStringLiteral("删除任务失败: "));
    if (changes <= 0) {
        journal.setErr(KX2ErrorCode::NotExists, QStringLiteral("没有找到需要删除的任务"));
        return false;
    }
    if (!d->database.call(QStringLiteral("mission_remove_unrelated_1")))
        znTrace(ZNTraceBits::Failures, QStringLiteral("删除关联任务1失败: ") + d->database.lastError());
    // Quarantine records change only under the quarantine lock.
    std::lock_guard<std::mutex> quarantine(d->quarantineMutex);
    if (!d->database.call(QStringLiteral("mission_remove_unrelated_2")))
        znTrace(ZNTraceBits::Failures, QStringLiteral("删除关联任务2失败: ") + d->database.lastError());
    return true;
}

bool ZNAntiVirus::missionAlload(KX2Journals&, QJsonObject& out)
{
    bool ok = false;
    const QJsonObject listing = d->missionListing(&ok);
    if (!ok) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("读取任务列表失败: ") + d->database.lastError());
        return false;
    }
    for (auto it = listing.begin(); it != listing.end(); ++it)
        out.insert(it.key(), it.value());
    return true;
}
