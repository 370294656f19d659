// ZNEngineRef: one counted reference to a compiled libclamav engine.
//
// libclamav counts the references of an engine: cl_engine_addref() adds
// one and cl_engine_free() drops one, freeing the engine with the last.
// Each ZNEngineRef owns exactly one such reference: copying adds one,
// destroying or resetting drops it. A scan holds a ZNEngineRef for as long
// as it uses the engine, so replacing the service's current engine never
// frees one that a scan is still using, and the replaced engine goes away
// when its last user lets go.
//
// Threads: a ZNEngineRef object is used by one thread at a time; different
// objects referring to the same engine may be copied and destroyed on
// different threads at once (libclamav guards its count with a mutex).

#ifndef ZNENGINEREF_H
#define ZNENGINEREF_H

struct cl_engine;

class ZNEngineRef
{
public:
    ZNEngineRef() noexcept = default;
    ZNEngineRef(const ZNEngineRef& other);
    ZNEngineRef(ZNEngineRef&& other) noexcept;
    ZNEngineRef& operator=(ZNEngineRef other) noexcept;
    ~ZNEngineRef();

    // A new, empty engine (cl_engine_new) holding its creator's reference;
    // a null reference when libclamav cannot create one.
    static ZNEngineRef create();

    // Drops the reference; the object becomes null.
    void reset() noexcept;

    cl_engine* get() const noexcept { return engine; }
    explicit operator bool() const noexcept { return engine != nullptr; }

private:
    cl_engine* engine = nullptr;
};

#endif // ZNENGINEREF_H
