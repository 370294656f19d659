// ZNEngineSlot: the compiled libclamav engine that scans use, and how one
// is built from a virus database directory.
//
// The update thread builds a new engine with load() and installs it; every
// scan takes a counted reference with current() and holds it while it
// scans, so a swap never frees an engine in use (see ZNEngineRef). The
// generation rises with every install, so a worker notices a reload
// without taking the lock for every file.
//
// The slot also keeps what a report says about the engine: its signature
// count, when its set was installed, and why the last load failed (kept
// until an engine is installed), so that a client can see why scans are
// refused; and its detection digest (znsetdigest.h), under which the files
// it found clean are remembered.
//
// Thread rules: any thread; the lock is held only to copy or swap the
// reference and its facts. The scan options are fixed at construction.

#ifndef ZNENGINESLOT_H
#define ZNENGINESLOT_H

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <atomic>

#include <clamav.h>

#include "kx2threadsafety.h"
#include "znengineref.h"
#include "znpausepoint.h"
#include "znscanlimits.h"
#include "zntempspill.h"

class ZNEngineSlot
{
public:
    ZNEngineSlot();
    ~ZNEngineSlot();
    ZNEngineSlot(const ZNEngineSlot&) = delete;
    ZNEngineSlot& operator=(const ZNEngineSlot&) = delete;

    // A reference to the engine in use; null before the first install.
    // With `digest`, also the engine's detection digest, taken under the
    // same lock (empty when the load could not tell it).
    ZNEngineRef current(QByteArray* digest = nullptr) const KX2_EXCLUDES(mutex);
    unsigned generation() const { return installed.load(); }
    // A compiled engine with what a report tells about it.
    struct Loaded
    {
        ZNEngineRef engine;
        unsigned signatures = 0;
        QDateTime setInstalled; // when its set was installed in the directory
        // znDetectionDigest() of the set and settings it was built with;
        // empty when a file of the set changed during the load.
        QByteArray digest;
        QString tempDir; // where its temporary files go; empty: the system's
    };

    // Makes `loaded` the engine in use; the previous one goes when its last
    // scan lets go. Clears the load failure.
    void install(Loaded loaded) KX2_EXCLUDES(mutex);
    // Records why a load failed, for the report.
    void setLoadFailure(const QString& reason) KX2_EXCLUDES(mutex);
    // {"loaded": 0|1, "signatures", "installtime", "tmpdir" (when loaded),
    //  "loaderror" (when the last load failed)}.
    QJsonObject report() const KX2_EXCLUDES(mutex);
    // Drops the engine in use (the owner's shut-down).
    void clear() KX2_EXCLUDES(mutex);

    const cl_scan_options* options() const { return &scanOptions; }

    // Builds and compiles an engine from the database files in `directory`
    // with `limits`, its temporary files in `tempDir` (libclamav's default
    // when empty), and its detection digest (the files are read once more
    // for it). A null engine on failure, with libclamav's reason in
    // `reason`: its error code and the error lines it wrote meanwhile on
    // this thread (they name the file that failed).
    static Loaded load(const QString& directory, const ZNScanLimits& limits,
                       const QString& tempDir, QString* reason);

    // Reached by install() before it publishes the engine.
    ZNPausePointSlot installing;
    // Every scan of the slot's engines holds a pass of it.
    ZNTempSpill spill;

private:
    // Held only to copy or swap the engine.
    mutable KX2Mutex mutex;

    ZNEngineRef engine KX2_GUARDED_BY(mutex);
    unsigned signatures KX2_GUARDED_BY(mutex) = 0;
    QDateTime setInstalled KX2_GUARDED_BY(mutex);
    QByteArray digest KX2_GUARDED_BY(mutex);
    QString tempDir KX2_GUARDED_BY(mutex);
    QString loadFailure KX2_GUARDED_BY(mutex);
    std::atomic<unsigned> installed{0};
    cl_scan_options scanOptions{};
};

#endif // ZNENGINESLOT_H
