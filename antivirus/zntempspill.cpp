#include "zntempspill.h"

#include <QDir>
#include <QFile>

ZNTempSpill::Pass::Pass(ZNTempSpill& gate) : gate(gate)
{
    KX2MutexLocker lock(gate.mutex);
    while (gate.spilling || gate.spillsWaiting > 0)
        lock.wait(gate.changed);
    ++gate.passes;
}

ZNTempSpill::Pass::~Pass()
{
    KX2MutexLocker lock(gate.mutex);
    if (--gate.passes == 0 && gate.spillsWaiting > 0)
        gate.changed.notify_all();
}

bool ZNTempSpill::outOfRoom(cl_error_t result)
{
    return result == CL_EWRITE || result == CL_ETMPFILE || result == CL_ECREAT
        || result == CL_ETMPDIR;
}

cl_error_t ZNTempSpill::spill(cl_engine* engine, cl_error_t result,
                              const std::function<cl_error_t()>& scan)
{
    const QByteArray disk = QFile::encodeName(QDir::tempPath());
    KX2MutexLocker lock(mutex);
    ++spillsWaiting;
    while (spilling || passes > 0)
        lock.wait(changed);
    --spillsWaiting;
    spilling = true;
    lock.unlock();

    int error = CL_SUCCESS;
    const char* current = cl_engine_get_str(engine, CL_ENGINE_TMPDIR, &error);
    const QByteArray own = current ? QByteArray(current) : QByteArray();
    if (!own.isEmpty() && own != disk
        && cl_engine_set_str(engine, CL_ENGINE_TMPDIR, disk.constData()) == CL_SUCCESS) {
        result = scan();
        // Setting back a string it held before cannot fail short of memory,
        // and then the engine keeps writing to disk: slower, still correct.
        cl_engine_set_str(engine, CL_ENGINE_TMPDIR, own.constData());
    }

    lock.relock();
    spilling = false;
    changed.notify_all();
    return result;
}
