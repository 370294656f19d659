#include "znvirusdbdownload.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QSet>

#include <fcntl.h>
#include <unistd.h>

#include "kx2file.h"
#include "kx2http.h"
#include "kx2values.h"
#include "zntrace.h"

const QLatin1String G_DOWNLOAD_DIR(".dl");

namespace {

const int kDescriptionTimeoutSeconds = 30;
const int kDownloadTimeoutSeconds = 7200;

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

bool downloadAll(const QList<DownloadEntry>& plan, ZNDownloadProgress& progress,
                 const std::atomic<bool>& stop)
{
    progress.position = 0;
    for (const DownloadEntry& entry : plan) {
        if (stop)
            return false;
        // A file may not grow beyond its listed size: a mirror sending
        // without end is cut off instead of filling the disk.
        qint64 received = 0;
        const auto chunk = [&](unsigned long bytes) {
            received += qint64(bytes);
            const qint64 now = progress.position += qint64(bytes);
            const qint64 total = progress.total;
            progress.rate = now >= total ? 100 : int(qMin<qint64>(100, now * 100 / total));
            return !stop && received <= entry.size;
        };
        if (!curlHttpDownloading(entry.tmpFile, entry.url, chunk, kDownloadTimeoutSeconds)) {
            znTrace(ZNTraceBits::Failures, QStringLiteral("病毒库文件下载失败: ") + entry.url);
            return false;
        }
        if (!matches(entry.tmpFile, entry.size, entry.md5)) {
            // An error page, a cut transfer or a wrong file.
            znTrace(ZNTraceBits::Failures, QStringLiteral("病毒库文件校验失败: ") + entry.url);
            return false;
        }
    }
    return !stop;
}

bool installAll(const QList<DownloadEntry>& plan, const QString& directory)
{
    bool ok = true;
    for (const DownloadEntry& entry : plan) {
        syncPath(entry.tmpFile);
        if (::rename(QFile::encodeName(entry.tmpFile).constData(),
                     QFile::encodeName(entry.filePath).constData())
            != 0) {
            znTrace(ZNTraceBits::Failures, QStringLiteral("移动文件失败: ") + entry.tmpFile);
            ok = false;
        }
    }
    syncPath(directory);
    return ok;
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

bool znUpgradeVirusdb(const QString& url, const QString& directory, const QString& descriptionFile,
                      ZNDownloadProgress& progress, const std::atomic<bool>& stop, bool& changed)
{
    changed = false;
    if (directory.isEmpty() || !QDir().mkpath(directory) || !QFileInfo(directory).isDir()) {
        znTrace(ZNTraceBits::Failures,
                QStringLiteral("无法创建病毒库位置: ") + QFileInfo(directory).absoluteFilePath());
        return false;
    }
    // Only an object with an "items" array is a description; anything else
    // counts as a failed fetch and is not stored.
    QJsonObject description;
    if (!curlHttpGet(description, url, kDescriptionTimeoutSeconds)
        || !description.value(QLatin1String("items")).isArray()) {
        znTrace(ZNTraceBits::FileFailures,
                QStringLiteral("获取在线病毒库信息失败，可能是网络不通畅"));
        return false;
    }
    const QJsonArray items = description.value(QLatin1String("items")).toArray();
    if (!znCheckDescriptionItems(items)) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("下载病毒库失败"));
        return false;
    }
    KX2File::saveJson(descriptionFile, description, true);

    // A fresh download directory of our own: whatever sits at its name
    // (a leftover, a planted link) goes first, and only a real directory
    // made here is used.
    progress.total = 0;
    const QDir database(directory);
    const QString downloads = database.filePath(G_DOWNLOAD_DIR);
    KX2File::removeDirs(downloads, true);
    if (!QDir().mkdir(downloads) || QFileInfo(downloads).isSymLink()) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("无法创建病毒库位置: ") + downloads);
        return false;
    }
    const QString base = description.value(QLatin1String("url")).toString().trimmed();
    const QList<DownloadEntry> plan = downloadPlan(items, base, database, downloads);
    qint64 total = 0;
    for (const DownloadEntry& entry : plan)
        total += entry.size;
    progress.total = total;

    const bool ok = downloadAll(plan, progress, stop) && installAll(plan, directory);
    if (ok)
        changed = !plan.isEmpty();
    else
        znTrace(ZNTraceBits::Failures, QStringLiteral("下载病毒库失败"));
    KX2File::removeDirs(downloads, true);
    return ok;
}
