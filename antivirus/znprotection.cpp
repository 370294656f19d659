#include "znprotection.h"

#include "zntrace.h"

QStringList ZNProtection::gapsOf(const ZNProtectionFacts& facts)
{
    QStringList gaps;
    if (facts.dataDir.isEmpty())
        gaps << QStringLiteral("no work area is set (settings: datadir)");
    else if (!facts.enabled)
        gaps << QStringLiteral("scanning is switched off (settings: enabled)");
    if (!facts.dataDir.isEmpty() && facts.engineSettled && !facts.engineLoaded)
        gaps << QStringLiteral("no virus database is loaded: %1")
                    .arg(facts.engineFailure.isEmpty()
                             ? QStringLiteral("the work area holds none yet (znavctl update)")
                             : facts.engineFailure);
    if (!facts.updateSource)
        gaps << QStringLiteral("no update source (config.json: virusdburl)");
    if (!facts.scheduledScan)
        gaps << QStringLiteral("no scheduled scan (settings: schedule)");
    return gaps;
}

void ZNProtection::check(const ZNProtectionFacts& facts)
{
    const QStringList now = gapsOf(facts);
    KX2MutexLocker lock(mutex);
    for (const QString& gap : now) {
        if (!said.contains(gap))
            znEvent(QStringLiteral("[unprotected] ") + gap);
    }
    for (const QString& gap : qAsConst(said)) {
        if (!now.contains(gap))
            znEvent(QStringLiteral("[protected] resolved: ") + gap);
    }
    said = now;
}
