// Counts the libclamav engines a test binary holds, by standing in for
// cl_engine_new, cl_engine_addref and cl_engine_free: the service's calls
// bind to these definitions of the executable, which keep one count of
// references per engine and pass each call on to libclamav's own.
// libclamav keeps its counts to itself, so this is how a test tells that
// an engine went with its last user.
//
// Include in exactly one source file of a test binary. Thread-safe.

#ifndef AVENGINELEDGER_H
#define AVENGINELEDGER_H

#include <clamav.h>
#include <dlfcn.h>

#include <map>
#include <mutex>

namespace avtest {

struct EngineLedger
{
    std::mutex mutex;
    std::map<const cl_engine*, int> references;

    static EngineLedger& instance()
    {
        static EngineLedger* const ledger = new EngineLedger(); // outlives every engine
        return *ledger;
    }
    void add(const cl_engine* engine, int delta)
    {
        std::lock_guard<std::mutex> lock(mutex);
        if ((references[engine] += delta) <= 0)
            references.erase(engine);
    }
};

// The engines with references left.
inline int liveEngines()
{
    EngineLedger& ledger = EngineLedger::instance();
    std::lock_guard<std::mutex> lock(ledger.mutex);
    return int(ledger.references.size());
}

template <class Function>
Function libclamav(const char* name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

} // namespace avtest

struct cl_engine* cl_engine_new(void)
{
    static const auto real = avtest::libclamav<cl_engine* (*)()>("cl_engine_new");
    cl_engine* const engine = real();
    if (engine)
        avtest::EngineLedger::instance().add(engine, 1);
    return engine;
}

cl_error_t cl_engine_addref(struct cl_engine* engine)
{
    static const auto real = avtest::libclamav<cl_error_t (*)(cl_engine*)>("cl_engine_addref");
    const cl_error_t result = real(engine);
    if (result == CL_SUCCESS)
        avtest::EngineLedger::instance().add(engine, 1);
    return result;
}

cl_error_t cl_engine_free(struct cl_engine* engine)
{
    static const auto real = avtest::libclamav<cl_error_t (*)(cl_engine*)>("cl_engine_free");
    if (engine)
        avtest::EngineLedger::instance().add(engine, -1);
    return real(engine);
}

#endif // AVENGINELEDGER_H
