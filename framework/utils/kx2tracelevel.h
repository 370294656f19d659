// The process's console trace mask ("debuglevel"), as modules below the
// application read it.
//
// The application owns the setting; it registers itself as the source with
// kx2SetTraceLevelSource() once it has read its configuration, and modules
// ask kx2TraceLevel() when deciding whether to print a trace line. Without
// a registered source (unit tests that build a module directly) the mask
// is 0: nothing is traced.
//
// Threads: kx2TraceLevel() may be called from any thread at any time. The
// source is registered on the main thread during start-up and must outlive
// every later call, or be unregistered (null) before it goes.

#ifndef KX2TRACELEVEL_H
#define KX2TRACELEVEL_H

#include <QtGlobal>

class KX2TraceLevelSource
{
public:
    virtual ~KX2TraceLevelSource() = default;
    virtual qint32 traceLevel() const = 0;
};

void kx2SetTraceLevelSource(const KX2TraceLevelSource* source);
qint32 kx2TraceLevel();
// Whether a source is registered: the process is the service, not a unit
// test building a module directly.
bool kx2HasTraceLevelSource();

#endif // KX2TRACELEVEL_H
