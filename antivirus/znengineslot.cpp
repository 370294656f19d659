#include "znengineslot.h"

#include <QDir>

#include <mutex>

#include "znhugepages.h"

// Q_INIT_RESOURCE must be used outside any namespace. The SQL resources live
// in a static library, whose registration is not pulled in by the linker on
// its own.
static void initializeResources()
{
    Q_INIT_RESOURCE(znantivirus);
}

namespace {

// libclamav wants cl_init() once per process before any engine is created;
// both calls are process-wide and not meant to be repeated.
void initializeOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        initializeResources();
        cl_init(CL_INIT_DEFAULT);
        cl_initialize_crypto();
    });
}

} // namespace

ZNEngineSlot::ZNEngineSlot()
{
    initializeOnce();
    // Every parser libclamav offers, as a scanning daemon enables them by
    // default: OneNote documents and images (with their fuzzy hashes, which
    // logical signatures match) carry malware as much as the other formats.
    scanOptions.general = CL_SCAN_GENERAL_HEURISTICS;
    scanOptions.parse = CL_SCAN_PARSE_ARCHIVE | CL_SCAN_PARSE_ELF | CL_SCAN_PARSE_PDF
        | CL_SCAN_PARSE_SWF | CL_SCAN_PARSE_HWP3 | CL_SCAN_PARSE_XMLDOCS | CL_SCAN_PARSE_MAIL
        | CL_SCAN_PARSE_OLE2 | CL_SCAN_PARSE_HTML | CL_SCAN_PARSE_PE | CL_SCAN_PARSE_ONENOTE
        | CL_SCAN_PARSE_IMAGE | CL_SCAN_PARSE_IMAGE_FUZZY_HASH;
}

ZNEngineSlot::~ZNEngineSlot()
{
    clear();
}

ZNEngineRef ZNEngineSlot::current() const
{
    KX2MutexLocker lock(mutex);
    return engine;
}

void ZNEngineSlot::install(ZNEngineRef next)
{
    {
        KX2MutexLocker lock(mutex);
        std::swap(engine, next);
    }
    ++installed;
    // `next` now holds the previous engine's reference; dropping it here,
    // outside the lock, frees that engine unless a scan still holds it.
}

void ZNEngineSlot::clear()
{
    ZNEngineRef previous;
    KX2MutexLocker lock(mutex);
    std::swap(engine, previous);
}

ZNEngineRef ZNEngineSlot::load(const QString& directory, QString* reason)
{
    const QByteArray path = QDir(directory).absolutePath().toUtf8();
    ZNEngineRef engine = ZNEngineRef::create();
    if (!engine) {
        *reason = QStringLiteral("cl_engine_new failed");
        return ZNEngineRef();
    }
    unsigned int signatures = 0;
    const ZNMemoryRegions before = znAnonymousRegions();
    cl_error_t result = cl_load(path.constData(), engine.get(), &signatures, CL_DB_STDOPT);
    if (result == CL_SUCCESS)
        result = cl_engine_compile(engine.get());
    if (result != CL_SUCCESS) {
        *reason = QString::fromUtf8(cl_strerror(result));
        return ZNEngineRef();
    }
    znAdviseHugePages(before);
    return engine;
}
