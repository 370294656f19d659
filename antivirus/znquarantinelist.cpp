// Quarantine and scan-log management: paged listings of t_infectes and
// t_log, deletion of log rows, deletion and restore of quarantined files,
// and pruning of records whose quarantined file has vanished.
//
// Everything that touches quarantined files or their records holds
// quarantineMutex, as the quarantine step does, so a file is never
// restored and deleted at once. A list of record numbers goes into one
// statement as "IN (n,n,...)": SQLite limits the depth of an OR chain but
// not the length of an IN list, and one statement is atomic on the shared
// connection (no explicit transaction: other threads use it meanwhile).
//
// Crash safety: a record is marked (ift_pending 2 restore, 3 removal)
// before its file is touched and deleted only once the file operation
// succeeded; a failed one clears the mark, so the listing always matches
// the quarantine directory. recoverManagedRecord() settles the marks a
// crash left from what is on disk: after a kill at any moment a quarantined
// file is either back at its former path (record gone) or still in the
// quarantine with its record.
//
// Safety against users changing the shares (the service runs as root): a
// restore writes only into the former directory opened without following
// a symbolic link as its last component, never replaces anything (so never
// writes through a link at the former path), and creates no directory.

#include <QHash>
#include <QJsonArray>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>

#include "kx2journals.h"
#include "kx2values.h"
#include "znantivirus.h"
#include "znantivirus_p.h"
#include "znrawpath.h"
#include "zntrace.h"

namespace {

const int kPendingNone = 0;
const int kPendingRestore = 2;
const int kPendingRemove = 3;

// "(1,2,3)": the numbers are ints, so the text cannot carry anything else.
// The former path as the kernel knows it: names that are not UTF-8 are kept
// in hexadecimal beside the readable form.
QByteArray formerRawPath(const QJsonObject& record)
{
    const QString hex = record.value(QLatin1String("rawpath")).toString();
    return hex.isEmpty() ? znRawPath(record.value(QLatin1String("path")).toString())
                         : QByteArray::fromHex(hex.toLatin1());
}

// `path` (absolute) without ".", ".." and empty components, taken by name
// alone; raw bytes stay as they are.
QByteArray lexicalPath(const QByteArray& path)
{
    QList<QByteArray> kept;
    for (const QByteArray& part : path.split('/')) {
        if (part == "..") {
            if (!kept.isEmpty())
                kept.removeLast();
        } else if (!part.isEmpty() && part != ".") {
            kept << part;
        }
    }
    QByteArray clean;
    for (const QByteArray& part : qAsConst(kept))
        clean += '/' + part;
    return clean.isEmpty() ? QByteArray("/") : clean;
}

// Opens the directory `path` (absolute). A symbolic link on the way is
// followed only when root (or the service's own user) owns it: such links
// are the administrator's, while a user who owns a directory on the way
// could otherwise point the service anywhere. The last component is never
// a link. Each link is checked and read through one descriptor of the link
// itself, and its target walked again by the same rules, so nothing can be
// swapped between the check and the use. Invalid when any step fails.
ZNFd openTrustedDir(const QByteArray& path, int links = 0)
{
    const int kMostLinks = 16;
    const int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    if (!path.startsWith('/') || links > kMostLinks)
        return ZNFd();
    const QList<QByteArray> parts = path.split('/');
    ZNFd dir(::open("/", flags));
    QByteArray walked;
    for (int i = 0; i < parts.size() && dir.isValid(); ++i) {
        const QByteArray& part = parts.at(i);
        if (part.isEmpty() || part == ".")
            continue;
        if (part == "..")
            return ZNFd();
        ZNFd next(::openat(dir.get(), part.constData(), flags));
        if (next.isValid()) {
            dir = std::move(next);
            walked += '/' + part;
            continue;
        }
        const bool last = i == parts.size() - 1
            || std::all_of(parts.begin() + i + 1, parts.end(), [](const QByteArray& p) { return p.isEmpty(); });
        if (last || (errno != ELOOP && errno != ENOTDIR))
            return ZNFd();
        ZNFd link(::openat(dir.get(), part.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat info;
        if (!link.isValid() || ::fstat(link.get(), &info) != 0 || !S_ISLNK(info.st_mode)
            || (info.st_uid != 0 && info.st_uid != ::geteuid()))
            return ZNFd();
        QByteArray target(PATH_MAX, Qt::Uninitialized);
        const ssize_t size = ::readlinkat(link.get(), "", target.data(), size_t(target.size()));
        if (size <= 0 || size >= target.size())
            return ZNFd();
        target.truncate(int(size));
        // The directories walked so far hold no link, so a ".." in a
        // relative target can be taken lexically.
        const QByteArray rest = QList<QByteArray>(parts.mid(i + 1)).join('/');
        const QByteArray joined = (target.startsWith('/') ? target : walked + '/' + target) + '/' + rest;
        return openTrustedDir(lexicalPath(joined), links + 1);
    }
    return dir;
}

// An absolute path as its directory, opened by openTrustedDir(), and the
// name in it. `dir` is invalid when the path is unusable, the directory is
// missing or is a link, or a link on the way is not the administrator's.
struct Entry
{
    ZNFd dir;
    QByteArray name;

    explicit Entry(const QByteArray& path) : name(znBaseName(path))
    {
        if (path.startsWith('/') && !name.isEmpty() && name != "." && name != "..")
            dir = openTrustedDir(znDirName(path));
    }
    bool stat(struct stat& info) const
    {
        return dir.isValid() && ::fstatat(dir.get(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    }
};

bool pathExists(const QString& path)
{
    struct stat info;
    return znLstat(znRawPath(path), info);
}

// Moves a quarantined file back across file systems. The copy is written
// as an unnamed file in the former directory and linked in under its name
// only when complete, so a crash leaves nothing half-written there and an
// existing name is never replaced. The quarantined file goes only after
// that; if it cannot, both stay (false) and nothing the user owns is
// deleted. File systems without unnamed files refuse the restore.
bool restoreAcross(const Entry& source, const struct stat& info, const Entry& target)
{
    ZNFd in(::openat(source.dir.get(), source.name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat opened;
    if (!in.isValid() || ::fstat(in.get(), &opened) != 0 || opened.st_ino != info.st_ino
        || opened.st_dev != info.st_dev || !S_ISREG(opened.st_mode))
        return false;
    ZNFd out(::openat(target.dir.get(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (!out.isValid() || !znCopyContent(in.get(), out.get())
        || ::fchown(out.get(), opened.st_uid, opened.st_gid) != 0
        || ::fchmod(out.get(), opened.st_mode & 07777) != 0 || ::fsync(out.get()) != 0)
        return false;
    const QByteArray handle = "/proc/self/fd/" + QByteArray::number(out.get());
    if (::linkat(AT_FDCWD, handle.constData(), target.dir.get(), target.name.constData(), AT_SYMLINK_FOLLOW) != 0)
        return false;
    ::fsync(target.dir.get());
    return ::unlinkat(source.dir.get(), source.name.constData(), 0) == 0;
}

} // namespace

// --- Listings ---------------------------------------------------------------

bool ZNAntiVirus::quarantinedAlload(KX2Journals& journal, QJsonObject& out, int page, int ofpage)
{
    QList<QJsonObject> counted;
    if (!d->database.call(counted, QStringLiteral("quarantined_reccount"))) {
        journal.setErr(KX2ErrorCode::DatabaseFailed, QStringLiteral("取隔离文件总数失败: ") + d->database.lastError());
        znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + d->database.lastError());
        return false;
    }
    if (counted.isEmpty()) {
        journal.setErr(KX2ErrorCode::DatabaseFailed, QStringLiteral("取隔离文件总数返回结果异常"));
        return false;
    }
    const int reccount = toInt(counted.first().value(QLatin1String("reccount")));
    if (reccount <= 0)
        return true;
    QList<QJsonObject> rows;
    const QJsonObject window{{QStringLiteral("page"), page}, {QStringLiteral("ofpage"), ofpage}};
    if (!d->database.call(rows, QStringLiteral("quarantined_alload"), window)) {
        journal.setErr(KX2ErrorCode::DatabaseFailed, QStringLiteral("取隔离文件内容失败: ") + d->database.lastError());
        znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + d->database.lastError());
        return false;
    }
    QJsonArray records;
    for (QJsonObject row : qAsConst(rows)) {
        row.insert(QStringLiteral("removed"), pathExists(row.value(QLatin1String("quarantined")).toString()) ? 0 : 1);
        records.append(row);
    }
    out.insert(QStringLiteral("page"), page);
    out.insert(QStringLiteral("ofpage"), ofpage);
    out.insert(QStringLiteral("reccount"), reccount);
    out.insert(QStringLiteral("records"), records);
    return true;
}

bool ZNAntiVirus::logAlload(KX2Journals& journal, QJsonObject& out, int page, int ofpage)
{
    QList<QJsonObject> counted;
    if (!d->database.call(counted, QStringLiteral("log_reccount"))) {
        journal.setErr(KX2ErrorCode::DatabaseFailed, QStringLiteral("取日志总数失败: ") + d->database.lastError());
        znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + d->database.lastError());
        return false;
    }
    const int reccount = toInt(counted.value(0).value(QLatin1String("reccount")));
    if (counted.isEmpty() || reccount <= 0) {
        znTrace(ZNTraceBits::TaskSummary, QStringLiteral("没有日志纪录"));
        return !counted.isEmpty();
    }
    QList<QJsonObject> rows;
    const QJsonObject window{{QStringLiteral("page"), page}, {QStringLiteral("ofpage"), ofpage}};
    if (!d->database.call(rows, QStringLiteral("log_alload"), window)) {
        journal.setErr(KX2ErrorCode::DatabaseFailed, QStringLiteral("取日志内容失败: ") + d->database.lastError());
        znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + d->database.lastError());
        return false;
    }
    static const char* const kNumbers[] = {"logno", "state", "times", "totality", "resolved", "infectes"};
    static const char* const kAsStored[] = {"file", "path", "starttime", "endtime"};
    QJsonArray records;
    for (const QJsonObject& row : qAsConst(rows)) {
        QJsonObject record;
        for (const char* key : kNumbers)
            record.insert(QLatin1String(key), toInt(row.value(QLatin1String(key))));
        for (const char* key : kAsStored)
            record.insert(QLatin1String(key), row.value(QLatin1String(key)));
        records.append(record);
    }
    out.insert(QStringLiteral("page"), page);
    out.insert(QStringLiteral("ofpage"), ofpage);
    out.insert(QStringLiteral("reccount"), reccount);
    out.insert(QStringLiteral("records"), records);
    return true;
}

// --- Deletions ----------------------------------------------------------------

bool ZNAntiVirus::logRemove(KX2Journals& journal, const QList<int>& numbers)
{
    if (numbers.isEmpty())
        return false;
    const QString sql = QStringLiteral("DELETE FROM t_log WHERE log_no IN ") + ZNAntiVirusPrivate::sqlNumberList(numbers) + QLatin1Char(';');
    int changes = 0, lastRowId = 0;
    if (!d->database.exec(changes, lastRowId, sql))
        return d->databaseFailed(journal, QStringLiteral("删除日志失败: "));
    if (changes <= 0) {
        znTrace(ZNTraceBits::FileFailures, QStringLiteral("指定的参数(lognos)不存在: ") + sql);
        return false;
    }
    return true;
}

bool ZNAntiVirus::quarantinedRemove(KX2Journals& journal, const QList<int>& numbers)
{
    if (numbers.isEmpty())
        return false;
    std::lock_guard<std::mutex> lock(d->quarantineMutex);
    KX2DBSqlite& db = d->database;
    int changes = 0, lastRowId = 0;
    QList<QJsonObject> rows;
    const QString chosen = QStringLiteral(" WHERE ift_no IN ") + ZNAntiVirusPrivate::sqlNumberList(numbers);
    const QString select = QStringLiteral("SELECT ift_no AS iftno, ift_quarantined AS quarantined FROM t_infectes")
        + chosen + QStringLiteral(" ORDER BY ift_no;");
    // The mark goes on before any file is touched, so a crash in the middle
    // is settled at the next start.
    const QString mark = QStringLiteral("UPDATE t_infectes SET ift_pending = %1").arg(kPendingRemove) + chosen;
    if (!db.exec(changes, lastRowId, rows, select) || (!rows.isEmpty() && !db.exec(changes, lastRowId, mark))) {
        journal.setErr(KX2ErrorCode::DatabaseFailed, QStringLiteral("删除隔离区文件失败: ") + db.lastError());
        znTrace(ZNTraceBits::Failures, QStringLiteral("删除任务失败: ") + db.lastError());
        return false;
    }
    QList<int> gone, kept;
    for (const QJsonObject& row : qAsConst(rows)) {
        const QString path = row.value(QLatin1String("quarantined")).toString();
        const QByteArray raw = znRawPath(path);
        const Entry entry(raw);
        if (entry.dir.isValid())
            ::unlinkat(entry.dir.get(), entry.name.constData(), 0);
        struct stat info;
        // Without its directory the file is gone; a link in the directory's
        // place is not followed and the record stays.
        const bool stays = entry.dir.isValid() ? entry.stat(info) : znLstat(znDirName(raw), info);
        if (stays) {
            znTrace(ZNTraceBits::Failures, QStringLiteral("隔离区文件删除失败: ") + path);
            kept << toInt(row.value(QLatin1String("iftno")));
        } else {
            gone << toInt(row.value(QLatin1String("iftno")));
        }
    }
    int deleted = 0;
    if (!gone.isEmpty()) {
        if (db.exec(changes, lastRowId, QStringLiteral("DELETE FROM t_infectes WHERE ift_no IN ") + ZNAntiVirusPrivate::sqlNumberList(gone)))
            deleted = changes;
        else
            znTrace(ZNTraceBits::Failures, QStringLiteral("删除文件SQL失败: ") + db.lastError());
    }
    // Records that stay are settled again (a failed delete leaves records of
    // vanished files, which pruning removes).
    const QList<int> unsettled = deleted > 0 ? kept : kept + gone;
    if (!unsettled.isEmpty())
        db.exec(changes, lastRowId, QStringLiteral("UPDATE t_infectes SET ift_pending = %1 WHERE ift_no IN ")
                                        .arg(kPendingNone) + ZNAntiVirusPrivate::sqlNumberList(unsettled));
    return deleted > 0;
}

int ZNAntiVirus::quarantinedReduce(KX2Journals& journal)
{
    std::lock_guard<std::mutex> lock(d->quarantineMutex);
    KX2DBSqlite& db = d->database;
    QList<QJsonObject> rows;
    const QJsonObject whole{{QStringLiteral("page"), 1}, {QStringLiteral("ofpage"), 99999999}};
    if (!db.call(rows, QStringLiteral("quarantined_alload"), whole))
        return 0;
    QList<int> vanished;
    for (const QJsonObject& row : qAsConst(rows)) {
        if (!pathExists(row.value(QLatin1String("quarantined")).toString()))
            vanished << toInt(row.value(QLatin1String("iftno")));
    }
    if (vanished.isEmpty())
        return 0;
    int changes = 0, lastRowId = 0;
    // Only settled records: a marked one belongs to an operation a crash
    // interrupted, which the start-up recovery settles.
    if (!db.exec(changes, lastRowId, QStringLiteral("DELETE FROM t_infectes WHERE ift_pending = 0 AND ift_no IN ")
                                         + ZNAntiVirusPrivate::sqlNumberList(vanished))) {
        d->databaseFailed(journal, QStringLiteral("删除隔离区纪录失败: "));
        return 0;
    }
    return changes;
}

// --- Restore --------------------------------------------------------------------

bool ZNAntiVirus::quarantinedRestore(KX2Journals& journal, const QList<int>& numbers)
{
    if (numbers.isEmpty())
        return false;
    std::lock_guard<std::mutex> lock(d->quarantineMutex);
    KX2DBSqlite& db = d->database;
    int changes = 0, lastRowId = 0;
    QList<QJsonObject> rows;
    const QString select = QStringLiteral("SELECT ift_no AS iftno, ift_path AS path, ift_rawpath AS rawpath, "
                                          "ift_quarantined AS quarantined, ift_pending AS pending "
                                          "FROM t_infectes WHERE ift_no IN ")
        + ZNAntiVirusPrivate::sqlNumberList(numbers) + QStringLiteral(" ORDER BY ift_no;");
    if (!db.exec(changes, lastRowId, rows, select)) {
        journal.setErr(KX2ErrorCode::DatabaseFailed, QStringLiteral("删除隔离区文件失败: ") + db.lastError());
        znTrace(ZNTraceBits::Failures, QStringLiteral("删除任务失败: ") + db.lastError());
        return false;
    }
    QList<int> queued;
    QList<QJsonObject> requests;
    for (const QJsonObject& row : qAsConst(rows)) {
        const QString former = row.value(QLatin1String("path")).toString();
        const QString quarantined = row.value(QLatin1String("quarantined")).toString();
        if (toInt(row.value(QLatin1String("pending"))) != kPendingNone) {
            znTrace(ZNTraceBits::FileFailures, QStringLiteral("隔离文件正在处理中: ") + quarantined);
            continue;
        }
        const Entry target(formerRawPath(row));
        struct stat info;
        if (!target.dir.isValid()) {
            znTrace(ZNTraceBits::FileFailures, QStringLiteral("还原位置的目录不可用: ") + former);
            continue;
        }
        if (target.stat(info)) {
            znTrace(ZNTraceBits::FileFailures, QStringLiteral("还原位置中同名文件已存在: ") + former);
            continue;
        }
        if (!Entry(znRawPath(quarantined)).stat(info) || !S_ISREG(info.st_mode)) {
            znTrace(ZNTraceBits::Failures, QStringLiteral("隔离区文件不存在，无法还原: ") + quarantined);
            continue;
        }
        queued << toInt(row.value(QLatin1String("iftno")));
        requests << row;
    }
    if (queued.isEmpty())
        return false;
    // The records stay, marked, until the keeper has moved their files.
    if (!db.exec(changes, lastRowId, QStringLiteral("UPDATE t_infectes SET ift_pending = %1 WHERE ift_no IN ")
                                         .arg(kPendingRestore) + ZNAntiVirusPrivate::sqlNumberList(queued))) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("删除隔离纪录失败: ") + db.lastError());
        return false;
    }
    for (const QJsonObject& row : qAsConst(requests))
        d->restore.startRestore(row.value(QLatin1String("quarantined")).toString(),
                                row.value(QLatin1String("path")).toString());
    d->wakeQuarantineKeeper();
    return true;
}

void ZNAntiVirusPrivate::restoreStep()
{
    std::lock_guard<std::mutex> lock(quarantineMutex);
    QList<QJsonObject> requests;
    QJsonObject request;
    while (!background.isShuttingDown() && restore.pop(request)) {
        --restore.count;
        requests << request;
    }
    if (requests.isEmpty())
        return;
    QList<QJsonObject> rows;
    if (!database.call(rows, QStringLiteral("infectes_restoring"))) {
        // The marks stay; the next start settles them.
        znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + database.lastError());
        return;
    }
    // A request whose record went meanwhile (deleted by a removal) is void.
    QHash<QString, QJsonObject> records;
    for (const QJsonObject& row : qAsConst(rows))
        records.insert(row.value(QLatin1String("quarantined")).toString(), row);
    QList<int> restored, failed;
    for (const QJsonObject& queued : qAsConst(requests)) {
        const QJsonObject record = records.take(queued.value(QLatin1String("from")).toString());
        if (!record.isEmpty())
            (restoreOne(record) ? restored : failed) << toInt(record.value(QLatin1String("iftno")));
    }
    int changes = 0, lastRowId = 0;
    if (!restored.isEmpty()
        && !database.exec(changes, lastRowId, QStringLiteral("DELETE FROM t_infectes WHERE ift_no IN ")
                                                  + ZNAntiVirusPrivate::sqlNumberList(restored)))
        znTrace(ZNTraceBits::Failures, QStringLiteral("删除隔离纪录失败: ") + database.lastError());
    // A failed move keeps its file listed.
    if (!failed.isEmpty())
        database.exec(changes, lastRowId, QStringLiteral("UPDATE t_infectes SET ift_pending = %1 WHERE ift_no IN ")
                                              .arg(kPendingNone) + ZNAntiVirusPrivate::sqlNumberList(failed));
}

bool ZNAntiVirusPrivate::restoreOne(const QJsonObject& record)
{
    const QString former = record.value(QLatin1String("path")).toString();
    const QString quarantined = record.value(QLatin1String("quarantined")).toString();
    const Entry source(znRawPath(quarantined));
    const Entry target(formerRawPath(record));
    struct stat info;
    if (!source.stat(info) || !S_ISREG(info.st_mode)) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("隔离区文件不存在，无法还原: ") + quarantined);
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
        znTrace(ZNTraceBits::Failures, (error == EEXIST ? QStringLiteral("还原位置中同名文件已存在: ")
                                                        : QStringLiteral("还原文件失败: "))
                                           + former);
    }
    return moved;
}

// A removal or restore a crash interrupted: done when the file is no longer
// in the quarantine (the record goes), not done otherwise (the mark is
// cleared). Without the quarantine directory itself nothing can be told,
// so the record stays.
void ZNAntiVirusPrivate::recoverManagedRecord(const QJsonObject& pendingRow)
{
    const int mark = toInt(pendingRow.value(QLatin1String("pending")));
    if (mark != kPendingRestore && mark != kPendingRemove)
        return;
    const QJsonObject key{{QStringLiteral("iftno"), toInt(pendingRow.value(QLatin1String("iftno")))}};
    const Entry file(znRawPath(pendingRow.value(QLatin1String("quarantined")).toString()));
    struct stat info;
    if (file.dir.isValid() && !file.stat(info))
        database.call(QStringLiteral("infectes_drop"), key);
    else
        database.call(QStringLiteral("infectes_mark"),
                      QJsonObject{{QStringLiteral("iftno"), key.value(QLatin1String("iftno"))},
                                  {QStringLiteral("pending"), kPendingNone}});
}
