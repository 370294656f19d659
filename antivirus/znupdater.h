// ZNUpdater: the update thread, which relocates the virus database when
// the work area changes, takes a newer set from the system directory,
// fetches a new set from the mirror when asked, and (re)loads the engine.
//
// At most one update thread runs. It is the only writer of the database
// directory, its siblings (see znvirusdbset.h) and the stored description
// "virusdb.json"; request threads only start it, ask it to stop and read
// its progress. A relocation is queued by a settings change and carried out
// at the start of the next run.
//
// Protection never lapses: a new set is installed only after an engine
// built from it loaded and compiled (that engine is then the one used),
// and a set that fails to load falls back to the last one that loaded.
// "virusdb.json" is written only once its set is installed.
//
// Thread rules: every public function may be called from any thread. The
// run's flags, its outcome and the relocation queue are one State under one
// lock, so a progress report is one consistent picture: a report that says
// no run is going on carries the outcome of the run that ended. The cached
// description time has a lock of its own, never held with it. An engine
// load runs on a thread of its own so that a stop ends the run at once; a
// stopped load finishes in the background and drops its engine. The
// destructor asks a running update to stop and waits for every thread.

#ifndef ZNUPDATER_H
#define ZNUPDATER_H

#include <QElapsedTimer>
#include <QJsonObject>
#include <QString>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>

#include "kx2threadgroup.h"
#include "kx2threadsafety.h"
#include "znengineslot.h"
#include "kx2status.h"
#include "znrelocation.h"
#include "znvirusdbdownload.h"

struct ZNConfiguration;
class ZNSettingsHolder;

class ZNAlerts;

class ZNUpdater
{
public:
    // Called on the update thread after each of its runs (an update, a
    // reload, a relocation); set before the first prepare().
    std::function<void()> runEnded;

    // `alerts` is told of failed updates and engine fall-backs.
    ZNUpdater(const ZNConfiguration& configuration, const ZNSettingsHolder& settings,
              ZNEngineSlot& engines, ZNAlerts& alerts);
    ~ZNUpdater();
    ZNUpdater(const ZNUpdater&) = delete;
    ZNUpdater& operator=(const ZNUpdater&) = delete;

    // Starts the update thread for a run (with `reload`, the engine is
    // rebuilt even when no file changed). True when this call started it,
    // false when one already runs or no thread could be started.
    bool prepare(bool reload);
    // A client's update request: fetch from the mirror, then reload.
    // 9869 without a work area, 9871 while a run is going on.
    KX2Status requestUpgrade();
    // Asks a running update to stop and waits up to `timeoutMs` for the
    // thread to end; true when none runs any more.
    bool stop(int timeoutMs);
    bool isRunning() const KX2_EXCLUDES(stateMutex) { return flag(&State::running); }
    // Whether the engine must still be (re)built from the database files.
    bool reloadPending() const KX2_EXCLUDES(stateMutex) { return flag(&State::reloadDue); }
    // Whether runs fetch from the mirror (set by a request or a failed
    // relocation, then for the life of the process).
    bool upgradeWanted() const KX2_EXCLUDES(stateMutex) { return flag(&State::upgradeRequested); }
    // Blocks while an update runs, until `cancelled` returns true (tested
    // at least once a second) or the updater shuts down.
    template <class Cancelled>
    void waitWhileRunning(Cancelled cancelled)
    {
        using namespace std::chrono_literals;
        while (isRunning() && !cancelled() && !thread.isShuttingDown())
            thread.waitFor([this] { return !isRunning(); }, 1000ms);
    }

    // The progress report; the figures of the last run once none runs,
    // with "lastreason" (why the last run failed, when it did) and "engine"
    // (ZNEngineSlot::report()). `running`, when given, is whether a run was
    // going on when the figures were taken: both come from one snapshot.
    QJsonObject progress(bool* running = nullptr) KX2_EXCLUDES(stateMutex);
    // "updatetime" of the stored description; see storedUpdateTime().
    QString storedUpdateTime(bool lookNow) KX2_EXCLUDES(timeMutex);

    // Queues the move of the database files from `from` to `to` for the
    // next run.
    void queueRelocation(const QString& from, const QString& to) KX2_EXCLUDES(stateMutex);
    int queuedRelocations() const KX2_EXCLUDES(stateMutex);

    // Stops a running update and waits for the thread (the destructor).
    void shutdown();

private:
    struct Relocation
    {
        QString from;
        QString to;
    };
    struct EngineLoad;
    // What the update thread and the request threads share.
    struct State
    {
        bool running = false;
        bool stopRequested = false;
        // Runs fetch from the mirror (see upgradeWanted()).
        bool upgradeRequested = false;
        bool reloadDue = true;
        // Any online update succeeded since the service started.
        bool anySuccess = false;
        // Outcome of the latest online update: -1 none yet, 0 failed, 1 succeeded.
        int lastResult = -1;
        QString lastReason;
        std::deque<Relocation> moves;
    };

    void threadMain();
    void run();
    // Carries out the queued relocations; false when one failed (the rest
    // are dropped).
    bool relocate() KX2_EXCLUDES(stateMutex);
    bool takeRelocation(Relocation& next) KX2_EXCLUDES(stateMutex);
    ZNRelocation relocateOne(const Relocation& next);
    // Copies the system directory's set into `directory` through the
    // proof: alone (`whole`, a first work area), or over the installed set
    // when the system directory holds newer files.
    bool takeSystemSet(const QString& directory, bool whole);
    void upgrade(const QString& directory);
    // Loads the set staged beside `directory`; installs set and engine
    // when it loaded, discards the staged set otherwise.
    bool proveAndInstall(const QString& directory, QString* reason);
    bool reload(const QString& directory);
    // Makes `loaded` the engine in use and says so in the event log.
    void installEngine(ZNEngineSlot::Loaded loaded, const QString& directory);
    bool fallBack(const QString& directory, const QString& failure);
    // ZNEngineSlot::load() on a thread of its own; a null engine with
    // "stopped" when the run is stopped meanwhile.
    ZNEngineSlot::Loaded loadEngine(const QString& directory, QString* reason);
    bool waitForLoad(const std::shared_ptr<EngineLoad>& load);
    ZNFetchControl fetchControl();
    void setLastReason(const QString& reason) KX2_EXCLUDES(stateMutex);
    // Records how an online update ended.
    void setOutcome(bool ok, const QString& reason) KX2_EXCLUDES(stateMutex);
    bool flag(bool State::*member) const KX2_EXCLUDES(stateMutex);
    void setFlag(bool State::*member, bool value) KX2_EXCLUDES(stateMutex);
    bool stopping() const KX2_EXCLUDES(stateMutex) { return flag(&State::stopRequested); }

    const ZNConfiguration& configuration;
    const ZNSettingsHolder& settings;
    ZNEngineSlot& engines;
    ZNAlerts& alerts;

    // Never held while calling into `thread`, whose lock is held while it
    // tests a wait's condition (which may take this one).
    mutable KX2Mutex stateMutex;
    State state KX2_GUARDED_BY(stateMutex);
    // Written by the fetch while it runs; read with the state, so the
    // figures of a run that ended are its last ones.
    ZNDownloadProgress download;

    // The stored description's "updatetime" is polled by clients; the file
    // is looked at again only after a run wrote it (descriptionWrites) or a
    // second after the last look, and read only when its identity or times
    // changed.
    std::atomic<quint64> descriptionWrites{0};
    KX2Mutex timeMutex;
    QByteArray timeStamp KX2_GUARDED_BY(timeMutex);
    QString timeCached KX2_GUARDED_BY(timeMutex);
    quint64 timeSeenWrites KX2_GUARDED_BY(timeMutex) = 0;
    QElapsedTimer timeLooked KX2_GUARDED_BY(timeMutex);

    // A load that a stop left running; only the update thread uses it.
    std::shared_ptr<EngineLoad> abandonedLoad;
    // The stamp of a system directory whose set failed its proof: not tried
    // again (a load each run) until the directory changes. Update thread only.
    QByteArray refusedSystemStamp;

    KX2ThreadGroup thread;
};

#endif // ZNUPDATER_H
