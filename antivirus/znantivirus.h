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
#include <QList>

#include <memory>

#include "kx2status.h"
#include "zncustom.h"

class KX2Journals;
class ZNAntiVirusPrivate;

class ZNAntiVirus : public ZNCustom
{
    Q_OBJECT
public:
    explicit ZNAntiVirus(QObject* parent = nullptr);
    ~ZNAntiVirus() override;

    // The ordered stop of a stopping process: no new scheduled work, the
    // running scan task stopped (its log row written, its clean-file cache
    // finished), the quarantine keeper and the updater stopped, every
    // background thread joined, then the store closed. Operations called
    // afterwards fail. Idempotent; the destructor does the same. Must not
    // be called from one of the module's own threads.
    void shutdown();

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
    KX2Status updVdbStart();
    // Asks a running update to stop and waits up to `timeoutMs` for the
    // update thread to end. True when none runs any more.
    bool updVdbStop(int timeoutMs);
    // The progress report ("rate", "success", "total", "position" and,
    // when known, "lastresult" and "updatetime"); *running tells whether
    // the update thread runs, read with the report as one snapshot.
    QJsonObject updVdbProgress(bool* running);

    // Queues a scan of `path` (a directory or a regular file, not a link)
    // and starts the task thread. Refused with 9983 while no engine is
    // loaded, 9869/9994/9969 without a usable work area or quarantine, 9993
    // when the same path is already queued, 9992 when a task already runs
    // (the new task stays queued and runs after it). With `wait`, waits for
    // a running virus database update to end first. With `full`, the task
    // scans every file, skipping none that the clean-file cache knows.
    KX2Status scanStart(const QString& path, bool wait, bool full = false);
    // Stops the running task (queued tasks stay queued) and returns once the
    // task thread has ended.
    void scanStop();
    // Progress of the running or last task, and the missions with the times
    // of their newest scan.
    QJsonObject scanProgress();

    // Registers a directory (stored with a trailing "/") or a regular file
    // for scheduled scans. 9994 when nothing usable is there, 9993 when the
    // stored path is already registered, 9886/9969 on database failures.
    KX2Status missionCreate(const QString& path);
    // Deletes the missions with these numbers, with their logs and
    // quarantine records. 9994 when none matched, 9975 on a database failure.
    KX2Status missionRemove(const QList<int>& numbers);
    // Adds one member per mission, keyed by its stored path, with the times
    // of its newest scan (null before the first); 9975 when the missions
    // cannot be read.
    KX2Status missionAlload(QJsonObject& out);

    // --- Quarantine and scan logs --------------------------------------------
    // Record and log numbers come from the request layer: positive and
    // distinct. Any number of them is handled in one statement each.
    //
    // Listings: `page` is the 1-based position of the first row (not a page
    // number), `ofpage` the most rows returned, both already clamped. `out`
    // gets "page", "ofpage", "reccount" and "records" (ascending record
    // number), or stays empty when the table has no rows. False with 9975
    // when the store cannot be read.
    KX2Status quarantinedAlload(QJsonObject& out, int page, int ofpage);
    KX2Status logAlload(QJsonObject& out, int page, int ofpage);
    // Deletes the quarantined files and then their records; a record whose
    // file cannot be deleted stays. True when at least one record went;
    // false without a code when none did, 9975 when the store fails.
    KX2Status quarantinedRemove(const QList<int>& numbers);
    // Queues the move of each quarantined file back to its former path and
    // returns; the quarantine keeper moves it within about a second and only
    // then deletes the record (a failed move keeps the record). Refused per
    // record, without a code, when something exists at the former path or
    // when the former directory or path is a symbolic link. True when at
    // least one restore was queued.
    KX2Status quarantinedRestore(const QList<int>& numbers);
    // Deletes the records whose quarantined file no longer exists; `amount`
    // gets the number deleted (0 on failure). False with 9975 when the store
    // fails.
    KX2Status quarantinedReduce(int& amount);
    // Deletes scan log rows; false without a code when none of the numbers
    // exists, 9975 when the store fails.
    KX2Status logRemove(const QList<int>& numbers);

private:
    Q_DISABLE_COPY(ZNAntiVirus)
    friend class ZNAntiVirusPrivate;

    const std::unique_ptr<ZNAntiVirusPrivate> d;
};

#endif // ZNANTIVIRUS_H
