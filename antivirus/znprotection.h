// ZNProtection: what keeps the service from protecting the shares, said
// when it appears and when it is gone.
//
// The gaps are short English sentences naming the setting to change: no
// work area, scanning off, no virus database loaded (and why), no update
// source, no scheduled scan. gapsOf() makes them from the facts the
// service gathers (settings in force, engine slot, configuration); the
// progress report shows them. check() compares them with those said last
// and writes an event for each change: "[unprotected] GAP" (warning) for a
// new one, "[protected] resolved: GAP" (notice) for one that closed. The
// engine's facts count only once `engineSettled` (the update thread ended
// a run): until then a load may be on its way, and a start-up would warn
// for nothing.
//
// Thread rules: any thread; one lock around the gaps said last, held while
// their events are written so that two checks never interleave them.

#ifndef ZNPROTECTION_H
#define ZNPROTECTION_H

#include <QString>
#include <QStringList>

#include "kx2threadsafety.h"

struct ZNProtectionFacts
{
    bool enabled = false;
    QString dataDir; // the work area in force; empty: none
    bool engineSettled = false;
    bool engineLoaded = false;
    QString engineFailure; // why the last load failed; empty: none failed
    bool updateSource = false;
    bool scheduledScan = false;
};

class ZNProtection
{
public:
    static QStringList gapsOf(const ZNProtectionFacts& facts);
    void check(const ZNProtectionFacts& facts) KX2_EXCLUDES(mutex);

private:
    KX2Mutex mutex;
    QStringList said KX2_GUARDED_BY(mutex);
};

#endif // ZNPROTECTION_H
