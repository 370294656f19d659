// The quarantine step: infected files move into the work area's ".qra"
// directory and get a record in t_infectes.
//
// Crash safety: the record is written first, marked pending with the
// file's raw path and identity; then the file moves; then the mark is
// cleared. A restart finds every pending record and finishes or undoes its
// move (recoverQuarantine), so after a kill at any moment a file is either
// still in place or in the quarantine with exactly one record.
//
// Safety against users changing the share under the service: the file is
// reached through directories opened without following links below the
// task's own path, and it must still be the very file that was scanned
// (same device and inode) and a regular file; otherwise nothing moves.

#include <QDir>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "kx2dbsqlite.h"
#include "kx2values.h"
#include "znquarantinekeeper.h"

#include "znquarantinemarks.h"
#include "znrawpath.h"
#include "zntrace.h"

#include <algorithm>
#include <cstdio>

namespace {

// Columns that older stores lack: the pending mark of a move in progress,
// the raw path of a file whose name is not UTF-8, and the scanned file's
// identity.
const char* const kBookkeepingColumns[][2] = {
    {"ift_pending", "INTEGER DEFAULT 0"},
    {"ift_rawpath", "TEXT DEFAULT ''"},
    {"ift_identity", "TEXT DEFAULT ''"},
};

} // namespace

QString znSqlNumberList(const QList<int>& numbers)
{
    // Beyond this many numbers the list goes to SQLite as one JSON text:
    // a literal list costs SQLite an expression node per number (about
    // 140 bytes each while the statement is prepared), a JSON array about
    // 40 bytes per number while it runs.
    const int kLiteralNumbers = 1000;
    const bool large = numbers.size() > kLiteralNumbers;
    const QLatin1String head =
        large ? QLatin1String("(SELECT value FROM json_each('[") : QLatin1String("(");
    const QLatin1String tail = large ? QLatin1String("]'))") : QLatin1String(")");
    // The exact length first, so that the text is allocated once.
    char digits[16];
    int length = head.size() + tail.size() + numbers.size();
    for (int number : numbers)
        length += std::snprintf(digits, sizeof digits, "%d", number);
    QString text;
    text.reserve(length);
    text += head;
    for (int i = 0; i < numbers.size(); ++i) {
        if (i > 0)
            text += QLatin1Char(',');
        const int written = std::snprintf(digits, sizeof digits, "%d", numbers.at(i));
        text += QLatin1String(digits, written);
    }
    text += tail;
    return text;
}

bool znSelectByNumbers(KX2DBSqlite& store, const QString& head, const QList<int>& numbers,
                       const QString& tail, QList<QJsonObject>& rows)
{
    // Slices small enough for literal lists: SQLite holds one slice at a
    // time. Ascending slices keep an ascending order of the rows.
    const int kSlice = 1000;
    std::vector<int> sorted(numbers.begin(), numbers.end());
    std::sort(sorted.begin(), sorted.end());
    for (size_t from = 0; from < sorted.size(); from += kSlice) {
        QList<int> slice;
        for (size_t i = from; i < std::min(sorted.size(), from + kSlice); ++i)
            slice << sorted[i];
        QList<QJsonObject> part;
        int changes = 0, lastRowId = 0;
        if (!store.exec(changes, lastRowId, part, head + znSqlNumberList(slice) + tail))
            return false;
        rows += part;
    }
    return true;
}

bool ZNQuarantineKeeper::prepareStore()
{
    int changes = 0, lastRowId = 0;
    QList<QJsonObject> columns;
    if (!store.exec(changes, lastRowId, columns, QStringLiteral("PRAGMA table_info(t_infectes);")))
        return false;
    QStringList present;
    for (const QJsonObject& column : columns)
        present << column.value(QLatin1String("name")).toString();
    bool ok = true;
    for (const auto& column : kBookkeepingColumns) {
        if (present.contains(QLatin1String(column[0])))
            continue;
        const QString sql = QStringLiteral("ALTER TABLE t_infectes ADD COLUMN %1 %2;")
                                .arg(QLatin1String(column[0]), QLatin1String(column[1]));
        if (!store.exec(changes, lastRowId, sql)) {
            znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + store.lastError());
            ok = false;
        }
    }
    return ok;
}

void ZNQuarantineKeeper::recover()
{
    KX2MutexLocker lock(filesMutex);
    QList<QJsonObject> rows;
    if (!store.call(rows, QStringLiteral("infectes_pending")))
        return;
    for (const QJsonObject& row : qAsConst(rows)) {
        if (toInt(row.value(QLatin1String("pending"))) == kPendingQuarantine)
            recoverMove(row);
        else
            recoverManagedRecord(row);
    }
}

// A quarantine move a crash interrupted: finished when the file is in the
// quarantine, undone otherwise.
void ZNQuarantineKeeper::recoverMove(const QJsonObject& row)
{
    const QJsonObject key{{QStringLiteral("iftno"), toInt(row.value(QLatin1String("iftno")))}};
    const QString hex = row.value(QLatin1String("rawpath")).toString();
    const QByteArray source = hex.isEmpty() ? znRawPath(row.value(QLatin1String("path")).toString())
                                            : QByteArray::fromHex(hex.toLatin1());
    const QByteArray target = znRawPath(row.value(QLatin1String("quarantined")).toString());
    const QString identity = row.value(QLatin1String("identity")).toString();

    struct stat info;
    const bool targetThere = znLstat(target, info);
    const bool renamedInPlace = targetThere && znFileIdentity(info) == identity;
    const bool sourceThere = znLstat(source, info) && znFileIdentity(info) == identity;
    ::unlink((target + znPartSuffix()).constData());
    if (renamedInPlace || (targetThere && !sourceThere)) {
        store.call(QStringLiteral("infectes_settle"), key);
        return;
    }
    // Not moved (or a copy that never replaced its source): the file is
    // still in place, and any copy of it in the quarantine goes.
    if (targetThere)
        ::unlink(target.constData());
    store.call(QStringLiteral("infectes_drop"), key);
}

// A name stays taken while a record names it, even when its file is gone:
// restoring or deleting that record must never reach a newer file.
bool ZNQuarantineKeeper::nameTaken(int quarantine, const QByteArray& directory,
                                   const QByteArray& name)
{
    struct stat taken;
    if (::fstatat(quarantine, name.constData(), &taken, AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    QList<QJsonObject> found;
    const QJsonObject named{{QStringLiteral("qrafile"), QString::fromUtf8(directory + '/' + name)}};
    return store.call(found, QStringLiteral("infectes_named"), named)
        && toInt(found.value(0).value(QLatin1String("n"))) != 0;
}

bool ZNQuarantineKeeper::quarantineOne(const ZNDetection& detection)
{
    const QByteArray file = detection.file();
    const QByteArray name =
        znBaseName(detection.relative.isEmpty() ? detection.root : detection.relative);
    QDir().mkpath(QString::fromUtf8(detection.quarantine));
    KX2UniqueFd quarantine(
        ::open(detection.quarantine.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    KX2UniqueFd parent = znOpenDirBeneath(detection.root, znDirName(detection.relative));
    struct stat info;
    // Only the file that was scanned moves: not a link, directory or FIFO
    // put in its place, nor another file renamed there since.
    if (!quarantine.isValid() || !parent.isValid()
        || ::fstatat(parent.get(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0
        || !S_ISREG(info.st_mode) || znFileIdentity(info) != detection.identity
        || info.st_ctim.tv_sec != detection.changedSec
        || info.st_ctim.tv_nsec != detection.changedNsec) {
        znTrace(ZNTraceBits::FileFailures,
                QStringLiteral("隔离文件已变化，未移动: ") + znDisplayPath(file));
        return false;
    }

    const QString readableName = znDisplayPath(name);
    const QByteArray baseTarget = readableName.toUtf8();
    QByteArray target = baseTarget;
    for (int n = 2; nameTaken(quarantine.get(), detection.quarantine, target); ++n)
        target = baseTarget + '.' + QByteArray::number(n).rightJustified(3, '0');
    const QByteArray targetPath = detection.quarantine + '/' + target;

    int changes = 0, recordNo = 0;
    const QJsonObject intent{
        {QStringLiteral("msnno"), detection.missionNo},
        {QStringLiteral("tskno"), detection.taskNo},
        {QStringLiteral("filename"), readableName},
        {QStringLiteral("path"), znDisplayPath(file)},
        {QStringLiteral("qrafile"), QString::fromUtf8(targetPath)},
        {QStringLiteral("virus"), detection.virus},
        {QStringLiteral("pending"), kPendingQuarantine},
        {QStringLiteral("rawpath"), znIsUtf8(file) ? QString() : QString::fromLatin1(file.toHex())},
        {QStringLiteral("identity"), detection.identity},
    };
    if (!store.call(changes, recordNo, QStringLiteral("infectes_intent"), intent)
        || recordNo <= 0) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("数据库执行失败: ") + store.lastError());
        return false;
    }
    const QJsonObject key{{QStringLiteral("iftno"), recordNo}};
    bool moved = znRenameNoReplace(parent.get(), name, quarantine.get(), target);
    if (!moved && errno == EXDEV)
        moved = znMoveAcross(parent.get(), name, detection.identity, quarantine.get(), target);
    if (!moved) {
        znTrace(ZNTraceBits::Failures,
                QStringLiteral("移动隔离文件失败: ") + znDisplayPath(file) + QStringLiteral(" -> ")
                    + QString::fromUtf8(targetPath));
        store.call(QStringLiteral("infectes_drop"), key);
        return false;
    }
    if (!store.call(QStringLiteral("infectes_settle"), key))
        znTrace(ZNTraceBits::Failures, QStringLiteral("数据库执行失败: ") + store.lastError());
    return true;
}
