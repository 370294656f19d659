#include "znengineslot.h"

#include <QDir>
#include <QFile>

#include <cstdio>

#include <mutex>

#include "znhugepages.h"
#include "znsetdigest.h"

// Q_INIT_RESOURCE must be used outside any namespace. The SQL resources live
// in a static library, whose registration is not pulled in by the linker on
// its own.
static void initializeResources()
{
    Q_INIT_RESOURCE(znantivirus);
}

namespace {

// The error lines libclamav wrote on this thread since the last load began;
// a load's reason names the failing file only through them.
thread_local QByteArray libclamavErrors;

// libclamav's messages still reach the console as before; error lines are
// also kept for the load that caused them.
void onLibclamavMessage(enum cl_msg severity, const char* fullmessage, const char* message, void*)
{
    std::fputs(fullmessage, stderr);
    if (severity != CL_MSG_ERROR || libclamavErrors.size() > 4096)
        return;
    if (!libclamavErrors.isEmpty())
        libclamavErrors += "; ";
    libclamavErrors += QByteArray(message).trimmed();
}

// libclamav wants cl_init() once per process before any engine is created,
// and its message callback set before threads use it; all are process-wide
// and not meant to be repeated.
void initializeOnce()
{
    static std::once_flag once;
    std::call_once(once, [] {
        initializeResources();
        cl_set_clcb_msg(onLibclamavMessage);
        cl_init(CL_INIT_DEFAULT);
        cl_initialize_crypto();
    });
}

// Every parser libclamav offers, as a scanning daemon enables them by
// default: OneNote documents and images (with their fuzzy hashes, which
// logical signatures match) carry malware as much as the other formats.
cl_scan_options scanOptionsInUse()
{
    cl_scan_options options{};
    options.general = CL_SCAN_GENERAL_HEURISTICS;
    // Files not read in full are reported (ZNScanLimits::limitReason); a
    // real detection in the same file still takes precedence.
    options.heuristic = CL_SCAN_HEURISTIC_EXCEEDS_MAX | CL_SCAN_HEURISTIC_ENCRYPTED_ARCHIVE;
    options.parse = CL_SCAN_PARSE_ARCHIVE | CL_SCAN_PARSE_ELF | CL_SCAN_PARSE_PDF
        | CL_SCAN_PARSE_SWF | CL_SCAN_PARSE_HWP3 | CL_SCAN_PARSE_XMLDOCS | CL_SCAN_PARSE_MAIL
        | CL_SCAN_PARSE_OLE2 | CL_SCAN_PARSE_HTML | CL_SCAN_PARSE_PE | CL_SCAN_PARSE_ONENOTE
        | CL_SCAN_PARSE_IMAGE | CL_SCAN_PARSE_IMAGE_FUZZY_HASH;
    return options;
}

const unsigned kDatabaseOptions = CL_DB_STDOPT;

} // namespace

ZNEngineSlot::ZNEngineSlot() : scanOptions(scanOptionsInUse())
{
    initializeOnce();
}

ZNEngineSlot::~ZNEngineSlot()
{
    clear();
}

ZNEngineRef ZNEngineSlot::current(QByteArray* digestOut) const
{
    KX2MutexLocker lock(mutex);
    if (digestOut)
        *digestOut = digest;
    return engine;
}

void ZNEngineSlot::install(Loaded loaded)
{
    installing.reached();
    ZNEngineRef next = std::move(loaded.engine);
    {
        KX2MutexLocker lock(mutex);
        std::swap(engine, next);
        signatures = loaded.signatures;
        setInstalled = loaded.setInstalled;
        digest = loaded.digest;
        tempDir = loaded.tempDir.isEmpty() ? QDir::tempPath() : loaded.tempDir;
        loadFailure.clear();
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

void ZNEngineSlot::setLoadFailure(const QString& reason)
{
    KX2MutexLocker lock(mutex);
    loadFailure = reason;
}

QJsonObject ZNEngineSlot::report() const
{
    KX2MutexLocker lock(mutex);
    QJsonObject out{{QStringLiteral("loaded"), engine ? 1 : 0}};
    if (engine) {
        out.insert(QStringLiteral("signatures"), double(signatures));
        if (setInstalled.isValid())
            out.insert(QStringLiteral("installtime"),
                       setInstalled.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
        out.insert(QStringLiteral("tmpdir"), tempDir);
    }
    if (!loadFailure.isEmpty())
        out.insert(QStringLiteral("loaderror"), loadFailure);
    return out;
}

ZNEngineSlot::Loaded ZNEngineSlot::load(const QString& directory, const ZNScanLimits& limits,
                                        const QString& tempDir, QString* reason)
{
    initializeOnce();
    const QByteArray path = QFile::encodeName(QDir(directory).absolutePath());
    Loaded loaded;
    loaded.engine = ZNEngineRef::create();
    if (!loaded.engine) {
        *reason = QStringLiteral("cl_engine_new failed");
        return Loaded();
    }
    const QByteArray temp = QFile::encodeName(tempDir);
    if (!limits.applyTo(loaded.engine.get())
        || (!temp.isEmpty()
            && cl_engine_set_str(loaded.engine.get(), CL_ENGINE_TMPDIR, temp.constData())
                != CL_SUCCESS)) {
        *reason = QStringLiteral("cannot set the scan limits or the temporary directory");
        return Loaded();
    }
    loaded.tempDir = tempDir;
    libclamavErrors.clear();
    // The set as it is read now; any change of its files before the load
    // ends shows in the stamp, and leaves the engine without a digest.
    const QByteArray stampBefore = znSetFilesStamp(path);
    const QByteArray setDigest = znSetFilesDigest(path);
    const ZNMemoryRegions before = znAnonymousRegions();
    cl_error_t result =
        cl_load(path.constData(), loaded.engine.get(), &loaded.signatures, kDatabaseOptions);
    if (result == CL_SUCCESS && loaded.signatures == 0)
        result = CL_EMALFDB; // an empty set would scan nothing and say "clean"
    if (result == CL_SUCCESS)
        result = cl_engine_compile(loaded.engine.get());
    if (result != CL_SUCCESS) {
        *reason = QString::fromUtf8(cl_strerror(result));
        if (!libclamavErrors.isEmpty())
            *reason += QStringLiteral(": ") + QString::fromUtf8(libclamavErrors);
        else if (loaded.signatures == 0)
            *reason += QStringLiteral(": no signatures in ") + QFile::decodeName(path);
        libclamavErrors.clear();
        return Loaded();
    }
    libclamavErrors.clear();
    znAdviseHugePages(before);
    if (znSetFilesStamp(path) == stampBefore)
        loaded.digest =
            znDetectionDigest(setDigest, loaded.engine.get(), scanOptionsInUse(), kDatabaseOptions);
    return loaded;
}
