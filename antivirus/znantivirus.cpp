#include "znantivirus.h"

#include <QtGlobal>

#include <mutex>

#include "kx2journals.h"
#include "znantivirus_p.h"
#include "zntrace.h"

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

const QStringList G_OVERALL_EXCLUDES = {
    QStringLiteral("ftp"),
    QStringLiteral("webdav"),
    QStringLiteral("velcan"),
};

ZNAntiVirusPrivate::ZNAntiVirusPrivate(ZNAntiVirus* owner)
    : q(owner)
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
    scanOptions.heuristic = 0;
    scanOptions.mail = 0;
    scanOptions.dev = 0;
}

ZNAntiVirusPrivate::~ZNAntiVirusPrivate()
{
    {
        // A settings save still running finishes first, so it cannot clear
        // the stop requests raised here. The threads themselves also leave
        // once the group shuts down, whatever the flags say.
        std::lock_guard<std::mutex> saving(settingsSaveMutex);
        scheduleStop = true;
        virusdbUpdateStop = true;
        stopRequested = true;
        searchStop = true;
    }
    scanFiles.abort();
    {
        std::lock_guard<std::mutex> lock(keeperMutex);
        keeperStop = true;
    }
    keeperWake.notify_all();
    // The threads use the members below; none may outlive them.
    background.shutdownAndWait();
    std::lock_guard<std::mutex> lock(engineMutex);
    scanEngine.reset();
}

QString ZNAntiVirusPrivate::sqlNumberList(const QList<int>& numbers)
{
    QStringList parts;
    parts.reserve(numbers.size());
    for (int number : numbers)
        parts << QString::number(number);
    return QLatin1Char('(') + parts.join(QLatin1Char(',')) + QLatin1Char(')');
}

bool ZNAntiVirusPrivate::databaseFailed(KX2Journals& journal, const QString& prefix)
{
    const QString message = prefix + database.lastError();
    journal.setErr(KX2ErrorCode::DatabaseFailed, message);
    znTrace(ZNTraceBits::Failures, message);
    return false;
}

ZNAntiVirusPrivate* ZNAntiVirusPrivate::get(ZNAntiVirus* module)
{
    return module->d.get();
}

bool ZNAntiVirusPrivate::STRUCT_RESTORE::startRestore(const QString& from, const QString& to)
{
    push(QJsonObject{{QStringLiteral("from"), from}, {QStringLiteral("to"), to}});
    ++count;
    return true;
}

ZNAntiVirus::ZNAntiVirus(QObject* parent)
    : ZNCustom(parent)
    , d(std::make_unique<ZNAntiVirusPrivate>(this))
{
}

ZNAntiVirus::~ZNAntiVirus() = default;

bool ZNAntiVirus::startUp(KX2Journals&, const QJsonObject&)
{
    return true;
}
