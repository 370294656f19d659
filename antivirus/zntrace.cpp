#include "zntrace.h"

#include "appdata.h"
#include "kx2trace.h"

bool znTraceEnabled(int mask)
{
    const AppData* app = IAppData();
    return app && (app->debuglevel & mask) != 0;
}

void znTrace(int mask, const QVariant& line)
{
    if (znTraceEnabled(mask))
        PRINTLN_WITHTIME(line);
}
