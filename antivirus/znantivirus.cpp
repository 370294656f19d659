// ZNAntiVirus: the public operations, each handed to the component that
// owns it; each returns its outcome, which the request layer reports.

#include "znantivirus.h"

#include <QJsonArray>

#include "kx2journals.h"
#include "kx2values.h"
#include "znantivirus_p.h"
#include "znscanlog.h"

ZNAntiVirusPrivate::ZNAntiVirusPrivate(ZNAntiVirus* owner) : q(owner)
{
    updater.runEnded = [this] {
        engineSettled = true;
        checkProtection();
    };
}

ZNProtectionFacts ZNAntiVirusPrivate::protectionFacts() const
{
    const ZNSettingsSnapshot now = settings.get();
    const QJsonObject engine = engines.report();
    const int mode = toInt(now.schedule.value(QLatin1String("mode")));
    const int scope = toInt(now.schedule.value(QLatin1String("scope")));
    ZNProtectionFacts facts;
    facts.enabled = now.enabled;
    facts.dataDir = now.dataDir;
    facts.engineSettled = engineSettled.load();
    facts.engineLoaded = toInt(engine.value(QLatin1String("loaded"))) == 1;
    facts.engineFailure = engine.value(QLatin1String("loaderror")).toString();
    facts.updateSource = configuration.hasUpdateSource();
    facts.scheduledScan = mode >= 1 && mode <= 3 && (scope == 1 || scope == 2);
    return facts;
}

void ZNAntiVirusPrivate::checkProtection()
{
    protection.check(protectionFacts());
}

ZNAntiVirusPrivate::~ZNAntiVirusPrivate()
{
    shutdown();
}

void ZNAntiVirusPrivate::shutdown()
{
    {
        // A settings save still running finishes first.
        KX2MutexLocker saving(settingsChange);
    }
    // From the component that calls the others down to the ones called;
    // each joins its own threads. The scan task writes its log row and
    // finishes its clean-file cache before the task thread ends.
    scheduler.shutdown();
    tasks.shutdown();
    keeper.shutdown();
    updater.shutdown();
    // A notification command still running is killed: a stop never waits
    // for it.
    alerts.stop();
    engines.clear();
    // No thread of the component writes any more: closing the connection
    // now ends the store's last transaction file with it, whatever
    // requests still in flight try afterwards (they fail, the store being
    // closed).
    store.close();
}

ZNAntiVirusPrivate* ZNAntiVirusPrivate::get(ZNAntiVirus* module)
{
    return module->d.get();
}

ZNAntiVirus::ZNAntiVirus(QObject* parent)
    : ZNCustom(parent), d(std::make_unique<ZNAntiVirusPrivate>(this))
{
}

ZNAntiVirus::~ZNAntiVirus() = default;

void ZNAntiVirus::shutdown()
{
    d->shutdown();
}

bool ZNAntiVirus::startUp(KX2Journals&, const QJsonObject&)
{
    return true;
}

// --- Update -------------------------------------------------------------------

KX2Status ZNAntiVirus::updVdbStart()
{
    return d->startUpdate();
}

bool ZNAntiVirus::updVdbStop(int timeoutMs)
{
    return d->updater.stop(timeoutMs);
}

QJsonObject ZNAntiVirus::updVdbProgress(bool* running)
{
    return d->updater.progress(running);
}

// --- Scans and missions ---------------------------------------------------------

KX2Status ZNAntiVirus::scanStart(const QString& path, bool wait, bool full)
{
    return d->tasks.start(path, wait, full);
}

void ZNAntiVirus::scanStop()
{
    d->tasks.stop();
}

QJsonObject ZNAntiVirus::scanProgress()
{
    QJsonObject out;
    QJsonObject missions;
    if (d->missions.listing(missions).ok())
        out.insert(QStringLiteral("missions"), missions);
    const QJsonObject progress = d->tasks.progress();
    for (auto it = progress.begin(); it != progress.end(); ++it)
        out.insert(it.key(), it.value());
    const QStringList gaps = ZNProtection::gapsOf(d->protectionFacts());
    if (!gaps.isEmpty())
        out.insert(QStringLiteral("warnings"), QJsonArray::fromStringList(gaps));
    return out;
}

KX2Status ZNAntiVirus::missionCreate(const QString& path)
{
    return d->missions.create(path);
}

KX2Status ZNAntiVirus::missionRemove(const QList<int>& numbers)
{
    return d->missions.remove(numbers);
}

KX2Status ZNAntiVirus::missionAlload(QJsonObject& out)
{
    return d->missions.listing(out);
}

// --- Quarantine and scan logs -------------------------------------------------------

KX2Status ZNAntiVirus::quarantinedAlload(QJsonObject& out, int page, int ofpage)
{
    return d->keeper.list(out, page, ofpage);
}

KX2Status ZNAntiVirus::logAlload(QJsonObject& out, int page, int ofpage)
{
    return znListScanLogs(d->store, out, page, ofpage);
}

KX2Status ZNAntiVirus::quarantinedRemove(const QList<int>& numbers)
{
    return d->keeper.remove(numbers);
}

KX2Status ZNAntiVirus::quarantinedRestore(const QList<int>& numbers)
{
    return d->keeper.restore(numbers);
}

KX2Status ZNAntiVirus::quarantinedReduce(int& amount)
{
    return d->keeper.reduce(amount);
}

KX2Status ZNAntiVirus::logRemove(const QList<int>& numbers)
{
    return znRemoveScanLogs(d->store, numbers);
}

// --- The scheduler's actions ------------------------------------------------------------

void ZNAntiVirusPrivate::scheduledUpdate()
{
    startUpdate();
}

// Not between a settings save's check that no update runs and its new
// work area: the update would fetch into the old one.
KX2Status ZNAntiVirusPrivate::startUpdate()
{
    KX2MutexLocker saving(settingsChange);
    return updater.requestUpgrade();
}

// Scope 1 scans the overall path, scope 2 every mission in mission-number
// order; the first start runs the task thread, the others queue behind it.
bool ZNAntiVirusPrivate::scheduledScan(int scope)
{
    // A due scan waits for a running update; a stop meanwhile keeps it due.
    updater.waitWhileRunning([this] { return scheduler.isStopping(); });
    if (scheduler.isStopping())
        return false;
    if (scope == 1) {
        tasks.start(configuration.overallPath, true);
    } else if (scope == 2) {
        for (const QString& path : missions.paths())
            tasks.start(path, true);
    }
    return true;
}
