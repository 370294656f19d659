#include "znoutcome.h"

#include "kx2journals.h"

bool ZNOutcome::report(KX2Journals& journal) const
{
    if (!ok())
        journal.setErr(code, message);
    return ok();
}
