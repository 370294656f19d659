// Virus engine lifecycle: the update thread builds a libclamav engine from
// the work area's virus database and publishes it in scanEngine.

#include <QDir>

#include "znantivirus_p.h"
#include "znhugepages.h"
#include "zntrace.h"

bool ZNAntiVirusPrivate::virusdbPrepare(bool force)
{
    if (force)
        virusdbReloadPending = true;
    bool idle = false;
    if (!virusdbUpdating.compare_exchange_strong(idle, true))
        return false;
    // Cleared here rather than by the thread, so a stop requested right
    // after this call is not lost.
    virusdbUpdateStop = false;
    if (background.start([this] { virusdbUpdateThread(); }))
        return true;
    virusdbUpdating = false;
    return false;
}

void ZNAntiVirusPrivate::virusdbUpdateThread()
{
    virusdbUpdating = true;
    relocateAndUpgrade();
    if (virusdbReloadPending)
        virusdbReload();
    virusdbUpdating = false;
    background.wakeAll();
}

bool ZNAntiVirusPrivate::virusdbReload()
{
    const QString directory = virusdbPath();
    if (directory.isEmpty() || !QDir(directory).exists())
        return false;
    const QByteArray path = QDir(directory).absolutePath().toUtf8();
    const QString failure = QStringLiteral("病毒库信息装载失败: ") + QString::fromUtf8(path);

    ZNEngineRef engine = ZNEngineRef::create();
    if (!engine) {
        znTrace(ZNTraceBits::Failures, failure);
        return false;
    }
    unsigned int signatures = 0;
    const ZNMemoryRegions before = znAnonymousRegions();
    if (cl_load(path.constData(), engine.get(), &signatures, CL_DB_STDOPT) != CL_SUCCESS
        || cl_engine_compile(engine.get()) != CL_SUCCESS) {
        // The new engine goes with `engine`; the one in use stays.
        znTrace(ZNTraceBits::Failures, failure);
        return false;
    }
    znAdviseHugePages(before);

    virusdbReloadPending = false;
    {
        std::lock_guard<std::mutex> lock(engineMutex);
        std::swap(scanEngine, engine);
    }
    ++engineGeneration;
    // `engine` now holds the previous engine's reference; dropping it here,
    // outside the mutex, frees that engine unless a scan still holds it.
    return true;
}

bool ZNAntiVirusPrivate::waitForVirusdbPrepare() const
{
    return !virusdbReloadPending;
}

ZNEngineRef ZNAntiVirusPrivate::currentEngine() const
{
    std::lock_guard<std::mutex> lock(engineMutex);
    return scanEngine;
}
