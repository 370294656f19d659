// ZNTempSpill: a second try, with libclamav's temporary files on disk, for
// a scan that ran out of room in their bounded memory-backed directory.
//
// An engine's temporary directory is one setting of the whole engine, read
// by every scan that starts on it. So a spill changes it only while no
// other scan runs: every scan holds a Pass while it scans, and spill()
// waits for the passes to end, lets no new one start, points the engine at
// the system's temporary directory for its one scan and back after it.
// A waiting spill goes before new passes, so busy workers cannot starve it.
// Spills are rare (an archive member larger than the free memory-backed
// space) and the other workers wait for at most one scan.
//
// Thread rules: any thread; a thread that holds a Pass must not spill.

#ifndef ZNTEMPSPILL_H
#define ZNTEMPSPILL_H

#include <condition_variable>
#include <functional>

#include <clamav.h>

#include "kx2threadsafety.h"

class ZNTempSpill
{
public:
    ZNTempSpill() = default;
    ZNTempSpill(const ZNTempSpill&) = delete;
    ZNTempSpill& operator=(const ZNTempSpill&) = delete;

    // Held around every scan of any engine.
    class Pass
    {
    public:
        explicit Pass(ZNTempSpill& gate);
        ~Pass();
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;

    private:
        ZNTempSpill& gate;
    };

    // True for the results of a scan that could not write a temporary file.
    static bool outOfRoom(cl_error_t result);

    // Runs `scan` again with `engine`'s temporary files in the system's
    // temporary directory, alone. Returns `result` unchanged when that is
    // where they already go (nothing to gain), or the engine's directory
    // cannot be switched.
    cl_error_t spill(cl_engine* engine, cl_error_t result, const std::function<cl_error_t()>& scan)
        KX2_EXCLUDES(mutex);

private:
    KX2Mutex mutex;
    std::condition_variable changed;
    int passes KX2_GUARDED_BY(mutex) = 0;
    int spillsWaiting KX2_GUARDED_BY(mutex) = 0;
    bool spilling KX2_GUARDED_BY(mutex) = false;
};

#endif // ZNTEMPSPILL_H
