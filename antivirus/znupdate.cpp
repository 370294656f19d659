// Virus database update: relocation of the database directory when the work
// area changes, and the online update from the configured mirror.
//
// The steps run on the update thread (at most one exists), the only writer
// of the database files, the download directory, the stored description and
// the progress members. The request operations (updVdbStart, updVdbStop,
// updVdbRunning; the schedule thread calls the first like a client) only
// start that thread, read the progress members and raise virusdbUpdateStop.
//
// What arrives from the mirror is untrusted: a file name is accepted only as
// a plain name inside the database directory, and every downloaded file must
// match its listed size and MD5 before any file is installed. Installing
// renames each file over its predecessor, so at any moment, a kill included,
// every database file is either the old one or the new one, whole.

#include "znantivirus.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QSaveFile>
#include <QSet>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kx2file.h"
#include "kx2http.h"
#include "kx2journals.h"
#include "kx2values.h"
#include "znantivirus_p.h"
#include "zntrace.h"

namespace {

const QLatin1String kDescriptionFile("virusdb.json");
const QLatin1String kDownloadDir(".dl");
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
        && name != kDownloadDir && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

QByteArray nativePath(const QString& path)
{
    return QFile::encodeName(path);
}

// Flushes a file's or directory's content to the disk, so that a rename
// done afterwards never publishes a name whose data a power cut can lose.
void syncPath(const QString& path)
{
    const int fd = ::open(nativePath(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

// Copies `from` to `to` through a temporary file beside `to` that is synced
// and renamed over it, so `to` never holds a partial copy.
bool copyWhole(const QString& from, const QString& to)
{
    QFile source(from);
    if (!source.open(QIODevice::ReadOnly))
        return false;
    QSaveFile target(to);
    target.setDirectWriteFallback(false);
    if (!target.open(QIODevice::WriteOnly))
        return false;
    QByteArray buffer;
    while (!(buffer = source.read(1 << 20)).isEmpty()) {
        if (target.write(buffer) != buffer.size()) {
            target.cancelWriting();
            break;
        }
    }
    if (source.error() != QFileDevice::NoError)
        target.cancelWriting();
    return target.commit();
}

// Moves the file `from` to `to`, replacing a file there. Within one file
// system this is one rename; across file systems the content is copied whole
// first and the source removed afterwards.
bool moveFile(const QString& from, const QString& to)
{
    if (::rename(nativePath(from).constData(), nativePath(to).constData()) == 0)
        return true;
    if (errno != EXDEV)
        return false;
    return copyWhole(from, to) && QFile::remove(from);
}

// The same directory, however it is written: same device and inode.
bool isSameDirectory(const QString& a, const QString& b)
{
    struct stat first {}, second {};
    return ::stat(nativePath(a).constData(), &first) == 0 && ::stat(nativePath(b).constData(), &second) == 0
        && first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Whether `inner` lies somewhere below `outer` (both existing).
bool isInside(const QString& inner, const QString& outer)
{
    const QString a = QFileInfo(inner).canonicalFilePath();
    const QString b = QFileInfo(outer).canonicalFilePath();
    return !a.isEmpty() && !b.isEmpty() && a.startsWith(b + QLatin1Char('/'));
}

// The description's items checked as a whole: every name plain and listed
// once, every size a non-negative number. Traces the first offending name.
bool checkItems(const QJsonArray& items)
{
    QSet<QString> seen;
    for (const QJsonValue& value : items) {
        const QJsonObject item = value.toObject();
        const QString name = item.value(QLatin1String("file")).toString();
        if (!isPlainFileName(name) || seen.contains(name) || toInt64(item.value(QLatin1String("size"))) < 0) {
            znTrace(ZNTraceBits::Failures, QStringLiteral("病毒库信息中的文件名无效: ") + name);
            return false;
        }
        seen.insert(name);
    }
    return true;
}

// Whether the file at `path` is a regular file of `size` bytes with `md5`.
bool matches(const QString& path, qint64 size, const QString& md5)
{
    const QFileInfo info(path);
    return info.isFile() && !info.isSymLink() && info.size() == size && KX2File::fileMd5(path) == md5;
}

// The files a relocation moves out of `from`, in order: the items of its
// own description followed by the description itself, or else its regular
// files. Empty when there is nothing (valid) to move. `listed` tells which.
QStringList relocatedNames(const QDir& from, bool& listed)
{
    QStringList names;
    listed = false;
    QJsonObject description;
    if (KX2File::loadJson(description, from.filePath(kDescriptionFile))) {
        const QJsonArray items = description.value(QLatin1String("items")).toArray();
        if (items.isEmpty() || !checkItems(items))
            return QStringList();
        for (const QJsonValue& item : items)
            names << item.toObject().value(QLatin1String("file")).toString();
        names << kDescriptionFile;
        listed = true;
        return names;
    }
    const QFileInfoList files = from.entryInfoList(QDir::Files | QDir::NoSymLinks | QDir::NoDotAndDotDot);
    for (const QFileInfo& file : files)
        names << file.fileName();
    return names;
}

} // namespace

// --- Request operations ---------------------------------------------------

bool ZNAntiVirus::updVdbStart(KX2Journals& journal)
{
    if (d->workArea().isEmpty()) {
        journal.setErr(KX2ErrorCode::DirectoryNotConfigured, QStringLiteral("没有设置工作区路径，请先进行设置 "));
        return false;
    }
    if (d->virusdbUpdating) {
        journal.setErr(KX2ErrorCode::StillRunning, QStringLiteral("正在执行中，请稍后再次重试"));
        return false;
    }
    d->virusdbUpgradeRequested = true;
    return d->virusdbPrepare(true);
}

bool ZNAntiVirus::updVdbStop(KX2Journals&, int timeoutMs)
{
    d->virusdbUpdateStop = true;
    // The update thread wakes the group when it ends.
    d->background.waitFor([this] { return !d->virusdbUpdating; }, std::chrono::milliseconds(qMax(0, timeoutMs)));
    return !d->virusdbUpdating;
}

namespace {

// What the progress answer is made of; equal figures give an equal answer.
struct UpdateProgress
{
    int rate = 0;
    bool success = false;
    qint64 total = 0;
    qint64 position = 0;
    int lastResult = -1;
    QString updateTime;

    bool operator==(const UpdateProgress& other) const
    {
        return rate == other.rate && success == other.success && total == other.total
            && position == other.position && lastResult == other.lastResult
            && updateTime == other.updateTime;
    }

    QJsonObject toObject() const
    {
        QJsonObject out;
        out.insert(QStringLiteral("rate"), rate);
        out.insert(QStringLiteral("success"), success ? 1 : 0);
        out.insert(QStringLiteral("total"), double(total));
        out.insert(QStringLiteral("position"), double(position));
        // Unlike "success", which stays 1 after any successful run, this
        // tells a client how the run it waited for ended.
        if (lastResult >= 0)
            out.insert(QStringLiteral("lastresult"), lastResult);
        if (!updateTime.isEmpty())
            out.insert(QStringLiteral("updatetime"), updateTime);
        return out;
    }
};

} // namespace

bool ZNAntiVirus::updVdbRunning(KX2Journals&, QJsonObject& out)
{
    UpdateProgress now;
    now.rate = d->virusdbDownloadRate.load();
    now.success = d->virusdbUpgradeSuccess.load();
    now.total = d->virusdbDownloadTotal.load();
    now.position = d->virusdbDownloadNow.load();
    now.lastResult = d->virusdbLastResult.load();
    now.updateTime = d->storedUpdateTime(false);
    // Clients poll this while they wait; between changes of the figures
    // each serving thread hands out the object it built last (a shared
    // copy) instead of building the same one again.
    thread_local UpdateProgress lastFigures;
    thread_local QJsonObject lastAnswer = lastFigures.toObject();
    if (!(now == lastFigures)) {
        lastAnswer = now.toObject();
        lastFigures = now;
    }
    out = lastAnswer;
    return d->virusdbUpdating;
}

QString ZNAntiVirusPrivate::storedUpdateTime(bool lookNow)
{
    std::lock_guard<std::mutex> lock(updateTimeMutex);
    const quint64 writes = updateTimeWrites.load();
    if (!lookNow && writes == updateTimeSeenWrites && updateTimeLooked.isValid()
        && updateTimeLooked.elapsed() < 1000)
        return updateTimeCached;
    updateTimeSeenWrites = writes;
    updateTimeLooked.start();
    const QByteArray path = QFile::encodeName(settingsDir.absoluteFilePath(kDescriptionFile));
    struct stat st {};
    QByteArray stamp;
    if (::stat(path.constData(), &st) == 0) {
        // A rewrite renames a new file into place: a new inode, a new change time.
        const qint64 fields[] = {qint64(st.st_dev), qint64(st.st_ino), qint64(st.st_size),
                                 qint64(st.st_mtim.tv_sec), qint64(st.st_mtim.tv_nsec),
                                 qint64(st.st_ctim.tv_sec), qint64(st.st_ctim.tv_nsec)};
        stamp = QByteArray(reinterpret_cast<const char*>(fields), sizeof fields);
    }
    if (stamp != updateTimeStamp) {
        QJsonObject description;
        updateTimeCached = !stamp.isEmpty() && KX2File::loadJson(description, QFile::decodeName(path))
            ? description.value(QLatin1String("updatetime")).toString()
            : QString();
        updateTimeStamp = stamp;
    }
    return updateTimeCached;
}

// --- Update thread -----------------------------------------------------------

// Runs before the engine step of every update-thread run.
void ZNAntiVirusPrivate::relocateAndUpgrade()
{
    // Only this thread uses the download directory: one found now was left
    // by a run that did not end (a killed process). It never holds an
    // installed file.
    const QString directory = virusdbPath();
    if (!directory.isEmpty())
        KX2File::removeDirs(QDir(directory).filePath(kDownloadDir), true);

    if (!virusdbMoveTo())
        virusdbUpgradeRequested = true; // the database has to be fetched again
    if (!virusdbUpgradeRequested)
        return;
    bool changed = false;
    const bool upgraded = virusdbUpgrade(changed);
    virusdbLastResult = upgraded ? 1 : 0;
    if (!upgraded) {
        // Nothing was installed, so an engine in use stays as it is. Without
        // one, the files already in place are loaded all the same: a mirror
        // that cannot be reached must not keep a service from scanning.
        if (currentEngine())
            virusdbReloadPending = false;
    } else if (changed) {
        virusdbReloadPending = true;
    }
}

bool ZNAntiVirusPrivate::virusdbMoveTo()
{
    bool result = true;
    QJsonObject request;
    while (virusdbMoves.pop(request)) {
        --virusdbMoves.count;
        const QString from = request.value(QLatin1String("from")).toString();
        const QString to = request.value(QLatin1String("to")).toString();
        if (from.isEmpty() || !QFileInfo(from).isDir()) {
            znTrace(ZNTraceBits::FileFailures, QStringLiteral("旧目录不存在: ") + QFileInfo(from).absoluteFilePath());
            result = false;
            continue;
        }
        const QString target = QFileInfo(to).absoluteFilePath();
        // One directory written two ways: emptying the target would empty
        // the source. There is nothing to move.
        if (isSameDirectory(from, target)) {
            result = true;
            continue;
        }
        // Known before the target is touched: with nothing to move, the
        // files already at the target stay where they are.
        const QDir source(from);
        bool listed = false;
        const QStringList names = relocatedNames(source, listed);
        if (names.isEmpty())
            return abortRelocations();

        // A target that contains the source keeps its content (emptying it
        // would delete the source); moved files replace their namesakes.
        if (!isInside(from, target))
            KX2File::removeDirs(target, false);
        QDir().mkpath(target);
        if (!QFileInfo(target).isDir()) {
            znTrace(ZNTraceBits::Failures, QStringLiteral("无法创建病毒库文件夹: ") + target);
            result = false;
            continue;
        }

        // A listed description stops at its first failure; a plain listing
        // moves what it can and fails afterwards.
        bool failed = false;
        for (const QString& name : names) {
            if (moveFile(source.filePath(name), QDir(target).filePath(name)))
                continue;
            if (listed && name == kDescriptionFile)
                continue; // its outcome does not matter
            znTrace(ZNTraceBits::Failures, QStringLiteral("移动文件失败: ") + source.absoluteFilePath(name));
            failed = true;
            if (listed)
                break;
        }
        syncPath(target);
        // The engine is built from the new directory from now on.
        virusdbReloadPending = true;
        if (failed)
            return abortRelocations();
        result = true;
    }
    return result;
}

// Drops every queued relocation after one that failed.
bool ZNAntiVirusPrivate::abortRelocations()
{
    QJsonObject request;
    while (virusdbMoves.pop(request))
        --virusdbMoves.count;
    znTrace(ZNTraceBits::Failures, QStringLiteral("移动旧病毒库失败"));
    return false;
}

bool ZNAntiVirusPrivate::virusdbUpgrade(bool& changed)
{
    const QString directory = virusdbPath();
    if (directory.isEmpty() || !QDir().mkpath(directory) || !QFileInfo(directory).isDir()) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("无法创建病毒库位置: ") + QFileInfo(directory).absoluteFilePath());
        return false;
    }
    const QDir database(directory);

    // Only an object with an "items" array is a description; anything else
    // counts as a failed fetch and is not stored.
    QJsonObject description;
    if (!curlHttpGet(description, virusdbUrl, kDescriptionTimeoutSeconds)
        || !description.value(QLatin1String("items")).isArray()) {
        znTrace(ZNTraceBits::FileFailures, QStringLiteral("获取在线病毒库信息失败，可能是网络不通畅"));
        return false;
    }
    const QJsonArray items = description.value(QLatin1String("items")).toArray();
    if (!checkItems(items)) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("下载病毒库失败"));
        return false;
    }
    KX2File::saveJson(settingsDir.absoluteFilePath(kDescriptionFile), description, true);
    updateTimeWrites.fetch_add(1);

    // A fresh download directory of our own: whatever sits at its name
    // (a leftover, a planted link) goes first, and only a real directory
    // made here is used.
    virusdbDownloadTotal = 0;
    const QString downloads = database.filePath(kDownloadDir);
    KX2File::removeDirs(downloads, true);
    if (!QDir().mkdir(downloads) || QFileInfo(downloads).isSymLink()) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("无法创建病毒库位置: ") + downloads);
        return false;
    }

    const QString base = description.value(QLatin1String("url")).toString().trimmed();
    QList<DownloadEntry> plan;
    for (int i = 0; i < items.size() && !virusdbUpdateStop; ++i) {
        const QJsonObject item = items.at(i).toObject();
        DownloadEntry entry;
        const QString name = item.value(QLatin1String("file")).toString();
        entry.size = toInt64(item.value(QLatin1String("size")));
        entry.md5 = item.value(QLatin1String("md5")).toString();
        entry.filePath = database.filePath(name);
        if (matches(entry.filePath, entry.size, entry.md5))
            continue; // already current
        entry.tmpFile = QDir(downloads).filePath(name);
        entry.url = base + name;
        virusdbDownloadTotal += entry.size;
        plan << entry;
    }

    virusdbDownloadNow = 0;
    bool ok = true;
    for (const DownloadEntry& entry : plan) {
        if (virusdbUpdateStop)
            break;
        // A file may not grow beyond its listed size: a mirror sending
        // without end is cut off instead of filling the disk.
        qint64 received = 0;
        const auto chunk = [this, &received, &entry](unsigned long bytes) {
            received += qint64(bytes);
            return virusdbDownloading(bytes) && received <= entry.size;
        };
        if (!curlHttpDownloading(entry.tmpFile, entry.url, chunk, kDownloadTimeoutSeconds)) {
            znTrace(ZNTraceBits::Failures, QStringLiteral("病毒库文件下载失败: ") + entry.url);
            ok = false;
        } else if (!matches(entry.tmpFile, entry.size, entry.md5)) {
            // An error page, a cut transfer or a wrong file.
            znTrace(ZNTraceBits::Failures, QStringLiteral("病毒库文件校验失败: ") + entry.url);
            ok = false;
        }
    }
    if (virusdbUpdateStop)
        ok = false;

    if (ok) {
        for (const DownloadEntry& entry : plan) {
            syncPath(entry.tmpFile);
            if (!moveFile(entry.tmpFile, entry.filePath)) {
                znTrace(ZNTraceBits::Failures, QStringLiteral("移动文件失败: ") + entry.tmpFile);
                ok = false;
            }
        }
        syncPath(directory);
    }
    if (ok) {
        virusdbUpgradeSuccess = true;
        virusdbReloadPending = true;
        changed = !plan.isEmpty();
    } else {
        znTrace(ZNTraceBits::Failures, QStringLiteral("下载病毒库失败"));
    }
    KX2File::removeDirs(downloads, true);
    return ok;
}

bool ZNAntiVirusPrivate::virusdbDownloading(unsigned long bytes)
{
    const qint64 now = virusdbDownloadNow += qint64(bytes);
    const qint64 total = virusdbDownloadTotal;
    const int rate = now >= total ? 100 : int(qMin<qint64>(100, now * 100 / total));
    if (virusdbDownloadRate != rate)
        virusdbDownloadRate = rate;
    return !virusdbUpdateStop;
}

// The daily automatic update: started like a client's request (a refusal,
// such as a running update or a missing work area, waits for the next day),
// then the next 05:00 is set.
void ZNAntiVirusPrivate::runDueVirusdbUpdate(quint32 now)
{
    const quint32 due = virusdbNextTime;
    if (due == 0 || now < due)
        return;
    KX2Journals journal;
    q->updVdbStart(journal);
    virusdbNextTime = scheduleNextTime(1, 0, virusdbUpdateHour, 0, 1);
}
