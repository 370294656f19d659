// ZNAntiVirusPrivate: the components of the antivirus service, wired
// together.
//
// Each component owns its state, its lock and its thread (see
// docs/architecture.md); this class only holds them, in the order they
// depend on each other, and the two pieces that no single component owns:
// the store shared by all, and the lock that serialises settings changes.
//
// Thread rules: the members are created with the object and live as long
// as it does. `configuration` is written by loadConfigure() before any
// background thread exists, read-only afterwards. shutdown(), and the
// destructor through it, stops the components in reverse dependency order
// (each joins its own threads), so no thread outlives what it uses.

#ifndef ZNANTIVIRUS_P_H
#define ZNANTIVIRUS_P_H

#include <QJsonObject>

#include <atomic>

#include "kx2dbsqlite.h"
#include "kx2threadsafety.h"
#include "znalerts.h"
#include "znconfiguration.h"
#include "znengineslot.h"
#include "znmissions.h"
#include "znprotection.h"
#include "znquarantinekeeper.h"
#include "znscantasks.h"
#include "znscheduler.h"
#include "znsettingssnapshot.h"
#include "znupdater.h"

class KX2Journals;
class ZNAntiVirus;

class ZNAntiVirusPrivate
{
public:
    explicit ZNAntiVirusPrivate(ZNAntiVirus* owner);
    ~ZNAntiVirusPrivate();
    ZNAntiVirusPrivate(const ZNAntiVirusPrivate&) = delete;
    ZNAntiVirusPrivate& operator=(const ZNAntiVirusPrivate&) = delete;

    static ZNAntiVirusPrivate* get(ZNAntiVirus* module);

    // Stops the components in reverse dependency order, each joining its
    // threads, then closes the store. Idempotent.
    void shutdown() KX2_EXCLUDES(settingsChange);

    // Store (znstore.cpp): opens or creates it and checks its version; on
    // failure the store is closed and the reason added to `journal` as made
    // at `place`.
    bool openStore(KX2Journals& journal, const QString& place);

    // Settings (znsettings.cpp): normalises, writes and applies a settings
    // save, refused with the codes of ZNAntiVirus::settingsSave.
    KX2Status saveSettings(const QJsonObject& settings) KX2_EXCLUDES(settingsChange);
    // Applies a normalised settings object; false
    // only when "enabled" is set and "datadir" is empty.
    bool applySettings(const QJsonObject& settings, bool initial) KX2_REQUIRES(settingsChange);

    // Starts an update run (a request or the schedule), after any settings
    // save in progress.
    KX2Status startUpdate() KX2_EXCLUDES(settingsChange);
    // The scheduler's actions, on the schedule thread.
    void scheduledUpdate() KX2_EXCLUDES(settingsChange);
    bool scheduledScan(int scope);

    // What keeps the service from protecting now (znprotection.h), and the
    // check that says what changed; after every settings apply and every
    // run of the update thread.
    ZNProtectionFacts protectionFacts() const;
    void checkProtection();

    ZNAntiVirus* const q;

    ZNConfiguration configuration;
    KX2DBSqlite store; // one connection shared by all threads (serialized mode)
    ZNSettingsHolder settings;
    ZNEngineSlot engines;
    ZNAlerts alerts;
    ZNProtection protection;
    // Set once the update thread ended its first run: from then on what
    // the engine slot holds is what the service has.
    std::atomic<bool> engineSettled{false};
    ZNUpdater updater{configuration, settings, engines, alerts};
    ZNQuarantineKeeper keeper{store, alerts};
    ZNMissions missions{store, keeper};
    ZNScanTasks tasks{{store, configuration, settings, engines, updater, keeper, missions}};
    ZNScheduler scheduler{[this] { scheduledUpdate(); },
                          [this](int scope) { return scheduledScan(scope); }};

    // Serialises settings saves and the applying load, so the file and the
    // settings in force always come from the same call, and keeps update
    // runs from starting during a save (taken before the updater's locks).
    KX2Mutex settingsChange;
};

#endif // ZNANTIVIRUS_P_H
