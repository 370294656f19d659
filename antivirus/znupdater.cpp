#include "znupdater.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

#include "kx2file.h"
#include "kx2journals.h"
#include "znconfiguration.h"
#include "znengineslot.h"
#include "znrelocation.h"
#include "znsettingssnapshot.h"
#include "zntrace.h"

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

ZNUpdater::ZNUpdater(const ZNConfiguration& configuration, const ZNSettingsHolder& settings,
                     ZNEngineSlot& engines)
    : configuration(configuration), settings(settings), engines(engines)
{
}

ZNUpdater::~ZNUpdater()
{
    shutdown();
}

void ZNUpdater::shutdown()
{
    stopRequested = true;
    thread.shutdownAndWait();
}

bool ZNUpdater::prepare(bool reload)
{
    if (reload)
        reloadDue = true;
    bool idle = false;
    if (!running.compare_exchange_strong(idle, true))
        return false;
    // Cleared here rather than by the thread, so a stop requested right
    // after this call is not lost.
    stopRequested = false;
    if (thread.start([this] { threadMain(); }))
        return true;
    running = false;
    return false;
}

ZNOutcome ZNUpdater::requestUpgrade()
{
    if (settings.get().dataDir.isEmpty())
        return ZNOutcome::failure(KX2ErrorCode::DirectoryNotConfigured,
                                  QStringLiteral("没有设置工作区路径，请先进行设置 "));
    if (running)
        return ZNOutcome::failure(KX2ErrorCode::StillRunning,
                                  QStringLiteral("正在执行中，请稍后再次重试"));
    upgradeRequested = true;
    if (!prepare(true))
        return ZNOutcome::failure(KX2ErrorCode::StillRunning,
                                  QStringLiteral("正在执行中，请稍后再次重试"));
    return ZNOutcome::success();
}

bool ZNUpdater::stop(int timeoutMs)
{
    stopRequested = true;
    // The update thread wakes the group when it ends.
    thread.waitFor([this] { return !running; }, std::chrono::milliseconds(qMax(0, timeoutMs)));
    return !running;
}

QJsonObject ZNUpdater::progress()
{
    UpdateProgress now;
    now.rate = download.rate.load();
    now.success = anySuccess.load();
    now.total = download.total.load();
    now.position = download.position.load();
    now.lastResult = lastResult.load();
    now.updateTime = storedUpdateTime(false);
    // Clients poll this while they wait; between changes of the figures
    // each serving thread hands out the object it built last (a shared
    // copy) instead of building the same one again.
    thread_local UpdateProgress lastFigures;
    thread_local QJsonObject lastAnswer = lastFigures.toObject();
    if (!(now == lastFigures)) {
        lastAnswer = now.toObject();
        lastFigures = now;
    }
    return lastAnswer;
}

QString ZNUpdater::storedUpdateTime(bool lookNow)
{
    KX2MutexLocker lock(timeMutex);
    const quint64 writes = descriptionWrites.load();
    if (!lookNow && writes == timeSeenWrites && timeLooked.isValid() && timeLooked.elapsed() < 1000)
        return timeCached;
    timeSeenWrites = writes;
    timeLooked.start();
    const QByteArray path = QFile::encodeName(configuration.descriptionFile());
    struct stat st
    {};
    QByteArray stamp;
    if (::stat(path.constData(), &st) == 0) {
        // A rewrite renames a new file into place: a new inode, a new change time.
        const qint64 fields[] = {qint64(st.st_dev),          qint64(st.st_ino),
                                 qint64(st.st_size),         qint64(st.st_mtim.tv_sec),
                                 qint64(st.st_mtim.tv_nsec), qint64(st.st_ctim.tv_sec),
                                 qint64(st.st_ctim.tv_nsec)};
        stamp = QByteArray(reinterpret_cast<const char*>(fields), sizeof fields);
    }
    if (stamp != timeStamp) {
        QJsonObject description;
        timeCached = !stamp.isEmpty() && KX2File::loadJson(description, QFile::decodeName(path))
            ? description.value(QLatin1String("updatetime")).toString()
            : QString();
        timeStamp = stamp;
    }
    return timeCached;
}

void ZNUpdater::queueRelocation(const QString& from, const QString& to)
{
    KX2MutexLocker lock(movesMutex);
    moves.push_back(Relocation{from, to});
}

int ZNUpdater::queuedRelocations() const
{
    KX2MutexLocker lock(movesMutex);
    return int(moves.size());
}

// --- The update thread --------------------------------------------------------

void ZNUpdater::threadMain()
{
    relocateAndUpgrade();
    if (reloadDue)
        reload();
    running = false;
    thread.wakeAll();
}

void ZNUpdater::relocateAndUpgrade()
{
    // Only this thread uses the download directory: one found now was left
    // by a run that did not end (a killed process). It never holds an
    // installed file.
    const QString directory = settings.get().virusdbDir;
    if (!directory.isEmpty())
        KX2File::removeDirs(QDir(directory).filePath(G_DOWNLOAD_DIR), true);

    if (!relocate())
        upgradeRequested = true; // the database has to be fetched again
    // Once asked for, the online update is part of every later run (each
    // scan task starts one), so a scan never waits on a stale set.
    if (!upgradeRequested)
        return;
    bool changed = false;
    const bool upgraded =
        znUpgradeVirusdb(configuration.virusdbUrl, settings.get().virusdbDir,
                         configuration.descriptionFile(), download, stopRequested, changed);
    descriptionWrites.fetch_add(1);
    lastResult = upgraded ? 1 : 0;
    if (!upgraded) {
        // Nothing was installed, so an engine in use stays as it is. Without
        // one, the files already in place are loaded all the same: a mirror
        // that cannot be reached must not keep a service from scanning.
        if (engines.current())
            reloadDue = false;
        return;
    }
    anySuccess = true;
    if (changed)
        reloadDue = true;
}

bool ZNUpdater::takeRelocation(Relocation& next)
{
    KX2MutexLocker lock(movesMutex);
    if (moves.empty())
        return false;
    next = moves.front();
    moves.pop_front();
    return true;
}

bool ZNUpdater::relocate()
{
    bool result = true;
    Relocation next;
    while (takeRelocation(next)) {
        const ZNRelocation outcome = znRelocateVirusdb(next.from, next.to);
        switch (outcome) {
        case ZNRelocation::Same:
            result = true;
            break;
        case ZNRelocation::Missing:
        case ZNRelocation::TargetFailed:
            result = false;
            break;
        case ZNRelocation::Moved:
            // The engine is built from the new directory from now on.
            reloadDue = true;
            result = true;
            break;
        case ZNRelocation::Failed: {
            reloadDue = true;
            KX2MutexLocker lock(movesMutex);
            moves.clear();
            znTrace(ZNTraceBits::Failures, QStringLiteral("移动旧病毒库失败"));
            return false;
        }
        }
    }
    return result;
}

bool ZNUpdater::reload()
{
    const QString directory = settings.get().virusdbDir;
    if (directory.isEmpty() || !QDir(directory).exists())
        return false;
    QString reason;
    ZNEngineRef engine = ZNEngineSlot::load(directory, &reason);
    if (!engine) {
        // The new engine is gone; the one in use stays.
        znTrace(ZNTraceBits::Failures,
                QStringLiteral("病毒库信息装载失败: ") + QDir(directory).absolutePath()
                    + QStringLiteral(": ") + reason);
        return false;
    }
    reloadDue = false;
    engines.install(std::move(engine));
    return true;
}
