#include "znscanlimits.h"

#include <QJsonValue>

#include <cstring>

#include "kx2values.h"

namespace {

struct Key
{
    const char* name;
    qint64 lowest;
    qint64 highest;
};

// libclamav cannot scan a file of 2 GiB or more; its scan size counts in
// 32 bits.
const Key kMaxFile{"maxfilesize", 1, 2047};
const Key kMaxScan{"maxscansize", 1, 4095};
const Key kMaxRecursion{"maxrecursion", 1, 64};
const Key kMaxFiles{"maxfiles", 1, 1000000};
const Key kMaxSeconds{"maxscantime", 1, 86400};
const QLatin1String kAlert("limitsalert");

const char kLimitPrefix[] = "Heuristics.Limits.Exceeded";
const char kEncryptedPrefix[] = "Heuristics.Encrypted";

qint64 bounded(const QJsonValue& value, const Key& key)
{
    return qint64(qBound(double(key.lowest), toDouble(value), double(key.highest)));
}

template <typename T>
void take(const QJsonObject& settings, const Key& key, T* field)
{
    const QLatin1String name(key.name);
    if (settings.contains(name))
        *field = T(bounded(settings.value(name), key));
}

bool startsWith(const char* text, const char* prefix)
{
    return text && std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

} // namespace

const char ZNScanLimits::kFileSizeExceeded[] = "Heuristics.Limits.Exceeded.MaxFileSize";

ZNScanLimits ZNScanLimits::fromSettings(const QJsonObject& settings)
{
    ZNScanLimits limits;
    take(settings, kMaxFile, &limits.maxFileMiB);
    take(settings, kMaxScan, &limits.maxScanMiB);
    take(settings, kMaxRecursion, &limits.maxRecursion);
    take(settings, kMaxFiles, &limits.maxFiles);
    take(settings, kMaxSeconds, &limits.maxSeconds);
    limits.alert = toBool(settings.value(kAlert));
    return limits;
}

void ZNScanLimits::normalise(QJsonObject& settings)
{
    for (const Key& key : {kMaxFile, kMaxScan, kMaxRecursion, kMaxFiles, kMaxSeconds}) {
        const QLatin1String name(key.name);
        if (settings.contains(name))
            settings.insert(name, double(bounded(settings.value(name), key)));
    }
    if (settings.contains(kAlert))
        settings.insert(kAlert, toBool(settings.value(kAlert)));
}

bool ZNScanLimits::applyTo(cl_engine* engine) const
{
    const qint64 mib = 1024 * 1024;
    return cl_engine_set_num(engine, CL_ENGINE_MAX_FILESIZE, maxFileMiB * mib) == CL_SUCCESS
        && cl_engine_set_num(engine, CL_ENGINE_MAX_SCANSIZE, maxScanMiB * mib) == CL_SUCCESS
        && cl_engine_set_num(engine, CL_ENGINE_MAX_RECURSION, maxRecursion) == CL_SUCCESS
        && cl_engine_set_num(engine, CL_ENGINE_MAX_FILES, maxFiles) == CL_SUCCESS
        && cl_engine_set_num(engine, CL_ENGINE_MAX_SCANTIME, qint64(maxSeconds) * 1000)
        == CL_SUCCESS;
}

QString ZNScanLimits::limitReason(cl_error_t result, const char* virus) const
{
    switch (result) {
    case CL_CLEAN:
        return QString();
    case CL_VIRUS:
        if (startsWith(virus, kEncryptedPrefix) || (!alert && startsWith(virus, kLimitPrefix)))
            return QString::fromUtf8(virus);
        return QString();
    case CL_ETIMEOUT:
        return QStringLiteral("%1.MaxScanTime").arg(QLatin1String(kLimitPrefix));
    default:
        return QString::fromUtf8(cl_strerror(result));
    }
}

bool ZNScanLimits::operator==(const ZNScanLimits& other) const
{
    return maxFileMiB == other.maxFileMiB && maxScanMiB == other.maxScanMiB
        && maxRecursion == other.maxRecursion && maxFiles == other.maxFiles
        && maxSeconds == other.maxSeconds && alert == other.alert;
}
