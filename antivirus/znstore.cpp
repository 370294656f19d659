// Configuration loading: the component's keys of config.json and the store.

#include "znantivirus.h"

#include <QFileInfo>
#include <QJsonValue>

#include "kx2journals.h"
#include "kx2trace.h"
#include "kx2values.h"
#include "znantivirus_p.h"
#include "zntrace.h"

namespace {

const char kCreatorScript[] = ":/znantivirus/creator.sql";
const char kEngineScript[] = ":/znantivirus/engine.sql";
const int kStoreVersion = 1;

QString trimmedString(const QJsonObject& object, const char* key)
{
    return object.value(QLatin1String(key)).toString().trimmed();
}

// Non-blank entries, first occurrence kept.
QStringList excludeList(const QJsonValue& value)
{
    QStringList list = toStrings(value, true);
    list.removeDuplicates();
    return list.isEmpty() ? G_OVERALL_EXCLUDES : list;
}

bool verifyStoreVersion(ZNAntiVirusPrivate& d, KX2Journals& journal, const QString& place);

} // namespace

bool ZNAntiVirus::loadConfigure(KX2Journals& journal, const QJsonObject& configuration)
{
    configured = false;
    settingsLoaded = false;

    d->settingsFile = configuration.value(QLatin1String("settings")).toString();
    if (d->settingsFile.isEmpty())
        d->settingsFile = QStringLiteral("/zelo/etc/antivirus/settings.json");
    d->settingsDir = QDir(QFileInfo(d->settingsFile).absolutePath());

    d->virusdbUrl = trimmedString(configuration, "virusdburl");
    if (d->virusdbUrl.isEmpty())
        d->virusdbUrl = QStringLiteral("http://....");

    d->systemVirusdbDir = trimmedString(configuration, "systemvirusdb");
    if (d->systemVirusdbDir.isEmpty())
        d->systemVirusdbDir = QStringLiteral("/var/lib/clamav");

    d->databaseFile = trimmedString(configuration, "database");
    if (d->databaseFile.isEmpty())
        d->databaseFile = QStringLiteral("/zelo/etc/antivirus/antivirus.db");

    const QJsonObject overall = configuration.value(QLatin1String("overall")).toObject();
    d->overallPath = trimmedString(overall, "path");
    if (d->overallPath.isEmpty())
        d->overallPath = QStringLiteral("/mnt");
    d->overallExcludes = excludeList(overall.value(QLatin1String("excludes")));

    if (d->database.handle()) {
        znTrace(ZNTraceBits::FileFailures, QStringLiteral("数据库已打开（装载程序重复执行了）"));
    } else if (d->openStore(journal, PRETTY(Q_FUNC_INFO, __LINE__))
               && verifyStoreVersion(*d, journal, PRETTY(Q_FUNC_INFO, __LINE__))) {
        // Only on a fresh open: a repeated load must not second-guess a move
        // the running keeper is making.
        if (!d->prepareQuarantineStore())
            znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + d->database.lastError());
        d->recoverQuarantine();
    }

    if (!d->database.handle()) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("装载应用环境配置文失败"));
        return false;
    }
    // Tasks of an earlier run are dropped, never resumed.
    if (!d->database.call(QStringLiteral("task_clear")))
        znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + d->database.lastError());
    configured = true;
    return true;
}

// Opens or creates the store and loads its statement catalogue. On failure
// the store is closed and the reason is added to the journal as made at
// `place`.
bool ZNAntiVirusPrivate::openStore(KX2Journals& journal, const QString& place)
{
    bool created = false;
    database.loadSqlCreator(QLatin1String(kCreatorScript));
    const bool opened = database.open(databaseFile, &created)
        && database.loadSqlEngine(QLatin1String(kEngineScript), false);
    if (opened)
        return true;

    database.close();
    journal.add(place, QStringLiteral("database.open()"), false,
                database.lastError());
    znTrace(ZNTraceBits::Failures, QStringLiteral("数据库打开或创建失败: ") + database.lastError());
    return false;
}

// Closes the store unless it belongs to this service and has the version
// this program understands.
bool ZNAntiVirusPrivate::checkStoreVersion()
{
    KX2Journals journal;
    return verifyStoreVersion(*this, journal, PRETTY(Q_FUNC_INFO, __LINE__));
}

namespace {

// As checkStoreVersion(), and the reason of a refusal goes to `journal`
// too, so a failing start can say why whatever the trace level.
bool verifyStoreVersion(ZNAntiVirusPrivate& d, KX2Journals& journal, const QString& place)
{
    QString reason;
    QList<QJsonObject> rows;
    if (!d.database.call(rows, QStringLiteral("syscfg_dbversion"))) {
        reason = QStringLiteral("数据库版本号查询失败: ") + d.database.lastError();
    } else if (rows.isEmpty()) {
        reason = QStringLiteral("数据库版本号纪录不存在");
    } else {
        const int version = toInt(rows.first().value(QLatin1String("dbver")));
        if (version == kStoreVersion)
            return true;
        reason = QStringLiteral("数据库当前版本号不兼容: ") + QString::number(version);
    }
    znTrace(ZNTraceBits::Failures, reason);
    journal.add(place, QStringLiteral("syscfg_dbversion"), false, reason);
    d.database.close();
    return false;
}

} // namespace
