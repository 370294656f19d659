// User settings: settings.json, its normalisation and its application to the
// running service.

#include "znantivirus.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonValue>
#include <QThread>

#include "kx2file.h"
#include "kx2journals.h"
#include "kx2values.h"
#include "znantivirus_p.h"
#include "zncleancache.h"
#include "zntrace.h"
#include "znworkarea.h"

namespace {

const QLatin1String kEnabled("enabled");
const QLatin1String kDataDir("datadir");
const QLatin1String kThreads("threads");
const QLatin1String kVdbAuto("vdbauto");
const QLatin1String kSchedule("schedule");
const QLatin1String kSkipHidden("skiphidden");
const QLatin1String kIncremental("incremental");
const QLatin1String kCacheMaxEntries("cachemaxentries");
const QLatin1String kUpdateTime("updatetime");

// Largest settings object a save accepts, as compact JSON. Larger ones
// would make every later settings load reply unreadable for clients.
const int kMaxSettingsBytes = 1024 * 1024;

QJsonObject defaultSchedule()
{
    return QJsonObject{
        {QStringLiteral("mode"), 0}, {QStringLiteral("minute"), 0}, {QStringLiteral("hour"), 6},
        {QStringLiteral("week"), 7}, {QStringLiteral("day"), 28},   {QStringLiteral("scope"), 1},
    };
}

int hardwareThreads()
{
    return qMax(1, QThread::idealThreadCount());
}

// The bound of the clean-file cache: a whole number of at least 1 (a
// number given as text or with a fraction is taken as such).
qint64 cacheBound(const QJsonValue& value)
{
    const double number =
        value.isString() ? value.toString().trimmed().toDouble() : value.toDouble();
    return qint64(qBound(1.0, number, 1e12));
}

} // namespace

bool ZNSettingsSnapshot::normalise(QJsonObject& settings)
{
    settings.insert(kEnabled, toBool(settings.value(kEnabled)) ? 1 : 0);

    QString dataDirectory = settings.value(kDataDir).toString().trimmed();
    if (!dataDirectory.isEmpty() && QFileInfo(dataDirectory).isDir())
        dataDirectory = QDir(dataDirectory).absolutePath();
    settings.insert(kDataDir, dataDirectory);

    if (settings.contains(kThreads))
        settings.insert(kThreads, qMax(1, toInt(settings.value(kThreads))));
    else
        settings.insert(kThreads, hardwareThreads());

    settings.insert(kVdbAuto, toBool(settings.value(kVdbAuto)) ? 1 : 0);
    // Optional: written back as a JSON boolean only when given, so settings
    // without it load and save as before.
    if (settings.contains(kSkipHidden))
        settings.insert(kSkipHidden, toBool(settings.value(kSkipHidden)));
    if (settings.contains(kIncremental))
        settings.insert(kIncremental, toBool(settings.value(kIncremental)));
    if (settings.contains(kCacheMaxEntries))
        settings.insert(kCacheMaxEntries, double(cacheBound(settings.value(kCacheMaxEntries))));

    ZNScanLimits::normalise(settings);
    if (settings.value(kSchedule).toObject().isEmpty())
        settings.insert(kSchedule, defaultSchedule());

    return !dataDirectory.isEmpty();
}

ZNSettingsSnapshot ZNSettingsSnapshot::fromJson(const QJsonObject& settings)
{
    ZNSettingsSnapshot s;
    s.enabled = toBool(settings.value(kEnabled));
    s.dataDir = settings.value(kDataDir).toString().trimmed();
    if (!s.dataDir.isEmpty())
        s.virusdbDir = QDir::cleanPath(QDir(s.dataDir).absoluteFilePath(QStringLiteral("virusdb")));
    s.threads = toInt(settings.value(kThreads));
    s.vdbAuto = toBool(settings.value(kVdbAuto));
    s.skipHidden = toBool(settings.value(kSkipHidden));
    s.incremental = !settings.contains(kIncremental) || toBool(settings.value(kIncremental));
    s.cacheMaxEntries = settings.contains(kCacheMaxEntries)
        ? cacheBound(settings.value(kCacheMaxEntries))
        : kZNCacheDefaultMaxEntries;
    s.limits = ZNScanLimits::fromSettings(settings);
    s.schedule = settings.value(kSchedule).toObject();
    return s;
}

QString ZNSettingsSnapshot::quarantineDir() const
{
    return dataDir.isEmpty()
        ? QString()
        : QDir::cleanPath(QDir(dataDir).absoluteFilePath(QStringLiteral(".qra")));
}

ZNSettingsSnapshot ZNSettingsHolder::get() const
{
    KX2MutexLocker lock(mutex);
    return current;
}

ZNSettingsSnapshot ZNSettingsHolder::exchange(ZNSettingsSnapshot next)
{
    KX2MutexLocker lock(mutex);
    std::swap(current, next);
    return next;
}

bool ZNAntiVirus::settingsLoad(KX2Journals&, QJsonObject* settings)
{
    settingsLoaded = false;
    if (!configured)
        return false;
    if (settings) {
        // Only copied out: nothing changes.
        QJsonObject loaded = KX2File::readJsonObject(d->configuration.settingsFile);
        const bool usable = ZNSettingsSnapshot::normalise(loaded);
        const QString updateTime = d->updater.storedUpdateTime(true);
        if (usable && !updateTime.isEmpty())
            loaded.insert(kUpdateTime, updateTime);
        *settings = loaded;
        settingsLoaded = usable;
        return usable;
    }
    // Applying the file (start-up, while the server already accepts
    // requests) must not interleave with a save: the older file content
    // could otherwise be applied over the newer settings just saved.
    KX2MutexLocker applying(d->settingsChange);
    // Saves of a process killed part-way left their temporary files behind.
    KX2File::removeStaleTemporaries(d->configuration.settingsFile);
    KX2File::removeStaleTemporaries(d->configuration.descriptionFile());
    // Saves make both files private; ones an earlier version left readable
    // by others are closed to them before anything else happens.
    KX2File::restrictMode(d->configuration.settingsFile);
    KX2File::restrictMode(d->configuration.descriptionFile());
    QJsonObject loaded = KX2File::readJsonObject(d->configuration.settingsFile);
    if (!ZNSettingsSnapshot::normalise(loaded)) {
        // No work area: nothing to apply, but the administrator is told.
        d->checkProtection();
        return false;
    }
    settingsLoaded = true;
    d->applySettings(loaded, true);
    return true;
}

bool ZNAntiVirus::settingsSave(KX2Journals& journal, const QJsonObject& settings)
{
    return journal.report(d->saveSettings(settings));
}

KX2Status ZNAntiVirusPrivate::saveSettings(const QJsonObject& settings)
{
    KX2MutexLocker saving(settingsChange);
    // From the check to the applied settings no task may start: it would
    // scan with a work area that is being changed under it.
    KX2MutexLocker noTaskStarts(tasks.startLock());
    if (tasks.isRunning())
        return KX2Status::failure(KX2ErrorCode::ScanRunning, QStringLiteral("杀毒过程中禁止修改配置"));
    if (configuration.settingsFile.isEmpty())
        return KX2Status::failure(KX2ErrorCode::ConfigurationFaulty,
                                  QStringLiteral("系统配置文存在错误，请重新安装"));
    if (updater.isRunning())
        return KX2Status::failure(KX2ErrorCode::StillRunning,
                                  QStringLiteral("前面的配置请求仍在处理中，请稍后再次重试"));
    QJsonObject adjusted = settings;
    if (!ZNSettingsSnapshot::normalise(adjusted))
        return KX2Status::failure(KX2ErrorCode::DirectoryNotConfigured,
                                  QStringLiteral("没有设置工作区路径，请先进行设置"));
    const QString fault = znWorkAreaFault(adjusted.value(kDataDir).toString());
    if (!fault.isEmpty())
        return KX2Status::failure(KX2ErrorCode::SaveSettingsFailed, fault);
    if (QJsonDocument(adjusted).toJson(QJsonDocument::Compact).size() > kMaxSettingsBytes)
        return KX2Status::failure(KX2ErrorCode::SaveSettingsFailed,
                                  QStringLiteral("配置内容过大，不能超过1MiB"));
    if (!KX2File::saveJson(configuration.settingsFile, adjusted, false))
        return KX2Status::failure(KX2ErrorCode::SaveSettingsFailed, QStringLiteral("配置文保存失败"));
    // An enabled service without a work area was refused above; a false
    // here has no code of its own and the reply keeps the journal's 9999.
    if (!applySettings(adjusted, false))
        return KX2Status::failure(KX2ErrorCode::NoResult, QString());
    return KX2Status::success();
}

bool ZNAntiVirusPrivate::applySettings(const QJsonObject& settings, bool initial)
{
    ZNSettingsSnapshot next = ZNSettingsSnapshot::fromJson(settings);
    // A saved work area that others can change since is not used: the
    // service runs as if none were set, and says why.
    const QString fault = next.dataDir.isEmpty() ? QString() : znWorkAreaFault(next.dataDir);
    if (!fault.isEmpty()) {
        znEvent(QStringLiteral("[workarea-refused] ") + fault);
        next.dataDir.clear();
        next.virusdbDir.clear();
    }
    const bool usable = !next.enabled || !next.dataDir.isEmpty();
    if (!next.enabled || next.dataDir.isEmpty()) {
        // Off (or unusable): the work area in force stays; only the thread
        // count is taken over.
        ZNSettingsSnapshot kept = this->settings.get();
        kept.enabled = false;
        kept.threads = next.threads;
        kept.skipHidden = next.skipHidden;
        kept.incremental = next.incremental;
        kept.cacheMaxEntries = next.cacheMaxEntries;
        this->settings.exchange(kept);
        scheduler.apply(next.schedule, next.vdbAuto, false);
        checkProtection();
        return usable;
    }
    const ZNSettingsSnapshot previous = this->settings.exchange(next);
    // A change of work area moves the database files (the first work area
    // takes those of the system directory); either way the update thread
    // (re)loads the engine.
    if (!initial && previous.dataDir != next.dataDir) {
        const QString from =
            previous.dataDir.isEmpty() ? configuration.systemVirusdbDir : previous.virusdbDir;
        if (QFileInfo(from).isDir())
            updater.queueRelocation(from, next.virusdbDir);
    }
    // New limits take effect with an engine loaded again under them.
    const bool newLimits = !initial && previous.limits != next.limits;
    if (initial || previous.dataDir != next.dataDir || newLimits)
        updater.prepare(newLimits);
    scheduler.apply(next.schedule, next.vdbAuto, true);
    checkProtection();
    return true;
}
