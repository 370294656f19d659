// ZNAntiVirus: the application module that carries the antivirus service.
//
// It keeps the SQLite store antivirus.db, the user settings, the compiled
// libclamav engine and the service's background threads (engine update,
// schedule, scan task and workers). All state lives in ZNAntiVirusPrivate.
//
// Ownership: created without a parent by the application router, which
// deletes it when it goes. Destruction stops and waits for every background
// thread the module started, then frees the engine and the store.
//
// Threads: loadConfigure() runs first, once at start-up, before any other
// operation and while no other operation runs. The other operations may be
// called from any thread, concurrently; they return false on failure and
// record the reason (code and message) on the journal they are given.

#ifndef ZNANTIVIRUS_H
#define ZNANTIVIRUS_H

#include <QJsonObject>

#include <memory>

#include "zncustom.h"

class KX2Journals;
class ZNAntiVirusPrivate;

class ZNAntiVirus : public ZNCustom
{
    Q_OBJECT
public:
    explicit ZNAntiVirus(QObject* parent = nullptr);
    ~ZNAntiVirus() override;

    // Reads the component's keys of config.json ("settings", "virusdburl",
    // "database", "overall"), opens or creates the store, checks its version
    // and drops tasks left over from an earlier run. True when the store is
    // open and usable; the same value is left in `configured`. Failures are
    // traced; only a store that cannot be opened adds a journal entry.
    bool loadConfigure(KX2Journals& journal, const QJsonObject& configuration) override;

    // Reads and normalises settings.json. With `settings` null the result is
    // applied to the running service; otherwise it is only copied out (with
    // "updatetime" of the last virus database description when known).
    // False when not configured or when the file gives no work area; the
    // journal is never written.
    bool settingsLoad(KX2Journals& journal, QJsonObject* settings) override;

    // Normalises `settings`, writes them to settings.json and applies them.
    // Refused with 9992 during a scan, 9987 without a settings path, 9871
    // while the virus database is being updated, 9990 when the file cannot
    // be written; false without a code when the work area is empty.
    bool settingsSave(KX2Journals& journal, const QJsonObject& settings) override;

    // Always true; the threads start with the settings and the scans.
    bool startUp(KX2Journals& journal, const QJsonObject& configuration) override;

    // Starts an online virus database update on the update thread (the
    // engine is reloaded afterwards). Refused with 9869 without a work area
    // and 9871 while the update thread runs.
    bool updVdbStart(KX2Journals& journal);
    // Asks a running update to stop and waits up to `timeoutMs` for the
    // update thread to end. True when none runs any more; the journal is
    // not written.
    bool updVdbStop(KX2Journals& journal, int timeoutMs);
    // Adds the progress report ("rate", "success", "total", "position" and,
    // when known, "updatetime") to `out`; true while the update thread runs.
    // The journal is not written.
    bool updVdbRunning(KX2Journals& journal, QJsonObject& out);

private:
    Q_DISABLE_COPY(ZNAntiVirus)
    friend class ZNAntiVirusPrivate;

    const std::unique_ptr<ZNAntiVirusPrivate> d;
};

#endif // ZNANTIVIRUS_H
