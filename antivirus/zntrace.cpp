#include "zntrace.h"

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
    if (kx2HasTraceLevelSource())
        PRINTLN_WITHTIME(line);
}
