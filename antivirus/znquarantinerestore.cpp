// Restores of quarantined files to their former paths.
//
// Safety against users changing the shares (the service runs as root): a
// restore writes only into the former directory opened without following
// a symbolic link as its last component (see zntrusteddir.h), never
// replaces anything (so never writes through a link at the former path),
// and creates no directory. The record stays, marked, until the file is
// back; a failed move clears the mark, so the listing always matches the
// quarantine directory.

#include <QHash>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "kx2dbsqlite.h"
#include "kx2journals.h"
#include "kx2values.h"
#include "znquarantinekeeper.h"
#include "znquarantinemarks.h"
#include "znrawpath.h"
#include "zntrace.h"
#include "zntrusteddir.h"

namespace {

// Moves a quarantined file back across file systems. The copy is written
// as an unnamed file in the former directory, with the owner, group and
// mode of the quarantined file, and linked in under its name only when
// complete (znCopyInto), so a crash leaves nothing half-written there and
// an existing name is never replaced. The quarantined file goes only after
// that; if it cannot, both stay (false) and nothing the user owns is
// deleted. File systems without unnamed files refuse the restore.
bool restoreAcross(const ZNTrustedEntry& source, const struct stat& info,
                   const ZNTrustedEntry& target)
{
    KX2UniqueFd in(::openat(source.dir.get(), source.name.constData(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened;
    if (!in.isValid() || ::fstat(in.get(), &opened) != 0 || opened.st_ino != info.st_ino
        || opened.st_dev != info.st_dev || !S_ISREG(opened.st_mode)
        || !znCopyInto(in.get(), opened, target.dir.get(), target.name))
        return false;
    return ::unlinkat(source.dir.get(), source.name.constData(), 0) == 0;
}

// Why `row` cannot be restored now; empty when it can.
QString restoreRefusal(const QJsonObject& row)
{
    const QString former = row.value(QLatin1String("path")).toString();
    const QString quarantined = row.value(QLatin1String("quarantined")).toString();
    if (toInt(row.value(QLatin1String("pending"))) != kPendingNone)
        return QStringLiteral("隔离文件正在处理中: ") + quarantined;
    const ZNTrustedEntry target(znFormerRawPath(row));
    struct stat info;
    if (!target.dir.isValid())
        return QStringLiteral("还原位置的目录不可用: ") + former;
    if (target.stat(info))
        return QStringLiteral("还原位置中同名文件已存在: ") + former;
    if (!ZNTrustedEntry(znRawPath(quarantined)).stat(info) || !S_ISREG(info.st_mode))
        return QStringLiteral("隔离区文件不存在，无法还原: ") + quarantined;
    return QString();
}

} // namespace

KX2Status ZNQuarantineKeeper::restore(const QList<int>& numbers)
{
    QList<int> queued;
    {
        KX2MutexLocker lock(filesMutex);
        QList<QJsonObject> rows;
        const QString select =
            QStringLiteral("SELECT ift_no AS iftno, ift_path AS path, ift_rawpath AS rawpath, "
                           "ift_quarantined AS quarantined, ift_pending AS pending "
                           "FROM t_infectes WHERE ift_no IN ");
        const KX2Status selected =
            znSelectByNumbers(store, select, numbers, QStringLiteral(" ORDER BY ift_no;"), rows);
        if (!selected.ok()) {
            const QString error = selected.message();
            znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + error);
            return KX2Status::failure(KX2ErrorCode::DatabaseFailed,
                                      QStringLiteral("还原隔离区文件失败: ") + error);
        }
        QString refusal;
        for (const QJsonObject& row : qAsConst(rows)) {
            const QString reason = restoreRefusal(row);
            if (reason.isEmpty()) {
                queued << toInt(row.value(QLatin1String("iftno")));
                continue;
            }
            znTrace(ZNTraceBits::FileFailures, reason);
            refusal = reason;
        }
        if (queued.isEmpty()) {
            return KX2Status::failure(
                KX2ErrorCode::NotExists,
                refusal.isEmpty() ? QStringLiteral("没有找到需要还原的隔离文件") : refusal);
        }
        // The records stay, marked, until the keeper has moved their files.
        const KX2Status marked = setMark(queued, kPendingRestore);
        if (!marked.ok()) {
            const QString error = marked.message();
            znTrace(ZNTraceBits::Failures, QStringLiteral("标记还原纪录失败: ") + error);
            return KX2Status::failure(KX2ErrorCode::DatabaseFailed,
                                      QStringLiteral("还原隔离区文件失败: ") + error);
        }
    }
    queueRestores(queued);
    return KX2Status::success();
}

void ZNQuarantineKeeper::queueRestores(const QList<int>& numbers)
{
    {
        KX2MutexLocker lock(jobsMutex);
        restores << numbers;
    }
    wake();
}

void ZNQuarantineKeeper::restoreQueued(const QList<int>& numbers)
{
    QList<QJsonObject> rows;
    const KX2Status read = store.run(rows, QStringLiteral("infectes_restoring"));
    if (!read.ok()) {
        // The marks stay; the next start settles them.
        znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + read.message());
        return;
    }
    // A request whose record went meanwhile (deleted by a removal) is void.
    QHash<int, QJsonObject> records;
    for (const QJsonObject& row : qAsConst(rows))
        records.insert(toInt(row.value(QLatin1String("iftno"))), row);
    QList<int> restored, failed;
    for (int number : numbers) {
        const QJsonObject record = records.take(number);
        if (!record.isEmpty())
            (restoreOne(record) ? restored : failed) << number;
    }
    int changes = 0;
    const KX2Status deleted =
        restored.isEmpty() ? KX2Status::success() : deleteRecords(restored, &changes);
    if (!deleted.ok())
        znTrace(ZNTraceBits::Failures, QStringLiteral("删除隔离纪录失败: ") + deleted.message());
    // A failed move keeps its file listed.
    if (!failed.isEmpty())
        setMark(failed, kPendingNone);
}

bool ZNQuarantineKeeper::restoreOne(const QJsonObject& record)
{
    const QString former = record.value(QLatin1String("path")).toString();
    const QString quarantined = record.value(QLatin1String("quarantined")).toString();
    const ZNTrustedEntry source(znRawPath(quarantined));
    const ZNTrustedEntry target(znFormerRawPath(record));
    struct stat info;
    if (!source.stat(info) || !S_ISREG(info.st_mode)) {
        znTrace(ZNTraceBits::Failures,
                QStringLiteral("隔离区文件不存在，无法还原: ") + quarantined);
        return false;
    }
    if (!target.dir.isValid()) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("还原位置的目录不可用: ") + former);
        return false;
    }
    bool moved = znRenameNoReplace(source.dir.get(), source.name, target.dir.get(), target.name);
    if (!moved && errno == EXDEV)
        moved = restoreAcross(source, info, target);
    if (!moved) {
        const int error = errno;
        znTrace(ZNTraceBits::Failures,
                (error == EEXIST ? QStringLiteral("还原位置中同名文件已存在: ")
                                 : QStringLiteral("还原文件失败: "))
                    + former);
        return false;
    }
    znEvent("[restore] " + quarantined.toUtf8() + " -> " + znFormerRawPath(record));
    return true;
}

// A removal or restore a crash interrupted: done when the file is no longer
// in the quarantine (the record goes), not done otherwise (the mark is
// cleared). Without the quarantine directory itself nothing can be told,
// so the record stays.
void ZNQuarantineKeeper::recoverManagedRecord(const QJsonObject& pendingRow)
{
    const int mark = toInt(pendingRow.value(QLatin1String("pending")));
    if (mark != kPendingRestore && mark != kPendingRemove)
        return;
    const QJsonObject key{
        {QStringLiteral("iftno"), toInt(pendingRow.value(QLatin1String("iftno")))}};
    const ZNTrustedEntry file(znRawPath(pendingRow.value(QLatin1String("quarantined")).toString()));
    struct stat info;
    if (file.dir.isValid() && !file.stat(info))
        store.call(QStringLiteral("infectes_drop"), key);
    else
        store.call(QStringLiteral("infectes_mark"),
                   QJsonObject{{QStringLiteral("iftno"), key.value(QLatin1String("iftno"))},
                               {QStringLiteral("pending"), kPendingNone}});
}
