// Configuration loading: the component's keys of config.json and the store.

#include "znantivirus.h"

#include "kx2journals.h"
#include "kx2trace.h"
#include "kx2values.h"
#include "znantivirus_p.h"
#include "zntrace.h"

namespace {

const char kCreatorScript[] = ":/znantivirus/creator.sql";
const char kEngineScript[] = ":/znantivirus/engine.sql";
const int kStoreVersion = 1;

// What an administrator does about a store that SQLite cannot read.
QString damagedStoreHint()
{
    return QStringLiteral(" (the store is damaged or is not a store at all: stop the service,"
                          " move the file aside and restore a backup; see \"Recovery from a"
                          " damaged store\" in docs/operations.md, installed as"
                          " /usr/share/doc/znantivirus/operations.md)");
}

// SQLite's words for a file that is damaged or no database at all.
bool looksDamaged(const QString& error)
{
    return error.contains(QLatin1String("malformed"))
        || error.contains(QLatin1String("not a database"));
}

// Why the open store cannot be used; empty when it belongs to this service
// and has the version this program understands.
QString storeVersionProblem(KX2DBSqlite& store)
{
    QList<QJsonObject> rows;
    const KX2Status read = store.run(rows, QStringLiteral("syscfg_dbversion"));
    if (!read.ok())
        return QStringLiteral("数据库版本号查询失败: ") + read.message() + damagedStoreHint();
    if (rows.isEmpty())
        return QStringLiteral("数据库版本号纪录不存在");
    const int version = toInt(rows.first().value(QLatin1String("dbver")));
    if (version != kStoreVersion)
        return QStringLiteral("数据库当前版本号不兼容: ") + QString::number(version);
    return QString();
}

} // namespace

bool ZNAntiVirus::loadConfigure(KX2Journals& journal, const QJsonObject& configuration)
{
    configured = false;
    settingsLoaded = false;
    d->configuration = ZNConfiguration::fromJson(configuration);
    QString alertProblem;
    if (!d->alerts.configure(configuration, &alertProblem)) {
        journal.add(PRETTY(Q_FUNC_INFO, __LINE__), QStringLiteral("alertcommand"), false,
                    alertProblem);
        return false;
    }

    if (d->store.handle()) {
        znTrace(ZNTraceBits::FileFailures, QStringLiteral("数据库已打开（装载程序重复执行了）"));
    } else if (d->openStore(journal, PRETTY(Q_FUNC_INFO, __LINE__))) {
        // Only on a fresh open: a repeated load must not second-guess a move
        // the running keeper is making.
        // Each adds the columns of its tables that an older store lacks.
        const KX2Status quarantine = d->keeper.prepareStore();
        const KX2Status tasks = d->tasks.prepareStore();
        const KX2Status failure = tasks.ok() ? quarantine : tasks;
        if (!failure.ok())
            znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + failure.message());
        d->keeper.recover();
    }
    if (!d->store.handle()) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("装载应用环境配置文失败"));
        return false;
    }
    // Tasks of an earlier run are dropped, never resumed.
    const KX2Status cleared = d->store.run(QStringLiteral("task_clear"));
    if (!cleared.ok())
        znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + cleared.message());
    configured = true;
    return true;
}

bool ZNAntiVirusPrivate::openStore(KX2Journals& journal, const QString& place)
{
    bool created = false;
    store.loadSqlCreator(QLatin1String(kCreatorScript));
    KX2Status opened = store.openFile(configuration.databaseFile, &created);
    if (opened.ok())
        opened = store.loadEngine(QLatin1String(kEngineScript));
    if (!opened.ok()) {
        QString error = opened.message();
        if (looksDamaged(error))
            error += damagedStoreHint();
        store.close();
        journal.add(place, QStringLiteral("database.open()"), false, error);
        znTrace(ZNTraceBits::Failures, QStringLiteral("数据库打开或创建失败: ") + error);
        return false;
    }
    const QString problem = storeVersionProblem(store);
    if (problem.isEmpty())
        return true;
    znTrace(ZNTraceBits::Failures, problem);
    journal.add(place, QStringLiteral("syscfg_dbversion"), false, problem);
    store.close();
    return false;
}
