// ZNAntiVirus: the public operations, each handed to the component that
// owns it; outcomes go to the caller's journal once.

#include "znantivirus.h"

#include "kx2journals.h"
#include "znantivirus_p.h"
#include "znscanlog.h"

ZNAntiVirusPrivate::ZNAntiVirusPrivate(ZNAntiVirus* owner) : q(owner) {}

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

bool ZNAntiVirus::updVdbStart(KX2Journals& journal)
{
    return journal.report(d->updater.requestUpgrade());
}

bool ZNAntiVirus::updVdbStop(KX2Journals&, int timeoutMs)
{
    return d->updater.stop(timeoutMs);
}

bool ZNAntiVirus::updVdbRunning(KX2Journals&, QJsonObject& out)
{
    bool running = false;
    out = d->updater.progress(&running);
    return running;
}

// --- Scans and missions ---------------------------------------------------------

bool ZNAntiVirus::scanStart(KX2Journals& journal, const QString& path, bool wait, bool full)
{
    return journal.report(d->tasks.start(path, wait, full));
}

bool ZNAntiVirus::scanStop(KX2Journals&)
{
    d->tasks.stop();
    return true;
}

bool ZNAntiVirus::scanRunning(KX2Journals&, QJsonObject& out)
{
    QJsonObject missions;
    if (d->missions.listing(missions).ok())
        out.insert(QStringLiteral("missions"), missions);
    const QJsonObject progress = d->tasks.progress();
    for (auto it = progress.begin(); it != progress.end(); ++it)
        out.insert(it.key(), it.value());
    return true;
}

bool ZNAntiVirus::missionCreate(KX2Journals& journal, const QString& path)
{
    return journal.report(d->missions.create(path));
}

bool ZNAntiVirus::missionRemove(KX2Journals& journal, const QList<int>& numbers)
{
    return journal.report(d->missions.remove(numbers));
}

bool ZNAntiVirus::missionAlload(KX2Journals& journal, QJsonObject& out)
{
    return journal.report(d->missions.listing(out));
}

// --- Quarantine and scan logs -------------------------------------------------------

bool ZNAntiVirus::quarantinedAlload(KX2Journals& journal, QJsonObject& out, int page, int ofpage)
{
    return journal.report(d->keeper.list(out, page, ofpage));
}

bool ZNAntiVirus::logAlload(KX2Journals& journal, QJsonObject& out, int page, int ofpage)
{
    return journal.report(znListScanLogs(d->store, out, page, ofpage));
}

bool ZNAntiVirus::quarantinedRemove(KX2Journals& journal, const QList<int>& numbers)
{
    return journal.report(d->keeper.remove(numbers));
}

bool ZNAntiVirus::quarantinedRestore(KX2Journals& journal, const QList<int>& numbers)
{
    return journal.report(d->keeper.restore(numbers));
}

bool ZNAntiVirus::quarantinedReduce(KX2Journals& journal, int& amount)
{
    return journal.report(d->keeper.reduce(amount));
}

bool ZNAntiVirus::logRemove(KX2Journals& journal, const QList<int>& numbers)
{
    return journal.report(znRemoveScanLogs(d->store, numbers));
}

// --- The scheduler's actions ------------------------------------------------------------

void ZNAntiVirusPrivate::scheduledUpdate()
{
    updater.requestUpgrade();
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
