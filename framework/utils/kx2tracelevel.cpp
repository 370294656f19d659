#include "kx2tracelevel.h"

#include <atomic>

namespace {

std::atomic<const KX2TraceLevelSource*> g_source{nullptr};

} // namespace

void kx2SetTraceLevelSource(const KX2TraceLevelSource* source)
{
    g_source.store(source);
}

qint32 kx2TraceLevel()
{
    const KX2TraceLevelSource* source = g_source.load();
    return source ? source->traceLevel() : 0;
}

bool kx2HasTraceLevelSource()
{
    return g_source.load() != nullptr;
}
