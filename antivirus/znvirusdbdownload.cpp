#include "znvirusdbdownload.h"
#include "znworkarea.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <fcntl.h>
#include <unistd.h>

#include "kx2file.h"
#include "kx2http.h"
#include "kx2values.h"
#include "zntrace.h"
#include "znvirusdbset.h"

const QLatin1String G_DOWNLOAD_DIR(".dl");

namespace {

const int kDescriptionTimeoutSeconds = 30;
const int kDownloadTimeoutSeconds = 7200;
// A connection that fails is tried this many more times, after 1 s, 2 s...
const int kRetries = 2;
const int kRetryPauseMs = 1000;

struct DownloadEntry
{
    QString tmpFile;
    QString filePath;
    QString url;
    qint64 size = 0;
    QString md5;
};

// A name that stays inside the directory it is joined to: no separator, not
// "." or "..", not empty, no NUL. The download directory's own name is
// reserved as well.
bool isPlainFileName(const QString& name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && name != G_DOWNLOAD_DIR && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

// Flushes a file's or directory's content to the disk, so that a rename
// done afterwards never publishes a name whose data a power cut can lose.
void syncPath(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

// Whether the file at `path` is a regular file of `size` bytes with `md5`.
bool matches(const QString& path, qint64 size, const QString& md5)
{
    const QFileInfo info(path);
    return info.isFile() && !info.isSymLink() && info.size() == size
        && KX2File::fileMd5(path) == md5;
}

// The files of `items` that differ from what `database` holds.
QList<DownloadEntry> downloadPlan(const QJsonArray& items, const QString& base,
                                  const QDir& database, const QString& downloads)
{
    QList<DownloadEntry> plan;
    for (const QJsonValue& value : items) {
        const QJsonObject item = value.toObject();
        DownloadEntry entry;
        const QString name = item.value(QLatin1String("file")).toString();
        entry.size = toInt64(item.value(QLatin1String("size")));
        entry.md5 = item.value(QLatin1String("md5")).toString();
        entry.filePath = database.filePath(name);
        if (matches(entry.filePath, entry.size, entry.md5))
            continue; // already current
        entry.tmpFile = QDir(downloads).filePath(name);
        entry.url = base + name;
        plan << entry;
    }
    return plan;
}

// Tries a transfer again while no connection can be made, pausing a
// little longer each time.
KX2HttpResult transferWithRetries(const KX2HttpTransfer& transfer, const ZNFetchControl& control)
{
    KX2HttpResult result;
    for (int attempt = 1;; ++attempt) {
        result = kx2HttpTransfer(transfer);
        if (result.kind != KX2HttpResult::Unreachable || attempt > kRetries)
            return result;
        if (!control.pause(kRetryPauseMs * attempt)) {
            result.kind = KX2HttpResult::Stopped;
            result.reason = QStringLiteral("stopped");
            return result;
        }
    }
}

// The description at `url`, checked; a failure sets `reason`.
bool fetchDescription(const QString& url, const ZNFetchControl& control, QJsonObject& description,
                      QString& reason)
{
    KX2HttpTransfer transfer;
    transfer.url = url;
    transfer.timeout = kDescriptionTimeoutSeconds;
    transfer.callback = [&control](unsigned long) { return !control.stopped(); };
    const KX2HttpResult result = transferWithRetries(transfer, control);
    if (!result.ok()) {
        reason = url + QStringLiteral(": ") + result.reason;
        znTrace(ZNTraceBits::FileFailures,
                QStringLiteral("获取在线病毒库信息失败，可能是网络不通畅"));
        return false;
    }
    // Only an object with an "items" array is a description.
    const QJsonDocument document = QJsonDocument::fromJson(result.body);
    description = document.object();
    if (!document.isObject() || !description.value(QLatin1String("items")).isArray()) {
        reason = url + QStringLiteral(": not a description");
        return false;
    }
    if (!znCheckDescriptionItems(description.value(QLatin1String("items")).toArray())) {
        reason = url + QStringLiteral(": invalid file name in the description");
        return false;
    }
    return true;
}

// Downloads and checks every file of `plan`; a failure sets `reason`.
bool downloadAll(const QList<DownloadEntry>& plan, ZNDownloadProgress& progress,
                 const ZNFetchControl& control, QString& reason)
{
    progress.position = 0;
    for (const DownloadEntry& entry : plan) {
        KX2HttpTransfer transfer;
        transfer.url = entry.url;
        transfer.filePath = entry.tmpFile;
        transfer.timeout = kDownloadTimeoutSeconds;
        // A file may not grow beyond its listed size: a mirror sending
        // without end is cut off instead of filling the disk.
        transfer.maxBytes = entry.size;
        transfer.verifyTls = false; // its size and MD5 come from the verified description
        transfer.callback = [&progress, &control](unsigned long bytes) {
            const qint64 now = progress.position += qint64(bytes);
            const qint64 total = progress.total;
            progress.rate = now >= total ? 100 : int(qMin<qint64>(100, now * 100 / total));
            return !control.stopped();
        };
        const KX2HttpResult result = transferWithRetries(transfer, control);
        if (!result.ok()) {
            reason = entry.url + QStringLiteral(": ") + result.reason;
            znTrace(ZNTraceBits::Failures, QStringLiteral("病毒库文件下载失败: ") + entry.url);
            return false;
        }
        if (!matches(entry.tmpFile, entry.size, entry.md5)) {
            reason = entry.url + QStringLiteral(": size or MD5 mismatch");
            znTrace(ZNTraceBits::Failures, QStringLiteral("病毒库文件校验失败: ") + entry.url);
            return false;
        }
        syncPath(entry.tmpFile);
    }
    if (control.stopped()) {
        reason = QStringLiteral("stopped");
        return false;
    }
    return true;
}

// One attempt against the description at `url`.
ZNFetchedSet fetchFrom(const QString& url, const QString& directory, ZNDownloadProgress& progress,
                       const ZNFetchControl& control)
{
    ZNFetchedSet fetched;
    if (!fetchDescription(url, control, fetched.description, fetched.reason))
        return fetched;
    // A fresh download directory of our own: whatever sits at its name
    // (a leftover, a planted link) goes first, and only a real directory
    // made here is used.
    progress.total = 0;
    const QDir database(directory);
    const QString downloads = database.filePath(G_DOWNLOAD_DIR);
    KX2File::removeDirs(downloads, true);
    if (!QDir().mkdir(downloads) || QFileInfo(downloads).isSymLink()) {
        fetched.reason = QStringLiteral("cannot create ") + downloads;
        return fetched;
    }
    const QString base = fetched.description.value(QLatin1String("url")).toString().trimmed();
    const QList<DownloadEntry> plan = downloadPlan(
        fetched.description.value(QLatin1String("items")).toArray(), base, database, downloads);
    qint64 total = 0;
    QList<QPair<QString, QString>> replacements;
    for (const DownloadEntry& entry : plan) {
        total += entry.size;
        replacements << qMakePair(QFileInfo(entry.filePath).fileName(), entry.tmpFile);
    }
    progress.total = total;
    fetched.ok = downloadAll(plan, progress, control, fetched.reason)
        && (plan.isEmpty()
            || znStageVirusdbSet(directory, directory, replacements, &fetched.reason));
    fetched.staged = fetched.ok && !plan.isEmpty();
    KX2File::removeDirs(downloads, true);
    return fetched;
}

} // namespace

bool znCheckDescriptionItems(const QJsonArray& items)
{
    QSet<QString> seen;
    for (const QJsonValue& value : items) {
        const QJsonObject item = value.toObject();
        const QString name = item.value(QLatin1String("file")).toString();
        if (!isPlainFileName(name) || seen.contains(name)
            || toInt64(item.value(QLatin1String("size"))) < 0) {
            znTrace(ZNTraceBits::Failures, QStringLiteral("病毒库信息中的文件名无效: ") + name);
            return false;
        }
        seen.insert(name);
    }
    return true;
}

ZNFetchedSet znFetchVirusdb(const QStringList& urls, const QString& directory,
                            ZNDownloadProgress& progress, const ZNFetchControl& control)
{
    ZNFetchedSet fetched;
    if (directory.isEmpty() || !znOpenWorkArea(directory).isValid()) {
        fetched.reason =
            QStringLiteral("无法创建病毒库位置: ") + QFileInfo(directory).absoluteFilePath();
        znTrace(ZNTraceBits::Failures, fetched.reason);
        return fetched;
    }
    QStringList reasons;
    for (const QString& url : urls) {
        fetched = fetchFrom(url, directory, progress, control);
        if (fetched.ok || control.stopped())
            break;
        reasons << fetched.reason;
    }
    if (!fetched.ok) {
        if (!control.stopped() && reasons.size() > 1)
            fetched.reason = reasons.join(QStringLiteral("; "));
        znTrace(ZNTraceBits::Failures, QStringLiteral("下载病毒库失败: ") + fetched.reason);
    }
    return fetched;
}
