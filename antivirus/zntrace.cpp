#include "zntrace.h"

#include "kx2escape.h"
#include "kx2logger.h"

#include "kx2trace.h"
#include "kx2tracelevel.h"

bool znTraceEnabled(int mask)
{
    return (kx2TraceLevel() & mask) != 0;
}

void znTrace(int mask, const QVariant& line)
{
    if (!znTraceEnabled(mask))
        return;
    if (line.userType() == QMetaType::QString)
        PRINTLN_WITHTIME(kx2Escaped(line.toString()));
    else
        PRINTLN_WITHTIME(line);
}

void znEvent(const QString& line)
{
    znEvent(line.toUtf8());
}

void znEvent(const QByteArray& line)
{
    if (!kx2HasTraceLevelSource())
        return;
    const QByteArray escaped = kx2Escaped(line);
    PRINTLN_WITHTIME(QString::fromUtf8(escaped));
    // The event log file, when the configuration names one.
    if (KX2Logger* logger = KX2Logger::i(); logger && !logger->filePath().isEmpty())
        logger->write(KX2Logger::Info, QStringLiteral("antivirus"), QString(), 0, "%s",
                      escaped.constData());
}
