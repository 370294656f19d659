#include "znengineref.h"

#include <QHash>

#include <utility>

#include <clamav.h>

#include "kx2threadsafety.h"

namespace {

// Mirror of libclamav's per-engine reference counts, so that the number of
// live engines can be observed. Updated together with every addref/free.
struct EngineRegistry
{
    KX2Mutex mutex;
    QHash<const cl_engine*, int> references KX2_GUARDED_BY(mutex);
};

// Never destroyed: detached threads may still drop references while the
// process exits and its static objects go away.
EngineRegistry& registry()
{
    static EngineRegistry* const instance = new EngineRegistry();
    return *instance;
}

} // namespace

ZNEngineRef ZNEngineRef::create()
{
    ZNEngineRef ref;
    ref.engine = cl_engine_new();
    if (ref.engine) {
        KX2MutexLocker lock(registry().mutex);
        registry().references.insert(ref.engine, 1);
    }
    return ref;
}

ZNEngineRef::ZNEngineRef(const ZNEngineRef& other)
{
    if (other.engine && cl_engine_addref(other.engine) == CL_SUCCESS) {
        engine = other.engine;
        KX2MutexLocker lock(registry().mutex);
        ++registry().references[engine];
    }
}

ZNEngineRef::ZNEngineRef(ZNEngineRef&& other) noexcept
    : engine(std::exchange(other.engine, nullptr))
{
}

ZNEngineRef& ZNEngineRef::operator=(ZNEngineRef other) noexcept
{
    std::swap(engine, other.engine);
    return *this;
}

ZNEngineRef::~ZNEngineRef()
{
    reset();
}

void ZNEngineRef::reset() noexcept
{
    cl_engine* const dropped = std::exchange(engine, nullptr);
    if (!dropped)
        return;
    {
        KX2MutexLocker lock(registry().mutex);
        auto it = registry().references.find(dropped);
        if (it != registry().references.end() && --it.value() == 0)
            registry().references.erase(it);
    }
    cl_engine_free(dropped);
}

int ZNEngineRef::liveEngines()
{
    KX2MutexLocker lock(registry().mutex);
    return registry().references.size();
}
