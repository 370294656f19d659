#include "zntrace.h"

#include "kx2logger.h"

#include "kx2trace.h"
#include "kx2tracelevel.h"

bool znTraceEnabled(int mask)
{
    return (kx2TraceLevel() & mask) != 0;
}

void znTrace(int mask, const QVariant& line)
{
    if (znTraceEnabled(mask))
        PRINTLN_WITHTIME(line);
}

void znEvent(const QString& line)
{
    if (!kx2HasTraceLevelSource())
        return;
    PRINTLN_WITHTIME(line);
    // The event log file, when the configuration names one.
    if (KX2Logger* logger = KX2Logger::i(); logger && !logger->filePath().isEmpty())
        logger->write(KX2Logger::Info, QStringLiteral("antivirus"), QString(), 0, "%s",
                      line.toUtf8().constData());
}
