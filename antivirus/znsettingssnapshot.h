// ZNSettingsSnapshot: the user settings in force, as one immutable value,
// and ZNSettingsHolder, which swaps it as a whole.
//
// Readers take a copy (the strings are shared, so a copy is cheap) and
// work with it however long they need; a settings save replaces the whole
// value, so no reader ever sees a work area of one save with the thread
// count of another.
//
// Thread rules: ZNSettingsHolder may be used from any thread; its one lock
// is held only for the copy or the swap.

#ifndef ZNSETTINGSSNAPSHOT_H
#define ZNSETTINGSSNAPSHOT_H

#include <QJsonObject>
#include <QString>

#include "kx2threadsafety.h"
#include "zncleancache.h"
#include "znscanlimits.h"

struct ZNSettingsSnapshot
{
    bool enabled = false;
    QString dataDir;    // absolute work area; empty while none is set
    QString virusdbDir; // "virusdb" inside dataDir; empty while none is set
    int threads = 0;    // scan workers asked for; 0 means one per core
    bool vdbAuto = false;
    // Walks leave out names beginning with "." (off by default: hidden
    // files are scanned like any other).
    bool skipHidden = false;
    // Later scans skip files found clean and unchanged since (on by
    // default; off: every scan reads every file, and nothing is remembered).
    bool incremental = true;
    // Most entries the clean-file cache keeps (zncleancache.h).
    qint64 cacheMaxEntries = kZNCacheDefaultMaxEntries;
    // How much of one file is scanned; a change reloads the engine.
    ZNScanLimits limits;
    QJsonObject schedule;

    // The normalised settings object (see znsettings.cpp) as a snapshot.
    static ZNSettingsSnapshot fromJson(const QJsonObject& settings);
    // Normalises a settings object in place; true when "datadir" is not
    // empty afterwards.
    static bool normalise(QJsonObject& settings);
    // The quarantine directory ".qra" of the work area; empty without one.
    QString quarantineDir() const;
};

class ZNSettingsHolder
{
public:
    ZNSettingsSnapshot get() const KX2_EXCLUDES(mutex);
    // Replaces the settings; returns the ones it replaced.
    ZNSettingsSnapshot exchange(ZNSettingsSnapshot next) KX2_EXCLUDES(mutex);

private:
    mutable KX2Mutex mutex;
    ZNSettingsSnapshot current KX2_GUARDED_BY(mutex);
};

#endif // ZNSETTINGSSNAPSHOT_H
