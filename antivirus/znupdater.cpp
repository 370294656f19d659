#include "znupdater.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

#include "kx2file.h"
#include "kx2journals.h"
#include "znalerts.h"
#include "znconfiguration.h"
#include "znengineslot.h"
#include "znrelocation.h"
#include "znworkarea.h"
#include "znsettingssnapshot.h"
#include "zntrace.h"
#include "znvirusdbset.h"

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
    QString lastReason;
    QJsonObject engine;

    bool operator==(const UpdateProgress& other) const
    {
        return rate == other.rate && success == other.success && total == other.total
            && position == other.position && lastResult == other.lastResult
            && updateTime == other.updateTime && lastReason == other.lastReason
            && engine == other.engine;
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
        if (!lastReason.isEmpty())
            out.insert(QStringLiteral("lastreason"), lastReason);
        out.insert(QStringLiteral("engine"), engine);
        return out;
    }
};

} // namespace

ZNUpdater::ZNUpdater(const ZNConfiguration& configuration, const ZNSettingsHolder& settings,
                     ZNEngineSlot& engines, ZNAlerts& alerts)
    : configuration(configuration), settings(settings), engines(engines), alerts(alerts)
{
}

ZNUpdater::~ZNUpdater()
{
    shutdown();
}

void ZNUpdater::shutdown()
{
    setFlag(&State::stopRequested, true);
    thread.shutdownAndWait();
}

bool ZNUpdater::flag(bool State::*member) const
{
    KX2MutexLocker lock(stateMutex);
    return state.*member;
}

void ZNUpdater::setFlag(bool State::*member, bool value)
{
    KX2MutexLocker lock(stateMutex);
    state.*member = value;
}

bool ZNUpdater::prepare(bool reload)
{
    {
        KX2MutexLocker lock(stateMutex);
        if (reload)
            state.reloadDue = true;
        if (state.running)
            return false;
        state.running = true;
        // Cleared here rather than by the thread, so a stop requested right
        // after this call is not lost.
        state.stopRequested = false;
    }
    if (thread.start([this] { threadMain(); }))
        return true;
    setFlag(&State::running, false);
    return false;
}

KX2Status ZNUpdater::requestUpgrade()
{
    if (settings.get().dataDir.isEmpty())
        return KX2Status::failure(KX2ErrorCode::DirectoryNotConfigured,
                                  QStringLiteral("没有设置工作区路径，请先进行设置 "));
    {
        KX2MutexLocker lock(stateMutex);
        if (state.running)
            return KX2Status::failure(KX2ErrorCode::StillRunning,
                                      QStringLiteral("正在执行中，请稍后再次重试"));
        state.upgradeRequested = true;
    }
    if (!prepare(true))
        return KX2Status::failure(KX2ErrorCode::StillRunning,
                                  QStringLiteral("正在执行中，请稍后再次重试"));
    return KX2Status::success();
}

bool ZNUpdater::stop(int timeoutMs)
{
    setFlag(&State::stopRequested, true);
    thread.wakeAll(); // a retry pause or an engine load ends at once
    // The update thread wakes the group when it ends.
    thread.waitFor([this] { return !isRunning(); },
                   std::chrono::milliseconds(qMax(0, timeoutMs)));
    return !isRunning();
}

QJsonObject ZNUpdater::progress(bool* running)
{
    UpdateProgress now;
    bool wasRunning = false;
    {
        // The update thread records a run's outcome before it clears
        // `running` under this lock: a snapshot without a run going on
        // holds the outcome and the last figures of the run that ended.
        KX2MutexLocker lock(stateMutex);
        wasRunning = state.running;
        now.success = state.anySuccess;
        now.lastResult = state.lastResult;
        now.lastReason = state.lastReason;
        now.rate = download.rate.load();
        now.total = download.total.load();
        now.position = download.position.load();
    }
    if (running)
        *running = wasRunning;
    // Looked at after the snapshot, so they are at least as new as it.
    now.updateTime = storedUpdateTime(false);
    now.engine = engines.report();
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
    KX2MutexLocker lock(stateMutex);
    state.moves.push_back(Relocation{from, to});
}

int ZNUpdater::queuedRelocations() const
{
    KX2MutexLocker lock(stateMutex);
    return int(state.moves.size());
}

// --- The update thread --------------------------------------------------------

void ZNUpdater::threadMain()
{
    run();
    if (runEnded)
        runEnded();
    setFlag(&State::running, false);
    thread.wakeAll();
}

void ZNUpdater::run()
{
    // Only this thread uses the set's siblings and the download directory:
    // what is found now was left by a run that did not end (a kill).
    QString directory = settings.get().virusdbDir;
    // A work area that became writable by others since it was chosen is
    // not touched: its set could be a user's.
    const QString fault = directory.isEmpty() ? QString() : znWorkAreaFault(settings.get().dataDir);
    if (!fault.isEmpty()) {
        znEvent(QStringLiteral("[workarea-refused] ") + fault);
        setLastReason(fault);
        return;
    }
    if (!directory.isEmpty()) {
        znRecoverVirusdbSets(directory);
        KX2File::removeDirs(QDir(directory).filePath(G_DOWNLOAD_DIR), true);
    }
    if (!relocate())
        setFlag(&State::upgradeRequested, true); // the database has to be fetched again
    directory = settings.get().virusdbDir;
    if (directory.isEmpty())
        return;
    if (!stopping())
        takeSystemSet(directory, false);
    // Once asked for, the online update is part of every later run (each
    // scan task starts one), so a scan never waits on a stale set.
    if (upgradeWanted() && !stopping())
        upgrade(directory);
    if (reloadPending() && !stopping())
        reload(directory);
}

ZNFetchControl ZNUpdater::fetchControl()
{
    ZNFetchControl control;
    control.stopped = [this] { return stopping() || thread.isShuttingDown(); };
    control.pause = [this](int milliseconds) {
        thread.waitFor([this] { return stopping(); }, std::chrono::milliseconds(milliseconds));
        return !stopping() && !thread.isShuttingDown();
    };
    return control;
}

void ZNUpdater::setLastReason(const QString& reason)
{
    KX2MutexLocker lock(stateMutex);
    state.lastReason = reason;
}

void ZNUpdater::setOutcome(bool ok, const QString& reason)
{
    KX2MutexLocker lock(stateMutex);
    state.lastReason = ok ? QString() : reason;
    state.lastResult = ok ? 1 : 0;
    state.anySuccess = state.anySuccess || ok;
}

void ZNUpdater::upgrade(const QString& directory)
{
    znEvent(QStringLiteral("[update-start] from=%1")
                .arg(configuration.virusdbUrls.join(QLatin1Char(' '))));
    const ZNFetchedSet fetched =
        znFetchVirusdb(configuration.virusdbUrls, directory, download, fetchControl());
    QString reason = fetched.reason;
    bool ok = fetched.ok && (!fetched.staged || proveAndInstall(directory, &reason));
    if (ok) {
        // The description names the set that is installed now.
        ok = KX2File::saveJson(configuration.descriptionFile(), fetched.description, true);
        if (!ok)
            reason = QStringLiteral("cannot write ") + configuration.descriptionFile();
        descriptionWrites.fetch_add(1);
    }
    setOutcome(ok, reason);
    znEvent(
        ok ? QStringLiteral("[update-end] result=success installed=%1")
                 .arg(fetched.staged ? QStringLiteral("new set") : QStringLiteral("nothing new"))
           : QStringLiteral("[update-end] result=failed reason=%1").arg(reason));
    if (!ok)
        alerts.notify("update-failed", {{"ZN_REASON", reason.toUtf8()}});
    if (ok)
        return;
    // Nothing was installed, so an engine in use stays as it is. Without
    // one, the files already in place are loaded all the same: a mirror
    // that cannot be reached must not keep a service from scanning.
    if (engines.current())
        setFlag(&State::reloadDue, false);
}

bool ZNUpdater::takeSystemSet(const QString& directory, bool whole)
{
    const QString system = configuration.systemVirusdbDir;
    if (system.isEmpty() || !QFileInfo(system).isDir()
        || QFileInfo(system).canonicalFilePath() == QFileInfo(directory).canonicalFilePath())
        return false;
    if (!whole && !znHasNewerVirusdbFiles(system, directory))
        return false;
    const QByteArray stamp = znVirusdbStamp(system);
    if (!whole && stamp == refusedSystemStamp)
        return false;
    QString reason;
    if (!znOpenWorkArea(QFileInfo(directory).absolutePath()).isValid()
        || !znStageVirusdbCopy(directory, system, !whole, &reason)
        || !proveAndInstall(directory, &reason)) {
        znDiscardStagedSet(directory);
        if (reason != QLatin1String("stopped"))
            refusedSystemStamp = stamp;
        znTrace(ZNTraceBits::Failures,
                QStringLiteral("系统病毒库不可用: ") + system + QStringLiteral(": ") + reason);
        return false;
    }
    znTrace(ZNTraceBits::TaskSummary, QStringLiteral("已采用系统病毒库: ") + system);
    return true;
}

bool ZNUpdater::proveAndInstall(const QString& directory, QString* reason)
{
    ZNEngineSlot::Loaded loaded = loadEngine(znStagedSetDir(directory), reason);
    if (!loaded.engine || !znInstallVirusdbSet(directory, reason)) {
        znDiscardStagedSet(directory);
        znTrace(ZNTraceBits::Failures, QStringLiteral("新病毒库未安装: ") + *reason);
        return false;
    }
    loaded.setInstalled = znVirusdbSetTime(directory);
    znKeepGoodVirusdbSet(directory);
    installEngine(std::move(loaded), directory);
    return true;
}

void ZNUpdater::installEngine(ZNEngineSlot::Loaded loaded, const QString& directory)
{
    znEvent(
        QStringLiteral("[engine] signatures=%1 set=%2 directory=%3")
            .arg(loaded.signatures)
            .arg(loaded.setInstalled.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")), directory));
    setFlag(&State::reloadDue, false); // before the install, which may wait for the slot
    engines.install(std::move(loaded));
}

bool ZNUpdater::takeRelocation(Relocation& next)
{
    KX2MutexLocker lock(stateMutex);
    if (state.moves.empty())
        return false;
    next = state.moves.front();
    state.moves.pop_front();
    return true;
}

bool ZNUpdater::relocate()
{
    bool result = true;
    Relocation next;
    while (takeRelocation(next)) {
        // The system directory belongs to the distribution's own updater:
        // its set is copied (and proven), never moved.
        if (!configuration.systemVirusdbDir.isEmpty()
            && QDir::cleanPath(next.from) == QDir::cleanPath(configuration.systemVirusdbDir)) {
            result = QFileInfo(next.from).isDir() && takeSystemSet(next.to, true);
            continue;
        }
        const ZNRelocation outcome = relocateOne(next);
        result = outcome == ZNRelocation::Same || outcome == ZNRelocation::Staged;
        if (outcome == ZNRelocation::Failed) {
            {
                KX2MutexLocker lock(stateMutex);
                state.reloadDue = true;
                state.moves.clear();
            }
            znTrace(ZNTraceBits::Failures, QStringLiteral("移动旧病毒库失败"));
            return false;
        }
    }
    return result;
}

// One relocation: the old set copied into the new work area, proven and
// swapped in like any update, and only then removed from the old place.
// Staged when the copy is installed; Failed when it did not load.
ZNRelocation ZNUpdater::relocateOne(const Relocation& next)
{
    ZNRelocatedFiles files;
    const ZNRelocation staged = znStageRelocation(next.from, next.to, &files);
    if (staged != ZNRelocation::Staged)
        return staged;
    QString reason;
    if (!proveAndInstall(next.to, &reason))
        return ZNRelocation::Failed;
    znDropRelocatedFiles(files);
    return ZNRelocation::Staged;
}

bool ZNUpdater::reload(const QString& directory)
{
    if (!QDir(directory).exists() && !QDir(znGoodSetDir(directory)).exists())
        return false;
    QString reason;
    ZNEngineSlot::Loaded loaded = loadEngine(directory, &reason);
    if (loaded.engine) {
        loaded.setInstalled = znVirusdbSetTime(directory);
        znKeepGoodVirusdbSet(directory);
        installEngine(std::move(loaded), directory);
        return true;
    }
    const QString failure = QDir(directory).absolutePath() + QStringLiteral(": ") + reason;
    znTrace(ZNTraceBits::Failures, QStringLiteral("病毒库信息装载失败: ") + failure);
    if (stopping())
        return false;
    if (fallBack(directory, failure))
        return true;
    // The engine in use, if any, stays; a client sees why none was built.
    engines.setLoadFailure(failure);
    znEvent(
        QStringLiteral("[engine-failed] %1 engine=%2")
            .arg(failure, engines.current() ? QStringLiteral("previous") : QStringLiteral("none")));
    return false;
}

// The installed set does not load: the last one that did takes its place,
// and the broken one is kept beside it for the administrator to look at.
bool ZNUpdater::fallBack(const QString& directory, const QString& failure)
{
    const QString good = znGoodSetDir(directory);
    if (!QDir(good).exists())
        return false;
    QString reason;
    ZNEngineSlot::Loaded loaded = loadEngine(good, &reason);
    if (!loaded.engine)
        return false;
    loaded.setInstalled = znVirusdbSetTime(good);
    znTrace(ZNTraceBits::Failures,
            QStringLiteral("改用上次装载成功的病毒库: ") + good + QStringLiteral(" (") + failure
                + QStringLiteral(")"));
    if (!znStageVirusdbSet(directory, good, {}, &reason)
        || !znInstallVirusdbSet(directory, &reason, directory + QStringLiteral(".broken")))
        znDiscardStagedSet(directory);
    installEngine(std::move(loaded), good);
    alerts.notify("engine-fallback", {{"ZN_REASON", failure.toUtf8()}});
    return true;
}

// --- Engine loads ------------------------------------------------------------

struct ZNUpdater::EngineLoad
{
    KX2Mutex mutex;
    bool done KX2_GUARDED_BY(mutex) = false;
    bool abandoned KX2_GUARDED_BY(mutex) = false;
    ZNEngineSlot::Loaded loaded KX2_GUARDED_BY(mutex);
    QString reason KX2_GUARDED_BY(mutex);
};

ZNEngineSlot::Loaded ZNUpdater::loadEngine(const QString& directory, QString* reason)
{
    // A load that a stop left behind ends first, so that no more than one
    // engine is being built besides the one in use.
    if (abandonedLoad && !waitForLoad(abandonedLoad)) {
        *reason = QStringLiteral("stopped");
        return ZNEngineSlot::Loaded();
    }
    abandonedLoad.reset();
    const auto load = std::make_shared<EngineLoad>();
    const ZNScanLimits limits = settings.get().limits;
    const QString tempDir = configuration.scanTempDir;
    const bool started = thread.start([this, load, directory, limits, tempDir] {
        QString why;
        ZNEngineSlot::Loaded loaded = ZNEngineSlot::load(directory, limits, tempDir, &why);
        {
            KX2MutexLocker lock(load->mutex);
            if (!load->abandoned)
                std::swap(load->loaded, loaded);
            load->reason = why;
            load->done = true;
        }
        thread.wakeAll();
        // An abandoned engine goes here, on this thread.
    });
    if (!started)
        return ZNEngineSlot::load(directory, limits, tempDir, reason);
    if (!waitForLoad(load)) {
        KX2MutexLocker lock(load->mutex);
        load->abandoned = true;
        abandonedLoad = load;
        *reason = QStringLiteral("stopped");
        return ZNEngineSlot::Loaded();
    }
    KX2MutexLocker lock(load->mutex);
    *reason = load->reason;
    return std::move(load->loaded);
}

bool ZNUpdater::waitForLoad(const std::shared_ptr<EngineLoad>& load)
{
    const auto done = [&load] {
        KX2MutexLocker lock(load->mutex);
        return load->done;
    };
    while (!done()) {
        if (stopping() || thread.isShuttingDown())
            return false;
        thread.waitFor([this, &done] { return stopping() || done(); },
                       std::chrono::milliseconds(1000));
    }
    return true;
}
