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

namespace {

const QLatin1String kEnabled("enabled");
const QLatin1String kDataDir("datadir");
const QLatin1String kThreads("threads");
const QLatin1String kVdbAuto("vdbauto");
const QLatin1String kSchedule("schedule");
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

} // namespace

bool ZNAntiVirusPrivate::adjustSettings(QJsonObject& settings) const
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

    if (settings.value(kSchedule).toObject().isEmpty())
        settings.insert(kSchedule, defaultSchedule());

    return !dataDirectory.isEmpty();
}

QString ZNAntiVirusPrivate::workArea() const
{
    std::lock_guard<std::mutex> lock(settingsMutex);
    return dataDir;
}

QString ZNAntiVirusPrivate::virusdbPath() const
{
    std::lock_guard<std::mutex> lock(settingsMutex);
    return virusdbDir;
}

bool ZNAntiVirus::settingsLoad(KX2Journals&, QJsonObject* settings)
{
    // Applying the file (start-up, while the server already accepts
    // requests) must not interleave with a save: the older file content
    // could otherwise be applied over the newer settings just saved.
    std::unique_lock<std::mutex> applying(d->settingsSaveMutex, std::defer_lock);
    if (!settings)
        applying.lock();

    settingsLoaded = false;
    if (!configured)
        return false;

    if (!settings) {
        // Applying at start-up: saves of a process killed part-way left
        // their temporary files behind.
        KX2File::removeStaleTemporaries(d->settingsFile);
        KX2File::removeStaleTemporaries(d->settingsDir.absoluteFilePath(QStringLiteral("virusdb.json")));
    }
    QJsonObject loaded = KX2File::readJsonObject(d->settingsFile);
    if (!d->adjustSettings(loaded)) {
        if (settings)
            *settings = loaded;
        return false;
    }

    const QString updateTime = d->storedUpdateTime(true);
    if (!updateTime.isEmpty())
        loaded.insert(kUpdateTime, updateTime);

    settingsLoaded = true;
    if (settings)
        *settings = loaded;
    else
        d->activeSettings(loaded, true);
    return true;
}

bool ZNAntiVirus::settingsSave(KX2Journals& journal, const QJsonObject& settings)
{
    std::lock_guard<std::mutex> saving(d->settingsSaveMutex);
    if (d->taskRunning) {
        journal.setErr(KX2ErrorCode::ScanRunning, QStringLiteral("杀毒过程中禁止修改配置"));
        return false;
    }
    if (d->settingsFile.isEmpty()) {
        journal.setErr(KX2ErrorCode::ConfigurationFaulty, QStringLiteral("系统配置文存在错误，请重新安装"));
        return false;
    }
    if (d->virusdbUpdating) {
        journal.setErr(KX2ErrorCode::StillRunning, QStringLiteral("前面的配置请求仍在处理中，请稍后再次重试"));
        return false;
    }

    QJsonObject adjusted = settings;
    if (!d->adjustSettings(adjusted))
        return false;
    if (QJsonDocument(adjusted).toJson(QJsonDocument::Compact).size() > kMaxSettingsBytes) {
        journal.setErr(KX2ErrorCode::SaveSettingsFailed, QStringLiteral("配置内容过大，不能超过1MiB"));
        return false;
    }
    if (!KX2File::saveJson(d->settingsFile, adjusted, false)) {
        journal.setErr(KX2ErrorCode::SaveSettingsFailed, QStringLiteral("配置文保存失败"));
        return false;
    }
    return d->activeSettings(adjusted, false);
}

bool ZNAntiVirusPrivate::activeSettings(const QJsonObject& settings, bool initial)
{
    bool result = true;
    bool on = toBool(settings.value(kEnabled));

    if (on) {
        const QString directory = settings.value(kDataDir).toString().trimmed();
        if (directory.isEmpty()) {
            result = false;
            on = false;
        } else {
            applyWorkArea(directory, initial);
            virusdbNextTime = toBool(settings.value(kVdbAuto))
                ? scheduleNextTime(1, 0, virusdbUpdateHour, 0, 1)
                : 0;
            applySchedule(settings.value(kSchedule).toObject());
        }
    }

    threads = toInt(settings.value(kThreads));
    enabled = on;

    if (on) {
        if (virusdbNextTime == 0 && scanNextTime == 0)
            scheduleStop = false;
        else
            startScheduleThread();
    } else {
        scheduleStop = true;
        background.wakeAll();
    }
    return result;
}

// Points the service at a (possibly new) work area. A change of work area
// queues the move of the old virus database for the update thread; either
// way the update thread is asked to (re)load the engine.
void ZNAntiVirusPrivate::applyWorkArea(const QString& directory, bool initial)
{
    const QString newVirusdb = QDir::cleanPath(QDir(directory).absoluteFilePath(QStringLiteral("virusdb")));
    QString oldDataDir;
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        oldDataDir = dataDir;
        dataDir = directory;
        virusdbDir = newVirusdb;
    }

    if (initial) {
        virusdbPrepare(false);
        return;
    }
    if (oldDataDir == directory)
        return;

    const QString oldVirusdb = oldDataDir.isEmpty()
        ? systemVirusdbDir
        : QDir::cleanPath(QDir(oldDataDir).absoluteFilePath(QStringLiteral("virusdb")));
    if (QFileInfo(oldVirusdb).isDir()) {
        virusdbMoves.push(QJsonObject{{QStringLiteral("from"), oldVirusdb},
                                      {QStringLiteral("to"), newVirusdb}});
        ++virusdbMoves.count;
    }
    virusdbPrepare(false);
}

// Takes over the periodic scan of a schedule object; modes other than 1 to 3
// switch the scheduled scan off and keep the other schedule members.
void ZNAntiVirusPrivate::applySchedule(const QJsonObject& schedule)
{
    const int mode = toInt(schedule.value(QLatin1String("mode")));
    scheduleMode = mode;
    if (mode < 1 || mode > 3) {
        scanNextTime = 0;
        return;
    }
    scheduleMinute = toInt(schedule.value(QLatin1String("minute")));
    scheduleHour = toInt(schedule.value(QLatin1String("hour")));
    scheduleWeek = toInt(schedule.value(QLatin1String("week")));
    scheduleDay = toInt(schedule.value(QLatin1String("day")));
    scheduleScope = toInt(schedule.value(QLatin1String("scope")));
    scanNextTime = scheduleNextTime(mode, scheduleMinute, scheduleHour, scheduleWeek, scheduleDay);
}
