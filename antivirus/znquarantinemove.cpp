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
#include <climits>
#include <cstring>

#include "kx2dbsqlite.h"
#include "kx2values.h"
#include "znalerts.h"
#include "znquarantinekeeper.h"

#include "znquarantinemarks.h"
#include "znrawpath.h"
#include "znstorecolumns.h"
#include "zntrace.h"
#include "znworkarea.h"

#include <algorithm>
#include <cstdio>

namespace {

// Longest extension kept whole when a name must be shortened.
const int kLongestExtension = 32;

// `name` (valid UTF-8) shortened to at most `limit` bytes: the part before
// its extension loses characters from its end, the extension stays.
QByteArray fitName(const QByteArray& name, int limit)
{
    if (name.size() <= limit)
        return name;
    const int dot = name.lastIndexOf('.');
    const QByteArray extension =
        dot > 0 && name.size() - dot <= kLongestExtension ? name.mid(dot) : QByteArray();
    QByteArray stem = name.left(qMax(0, limit - extension.size()));
    // Never end in the middle of a character.
    while (!stem.isEmpty() && (uchar(stem.back()) & 0xC0) == 0x80)
        stem.chop(1);
    if (!stem.isEmpty() && uchar(stem.back()) >= 0xC0)
        stem.chop(1);
    return stem + extension;
}

// The quarantine name for attempt `n` (1: the name itself, then ".002",
// ".003", ...), shortened to the directory's name limit.
QByteArray candidateName(const QByteArray& base, int n, long limit)
{
    const QByteArray counter =
        n < 2 ? QByteArray() : '.' + QByteArray::number(n).rightJustified(3, '0');
    return fitName(base, int(limit) - counter.size()) + counter;
}

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

KX2Status znSelectByNumbers(KX2DBSqlite& store, const QString& head, const QList<int>& numbers,
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
        const KX2Status status =
            store.runSql(changes, lastRowId, part, head + znSqlNumberList(slice) + tail);
        if (!status.ok())
            return status;
        rows += part;
    }
    return KX2Status::success();
}

// Columns that older stores lack: the pending mark of a move in progress,
// the raw path of a file whose name is not UTF-8, the scanned file's
// identity, whether the file moved, and why not.
KX2Status ZNQuarantineKeeper::prepareStore()
{
    return znAddMissingColumns(store, "t_infectes",
                               {
                                   {"ift_pending", "INTEGER DEFAULT 0"},
                                   {"ift_rawpath", "TEXT DEFAULT ''"},
                                   {"ift_identity", "TEXT DEFAULT ''"},
                                   {"ift_moved", "INTEGER DEFAULT 1"},
                                   {"ift_reason", "TEXT DEFAULT ''"},
                               });
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
// quarantine, undone otherwise. A copy across file systems has no name
// until it is complete (znCopyInto), so there is no partial file to clean
// up, and nothing but the record's own target is ever deleted.
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

// Every detection ends with a record: the file moved (ift_moved 1), or it
// stayed where it was (ift_moved 0, no quarantined path) with the reason
// traced.
bool ZNQuarantineKeeper::quarantineOne(const ZNDetection& detection)
{
    const QByteArray file = detection.file();
    const QByteArray name =
        znBaseName(detection.relative.isEmpty() ? detection.root : detection.relative);
    // Only into a quarantine of the service's own in a work area no user
    // can change: a directory a user made there in advance could read the
    // file, or lead the move anywhere.
    KX2UniqueFd quarantine = znOpenQuarantineDir(detection.quarantine);
    KX2UniqueFd parent = znOpenDirBeneath(detection.root, znDirName(detection.relative));
    struct stat info;
    if (!quarantine.isValid()) {
        recordInPlace(detection, QStringLiteral("隔离区不可用，文件未移动: "),
                      QStringLiteral("the quarantine directory cannot be used"));
        return false;
    }
    // Only the file that was scanned moves: not a link, directory or FIFO
    // put in its place, nor another file renamed there since.
    if (!parent.isValid()
        || ::fstatat(parent.get(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0
        || !S_ISREG(info.st_mode) || znFileIdentity(info) != detection.identity
        || info.st_ctim.tv_sec != detection.changedSec
        || info.st_ctim.tv_nsec != detection.changedNsec) {
        recordInPlace(detection, QStringLiteral("隔离文件已变化，未移动: "),
                      QStringLiteral("the file changed after it was scanned"));
        return false;
    }

    const QString readableName = znDisplayPath(name);
    const QByteArray baseTarget = readableName.toUtf8();
    long limit = ::fpathconf(quarantine.get(), _PC_NAME_MAX);
    if (limit <= 0)
        limit = NAME_MAX;
    QByteArray target = candidateName(baseTarget, 1, limit);
    for (int n = 2; nameTaken(quarantine.get(), detection.quarantine, target); ++n)
        target = candidateName(baseTarget, n, limit);
    const QByteArray targetPath = detection.quarantine + '/' + target;

    int changes = 0, recordNo = 0;
    QJsonObject intent = recordValues(detection);
    intent.insert(QStringLiteral("qrafile"), QString::fromUtf8(targetPath));
    intent.insert(QStringLiteral("pending"), kPendingQuarantine);
    const KX2Status recorded = store.run(changes, recordNo, QStringLiteral("infectes_intent"), intent);
    if (!recorded.ok() || recordNo <= 0) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("数据库执行失败: ") + recorded.message());
        return false;
    }
    const QJsonObject key{{QStringLiteral("iftno"), recordNo}};
    bool moved = znRenameNoReplace(parent.get(), name, quarantine.get(), target);
    if (!moved && errno == EXDEV)
        moved = znMoveAcross(parent.get(), name, detection.identity, quarantine.get(), target);
    if (!moved) {
        const QString reason = QString::fromLocal8Bit(::strerror(errno));
        znTrace(ZNTraceBits::Failures,
                QStringLiteral("移动隔离文件失败: ") + znDisplayPath(file) + QStringLiteral(" -> ")
                    + QString::fromUtf8(targetPath) + QStringLiteral(": ") + reason);
        znEvent(QStringLiteral("[left-in-place] task=%1 path=").arg(detection.taskNo).toUtf8()
                + file + " reason=" + reason.toUtf8());
        const QString why = QStringLiteral("the move failed: ") + reason;
        const KX2Status stayed = store.run(
            QStringLiteral("infectes_stayed"),
            QJsonObject{{QStringLiteral("iftno"), recordNo}, {QStringLiteral("reason"), why}});
        alertDetection(detection, "left in place", QByteArray(), why);
        if (!stayed.ok())
            znTrace(ZNTraceBits::Failures, QStringLiteral("数据库执行失败: ") + stayed.message());
        return false;
    }
    const KX2Status settled = store.run(QStringLiteral("infectes_settle"), key);
    if (!settled.ok())
        znTrace(ZNTraceBits::Failures, QStringLiteral("数据库执行失败: ") + settled.message());
    znEvent(QStringLiteral("[quarantine] task=%1 path=").arg(detection.taskNo).toUtf8() + file
            + " -> " + targetPath);
    alertDetection(detection, "quarantined", targetPath, QString());
    return true;
}

void ZNQuarantineKeeper::alertDetection(const ZNDetection& detection, const char* action,
                                        const QByteArray& quarantined, const QString& why)
{
    alerts.notify("detect",
                  {{"ZN_PATH", detection.file()},
                   {"ZN_VIRUS", detection.virus.toUtf8()},
                   {"ZN_ACTION", action},
                   {"ZN_QUARANTINED", quarantined},
                   {"ZN_REASON", why.toUtf8()},
                   {"ZN_TASK", QByteArray::number(detection.taskNo)},
                   {"ZN_MISSION", QByteArray::number(detection.missionNo)}});
}

// The values of a detection's record, without its quarantined path.
QJsonObject ZNQuarantineKeeper::recordValues(const ZNDetection& detection) const
{
    const QByteArray file = detection.file();
    const QByteArray name =
        znBaseName(detection.relative.isEmpty() ? detection.root : detection.relative);
    return QJsonObject{
        {QStringLiteral("msnno"), detection.missionNo},
        {QStringLiteral("tskno"), detection.taskNo},
        {QStringLiteral("filename"), znDisplayPath(name)},
        {QStringLiteral("path"), znDisplayPath(file)},
        {QStringLiteral("virus"), detection.virus},
        {QStringLiteral("rawpath"), znIsUtf8(file) ? QString() : QString::fromLatin1(file.toHex())},
        {QStringLiteral("identity"), detection.identity},
    };
}

// A detection whose file cannot be moved: traced with `reason` and
// recorded as left in place.
void ZNQuarantineKeeper::recordInPlace(const ZNDetection& detection, const QString& reason,
                                       const QString& why)
{
    QJsonObject values = recordValues(detection);
    QList<QJsonObject> handled;
    if (store.call(handled, QStringLiteral("infectes_handled"), values)
        && toInt(handled.value(0).value(QLatin1String("n"))) > 0)
        return; // a second detection of a file already quarantined
    znTrace(ZNTraceBits::Failures, reason + znDisplayPath(detection.file()));
    znEvent(QStringLiteral("[left-in-place] task=%1 path=").arg(detection.taskNo).toUtf8()
            + detection.file() + " reason=" + reason.toUtf8());
    values.insert(QStringLiteral("reason"), why);
    const KX2Status recorded = store.run(QStringLiteral("infectes_inplace"), values);
    alertDetection(detection, "left in place", QByteArray(), why);
    if (!recorded.ok())
        znTrace(ZNTraceBits::Failures, QStringLiteral("数据库执行失败: ") + recorded.message());
}
