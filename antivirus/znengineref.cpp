#include "znengineref.h"

#include <utility>

#include <clamav.h>

ZNEngineRef ZNEngineRef::create()
{
    ZNEngineRef ref;
    ref.engine = cl_engine_new();
    return ref;
}

ZNEngineRef::ZNEngineRef(const ZNEngineRef& other)
{
    if (other.engine && cl_engine_addref(other.engine) == CL_SUCCESS)
        engine = other.engine;
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
    if (dropped)
        cl_engine_free(dropped);
}
