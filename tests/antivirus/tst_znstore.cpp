// Configuration loading of the antivirus component: config.json keys and
// their defaults, creation and version check of the store (real SQLite
// files), and the clean-up of left-over tasks.

#include <QtTest>

#include "avtestsupport.h"
#include "kx2dbsqlite.h"
#include "kx2journals.h"
#include "znantivirus.h"
#include "znantivirus_p.h"

namespace {

QList<QJsonObject> rowsOf(KX2DBSqlite& db, const QString& name,
                          const QJsonObject& values = QJsonObject())
{
    QList<QJsonObject> rows;
    if (!db.call(rows, name, values))
        qWarning() << name << db.lastError();
    return rows;
}

QStringList sortedKeys(const QJsonObject& object)
{
    QStringList keys = object.keys();
    keys.sort();
    return keys;
}

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

bool execSql(const QString& path, const QString& sql)
{
    KX2DBSqlite db;
    int changes = 0, lastRowId = 0;
    const bool ok = db.openOnly(path) && db.exec(changes, lastRowId, sql);
    db.close();
    return ok;
}

} // namespace

class tst_ZNStore : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void defaultsForMissingKeys();
    void configurationKeysAreTrimmedAndDeduplicated();
    void firstLoadCreatesSeededStore();
    void leftOverTasksAreDroppedOthersKept();
    void repeatedLoadKeepsOpenStore();
    void foreignOrNewerStoreIsRefused_data();
    void foreignOrNewerStoreIsRefused();
    void unopenableStoreIsJournaled();
    void settingsRefusedUntilConfigured();
    void statementParametersAreDeclared();
    void statementsReadAndWriteTheirColumns();

private:
    bool load(const QJsonObject& configuration, KX2Journals& journal);
    QString databasePath() const { return root->path() + "/etc/antivirus.db"; }

    QScopedPointer<QTemporaryDir> root;
    QScopedPointer<ZNAntiVirus> module;
    ZNAntiVirusPrivate* d = nullptr;
};

void tst_ZNStore::init()
{
    root.reset(new QTemporaryDir());
    QVERIFY(root->isValid());
    module.reset(new ZNAntiVirus());
    d = ZNAntiVirusPrivate::get(module.data());
}

void tst_ZNStore::cleanup()
{
    module.reset();
    root.reset();
}

bool tst_ZNStore::load(const QJsonObject& configuration, KX2Journals& journal)
{
    return module->loadConfigure(journal, configuration);
}

void tst_ZNStore::defaultsForMissingKeys()
{
    KX2Journals journal;
    // Only the store is given, so that nothing is created outside the test
    // directory.
    QVERIFY(load(QJsonObject{{"database", databasePath()}}, journal));
    QCOMPARE(d->configuration.settingsFile, QStringLiteral("/zelo/etc/antivirus/settings.json"));
    QCOMPARE(d->configuration.settingsDir.absolutePath(), QStringLiteral("/zelo/etc/antivirus"));
    QCOMPARE(d->configuration.virusdbUrls, QStringList{QStringLiteral("http://....")});
    QCOMPARE(d->configuration.overallPath, QStringLiteral("/mnt"));
    QCOMPARE(d->configuration.overallExcludes, QStringList({"ftp", "webdav", "velcan"}));
    QCOMPARE(G_OVERALL_EXCLUDES, QStringList({"ftp", "webdav", "velcan"}));
    QCOMPARE(d->configuration.databaseFile, databasePath());
}

void tst_ZNStore::configurationKeysAreTrimmedAndDeduplicated()
{
    KX2Journals journal;
    QJsonObject configuration{
        {"settings", root->path() + "/conf/my settings.json"},
        {"virusdburl", "  http://127.0.0.1:8089/virusdb.json \t"},
        {"database", "  " + databasePath() + "  "},
        {"overall",
         QJsonObject{{"path", "  /srv/share  "}, {"excludes", QJsonArray{"a", " ", "b", "a", 5}}}},
    };
    QVERIFY(load(configuration, journal));
    QCOMPARE(d->configuration.settingsFile, root->path() + "/conf/my settings.json");
    QCOMPARE(d->configuration.settingsDir.absolutePath(), root->path() + "/conf");
    QCOMPARE(d->configuration.virusdbUrls,
             QStringList{QStringLiteral("http://127.0.0.1:8089/virusdb.json")});
    QCOMPARE(d->configuration.databaseFile, databasePath());
    QCOMPARE(d->configuration.overallPath, QStringLiteral("/srv/share"));
    QCOMPARE(d->configuration.overallExcludes, QStringList({"a", "b", "5"}));

    // An exclusion list without a usable entry falls back to the built-in one.
    configuration["overall"] = QJsonObject{{"excludes", QJsonArray{" ", "", QJsonValue()}}};
    QVERIFY(load(configuration, journal));
    QCOMPARE(d->configuration.overallPath, QStringLiteral("/mnt"));
    QCOMPARE(d->configuration.overallExcludes, G_OVERALL_EXCLUDES);
}

void tst_ZNStore::firstLoadCreatesSeededStore()
{
    QVERIFY(!QFileInfo::exists(root->path() + "/etc"));
    KX2Journals journal;
    QVERIFY(load(avtest::componentConfig(root->path()), journal));
    QVERIFY(module->configured);
    QVERIFY(!module->settingsLoaded);
    QVERIFY(journal.segments().isEmpty());
    QVERIFY(QFileInfo(databasePath()).isFile());

    KX2DBSqlite db;
    QVERIFY(db.openOnly(databasePath()));
    int changes = 0, lastRowId = 0;
    QList<QJsonObject> rows;
    QVERIFY(db.exec(changes, lastRowId, rows,
                    "SELECT cfg_key, cfg_value FROM sys_configure ORDER BY cfg_no;"));
    QStringList keys;
    for (const QJsonObject& row : rows)
        keys << row.value("cfg_key").toString();
    QCOMPARE(keys,
             QStringList({"System.Id", "System.Name", "System.Version", "Database.Id",
                          "Database.Caption", "Database.Version", "Database.First.Date"}));
    QCOMPARE(rows.at(0).value("cfg_value").toString(), QStringLiteral("KX19"));
    QCOMPARE(rows.at(1).value("cfg_value").toString(), QStringLiteral("Tollmark19"));
    QCOMPARE(rows.at(3).value("cfg_value").toString(), QStringLiteral("Q7ANTIVIRUS"));
    QVERIFY(!rows.at(4).value("cfg_value").toString().isEmpty());
    QCOMPARE(rows.at(5).value("cfg_value").toString(), QStringLiteral("1"));
    const QDateTime firstDate =
        QDateTime::fromString(rows.at(6).value("cfg_value").toString(), "yyyy-MM-dd HH:mm:ss");
    QVERIFY(firstDate.isValid());
    QVERIFY(qAbs(firstDate.secsTo(QDateTime::currentDateTime())) < 600);

    for (const char* table : {"t_mission", "t_task", "t_log", "t_infectes"})
        QCOMPARE(avtest::rowCount(db, table), 0);
    rows.clear();
    QVERIFY(db.exec(changes, lastRowId, rows,
                    "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = "
                    "'t_infectes' ORDER BY name;"));
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.at(0).value("name").toString(), QStringLiteral("t_infectes_ift_path__index"));
    QCOMPARE(rows.at(1).value("name").toString(),
             QStringLiteral("t_infectes_ift_quarantined__index"));
    db.close();

    // The catalogue is loaded: every statement of the service is callable.
    const QJsonObject catalogue = d->store.sqlEngine();
    for (const char* name :
         {"syscfg_dbversion", "mission_alload", "mission_detail", "mission_append",
          "mission_remove_unrelated_1", "mission_remove_unrelated_2", "quarantined_reccount",
          "quarantined_alload", "log_reccount", "log_alload", "log_assign_task", "task_detail",
          "task_first", "task_append", "task_realtime", "task_complete", "task_remove",
          "task_clear", "infectes_append"})
        QVERIFY2(catalogue.contains(name), name);
}

void tst_ZNStore::leftOverTasksAreDroppedOthersKept()
{
    KX2Journals journal;
    QVERIFY(load(avtest::componentConfig(root->path()), journal));
    QVERIFY(
        d->store.call("task_append", QJsonObject{{"msnno", 0}, {"path", "/a"}, {"excludes", ""}}));
    QVERIFY(
        d->store.call("task_append", QJsonObject{{"msnno", 0}, {"path", "/b"}, {"excludes", ""}}));
    QVERIFY(d->store.call("mission_append",
                          QJsonObject{{"caption", "/a/"}, {"type", 1}, {"path", "/a/"}}));
    QVERIFY(d->store.call("log_assign_task", QJsonObject{{"tskno", 1}, {"state", 9}}));
    QVERIFY(d->store.call("infectes_append",
                          QJsonObject{{"msnno", 0},
                                      {"tskno", 1},
                                      {"filename", "x"},
                                      {"path", "/a/x"},
                                      {"qrafile", "/q/x"},
                                      {"virus", "V"}}));
    QCOMPARE(avtest::rowCount(d->store, "t_task"), 2);

    // A new process: a fresh module on the same store.
    module.reset(new ZNAntiVirus());
    d = ZNAntiVirusPrivate::get(module.data());
    QVERIFY(load(avtest::componentConfig(root->path()), journal));
    QCOMPARE(avtest::rowCount(d->store, "t_task"), 0);
    QCOMPARE(avtest::rowCount(d->store, "t_mission"), 1);
    QCOMPARE(avtest::rowCount(d->store, "t_log"), 1);
    QCOMPARE(avtest::rowCount(d->store, "t_infectes"), 1);
}

void tst_ZNStore::repeatedLoadKeepsOpenStore()
{
    KX2Journals journal;
    QVERIFY(load(avtest::componentConfig(root->path()), journal));
    const sqlite3* const connection = d->store.handle();
    QVERIFY(connection);
    QVERIFY(
        d->store.call("task_append", QJsonObject{{"msnno", 0}, {"path", "/a"}, {"excludes", ""}}));

    QJsonObject second = avtest::componentConfig(root->path());
    second["database"] = root->path() + "/elsewhere.db";
    second["virusdburl"] = "http://example.invalid/";
    QVERIFY(load(second, journal));
    QVERIFY(module->configured);
    // Configuration members follow the new object; the store stays open
    // (same connection, no new file) and its task table is cleared again.
    QCOMPARE(d->configuration.virusdbUrls, QStringList{QStringLiteral("http://example.invalid/")});
    QCOMPARE(d->store.handle(), connection);
    QVERIFY(!QFileInfo::exists(root->path() + "/elsewhere.db"));
    QCOMPARE(avtest::rowCount(d->store, "t_task"), 0);
}

void tst_ZNStore::foreignOrNewerStoreIsRefused_data()
{
    QTest::addColumn<QString>("tamper");
    QTest::addColumn<QString>("reason");
    QTest::newRow("newer version")
        << "UPDATE sys_configure SET cfg_value = '2' WHERE cfg_key = 'Database.Version';"
        << QStringLiteral("数据库当前版本号不兼容: 2");
    QTest::newRow("foreign id")
        << "UPDATE sys_configure SET cfg_value = 'OTHERAPP' WHERE cfg_key = 'Database.Id';"
        << QStringLiteral("数据库版本号纪录不存在");
    QTest::newRow("no version row")
        << "DELETE FROM sys_configure WHERE cfg_key = 'Database.Version';"
        << QStringLiteral("数据库版本号纪录不存在");
    QTest::newRow("no configuration table")
        << "DROP TABLE sys_configure;" << QStringLiteral("数据库版本号查询失败: ");
}

void tst_ZNStore::foreignOrNewerStoreIsRefused()
{
    QFETCH(QString, tamper);
    QFETCH(QString, reason);
    {
        ZNAntiVirus creator;
        KX2Journals journal;
        QVERIFY(creator.loadConfigure(journal, avtest::componentConfig(root->path())));
    }
    QVERIFY(execSql(databasePath(), tamper));

    KX2Journals journal;
    QVERIFY(!load(avtest::componentConfig(root->path()), journal));
    QVERIFY(!module->configured);
    QVERIFY(!d->store.handle());
    QCOMPARE(journal.err(), 9999);
    // The reason is recorded, so a refused start can print it at any
    // trace level.
    QCOMPARE(journal.segments().size(), 1);
    const QJsonObject entry = journal.segments().at(0).toObject();
    QCOMPARE(entry.value("action").toString(), QStringLiteral("syscfg_dbversion"));
    QCOMPARE(entry.value("success").toBool(true), false);
    QVERIFY2(entry.value("msg").toString().startsWith(reason),
             qPrintable(entry.value("msg").toString()));
    // A store that cannot even be queried points at the recovery steps; a
    // foreign or newer one is no damage and does not.
    const bool unreadable = reason.startsWith(QStringLiteral("数据库版本号查询失败"));
    QCOMPARE(entry.value("msg").toString().contains(QLatin1String("docs/operations.md")),
             unreadable);
    // The refused store is left as it was.
    QVERIFY(QFileInfo(databasePath()).isFile());
}

void tst_ZNStore::unopenableStoreIsJournaled()
{
    // The store's directory would have to be created below a regular file.
    QVERIFY(avtest::writeFile(root->path() + "/blocker", "file"));
    QJsonObject configuration = avtest::componentConfig(root->path());
    configuration["database"] = root->path() + "/blocker/antivirus.db";

    KX2Journals journal;
    QVERIFY(!load(configuration, journal));
    QVERIFY(!module->configured);
    QVERIFY(!d->store.handle());
    const QJsonArray entries = journal.segments();
    QCOMPARE(entries.size(), 1);
    const QJsonObject entry = entries.at(0).toObject();
    QCOMPARE(entry.value("action").toString(), QStringLiteral("database.open()"));
    QCOMPARE(entry.value("success").toBool(true), false);
    QVERIFY2(entry.value("place").toString().startsWith("ZNAntiVirus::loadConfigure#"),
             qPrintable(entry.value("place").toString()));
    // A failed load keeps the configuration members it read.
    QCOMPARE(d->configuration.databaseFile, root->path() + "/blocker/antivirus.db");
}

void tst_ZNStore::settingsRefusedUntilConfigured()
{
    QVERIFY(avtest::writeJson(root->path() + "/etc/settings.json",
                              QJsonObject{{"enabled", 1}, {"datadir", root->path()}}));
    KX2Journals journal;
    QJsonObject out{{"untouched", true}};
    QVERIFY(!module->settingsLoad(journal, &out));
    QCOMPARE(out, QJsonObject({{"untouched", true}}));
    QVERIFY(!module->settingsLoaded);
    QCOMPARE(journal.err(), 9999);
    QVERIFY(module->startUp(journal, QJsonObject()));
}

void tst_ZNStore::statementParametersAreDeclared()
{
    KX2Journals journal;
    QVERIFY(load(avtest::componentConfig(root->path()), journal));
    auto params = [](std::initializer_list<std::pair<const char*, const char*>> list) {
        QJsonObject object;
        for (const auto& entry : list)
            object.insert(QLatin1String(entry.first), QLatin1String(entry.second));
        return object;
    };
    const QMap<QString, QJsonObject> expected{
        {"syscfg_dbversion", {}},
        {"mission_alload", {}},
        {"mission_detail", params({{"path", "string"}})},
        {"mission_append",
         params({{"caption", "string"}, {"type", "integer"}, {"path", "string"}})},
        {"mission_remove_unrelated_1", {}},
        {"mission_remove_unrelated_2", {}},
        {"quarantined_reccount", {}},
        {"quarantined_alload", params({{"page", "integer"}, {"ofpage", "integer"}})},
        {"log_reccount", {}},
        {"log_alload", params({{"page", "integer"}, {"ofpage", "integer"}})},
        {"log_assign_task", params({{"tskno", "integer"}, {"state", "integer"}})},
        {"task_detail", params({{"path", "string"}})},
        {"task_first", {}},
        {"task_append",
         params({{"msnno", "integer"},
                 {"path", "string"},
                 {"excludes", "string"},
                 {"full", "integer"}})},
        {"task_realtime",
         params({{"tskno", "integer"},
                 {"totality", "integer"},
                 {"resolved", "integer"},
                 {"infectes", "integer"}})},
        {"task_complete",
         params({{"tskno", "integer"},
                 {"times", "integer"},
                 {"totality", "integer"},
                 {"resolved", "integer"},
                 {"infectes", "integer"},
                 {"skipped", "integer"},
                 {"limited", "integer"}})},
        {"task_remove", params({{"tskno", "integer"}})},
        {"task_clear", {}},
        {"infectes_append",
         params({{"msnno", "integer"},
                 {"tskno", "integer"},
                 {"filename", "string"},
                 {"path", "string"},
                 {"qrafile", "string"},
                 {"virus", "string"}})},
    };
    const QJsonObject catalogue = d->store.sqlEngine();
    for (auto it = expected.begin(); it != expected.end(); ++it) {
        const QJsonObject record = catalogue.value(it.key()).toObject();
        QVERIFY2(!record.value("text").toString().isEmpty(), qPrintable(it.key()));
        QVERIFY2(record.value("params").toObject() == it.value(), qPrintable(it.key()));
    }
    // The service's statements beside the four built-in ones, plus the
    // quarantine bookkeeping statements (infectes_intent, _inplace,
    // _handled, _stayed, _settle, _mark, _drop, _pending, _restoring,
    // _named).
    QCOMPARE(catalogue.size(), expected.size() + 4 + 10);
}

void tst_ZNStore::statementsReadAndWriteTheirColumns()
{
    KX2Journals journal;
    QVERIFY(load(avtest::componentConfig(root->path()), journal));
    KX2DBSqlite& db = d->store;
    int changes = 0, lastRowId = 0;

    QCOMPARE(rowsOf(db, "syscfg_dbversion"), QList<QJsonObject>{QJsonObject({{"dbver", "1"}})});

    // Missions.
    QVERIFY(db.call("mission_append", {{"caption", "/m/"}, {"type", 1}, {"path", "/m/"}}));
    QVERIFY(db.call("mission_append", {{"caption", "/n"}, {"type", 2}, {"path", "/n"}}));
    QList<QJsonObject> rows = rowsOf(db, "mission_detail", {{"path", "/m/"}});
    QCOMPARE(rows.size(), 1);
    QCOMPARE(
        sortedKeys(rows.at(0)),
        sorted({"msnno", "crttime", "type", "state", "caption", "path", "excludes", "schedule"}));
    QCOMPARE(rows.at(0).value("msnno").toInt(), 1);
    QCOMPARE(rows.at(0).value("type").toInt(), 1);
    QCOMPARE(rows.at(0).value("state").toInt(), 0);
    QCOMPARE(rows.at(0).value("caption").toString(), QStringLiteral("/m/"));
    QCOMPARE(rows.at(0).value("excludes").toString(), QString());
    QCOMPARE(rows.at(0).value("schedule").toString(), QStringLiteral("{}"));
    QVERIFY(rowsOf(db, "mission_detail", {{"path", "/m"}}).isEmpty());

    // Tasks.
    const QStringList taskKeys =
        sorted({"tskno", "crttime", "msnno", "path", "excludes", "starttime", "endtime", "totality",
                "resolved", "infectes"});
    QVERIFY(db.call("task_append", {{"msnno", 1}, {"path", "/m/"}, {"excludes", "/m/a\n/m/b"}}));
    QVERIFY(db.call("task_append", {{"msnno", 0}, {"path", "/other"}, {"excludes", ""}}));
    QVERIFY(QDateTime::fromString(rowsOf(db, "task_first").value(0).value("starttime").toString(),
                                  "yyyy-MM-dd HH:mm:ss")
                .isValid());
    // A start time apart from "now", so that start and end times differ below.
    const QString startTime = QStringLiteral("2021-02-03 04:05:06");
    QVERIFY(db.exec(changes, lastRowId,
                    "UPDATE t_task SET tsk_starttime = '" + startTime + "' WHERE tsk_no = 1;"));
    rows = rowsOf(db, "task_first");
    QCOMPARE(rows.size(), 1);
    QCOMPARE(sortedKeys(rows.at(0)), taskKeys);
    QCOMPARE(rows.at(0).value("tskno").toInt(), 1);
    QCOMPARE(rows.at(0).value("msnno").toInt(), 1);
    QCOMPARE(rows.at(0).value("excludes").toString(), QStringLiteral("/m/a\n/m/b"));
    QCOMPARE(rows.at(0).value("endtime").toString(), QString());
    QCOMPARE(rows.at(0).value("starttime").toString(), startTime);
    rows = rowsOf(db, "task_detail", {{"path", "/other"}});
    QCOMPARE(rows.size(), 1);
    QCOMPARE(sortedKeys(rows.at(0)), taskKeys);
    QCOMPARE(rows.at(0).value("tskno").toInt(), 2);

    QVERIFY(db.call("task_realtime",
                    {{"tskno", 1}, {"totality", 10}, {"resolved", 4}, {"infectes", 1}}));
    rows = rowsOf(db, "task_first");
    QCOMPARE(rows.at(0).value("totality").toInt(), 10);
    QCOMPARE(rows.at(0).value("resolved").toInt(), 4);
    QCOMPARE(rows.at(0).value("infectes").toInt(), 1);
    QVERIFY(
        db.call("task_complete",
                {{"tskno", 1}, {"times", 7}, {"totality", 10}, {"resolved", 10}, {"infectes", 2}}));
    rows = rowsOf(db, "task_first");
    QCOMPARE(rows.at(0).value("resolved").toInt(), 10);
    QVERIFY(QDateTime::fromString(rows.at(0).value("endtime").toString(), "yyyy-MM-dd HH:mm:ss")
                .isValid());
    // The other task is untouched.
    QCOMPARE(rowsOf(db, "task_detail", {{"path", "/other"}}).value(0).value("totality").toInt(), 0);

    // Scan logs: copied from a task, listed by rows (not pages).
    QVERIFY(db.call("log_assign_task", {{"tskno", 1}, {"state", 9}}));
    QVERIFY(db.call("log_assign_task", {{"tskno", 1}, {"state", 8}}));
    QVERIFY(db.call("log_assign_task", {{"tskno", 2}, {"state", 9}}));
    QVERIFY(db.exec(changes, lastRowId,
                    "UPDATE t_log SET log_starttime = '2020-01-01 00:00:00', log_endtime = "
                    "'2020-01-01 00:10:00'"
                    " WHERE log_no = 1;"));
    QCOMPARE(rowsOf(db, "log_reccount"), QList<QJsonObject>{QJsonObject({{"reccount", 3}})});
    rows = rowsOf(db, "log_alload", {{"page", 1}, {"ofpage", 10}});
    QCOMPARE(rows.size(), 3);
    QCOMPARE(sortedKeys(rows.at(1)),
             sorted({"logno", "crttime", "state", "msnno", "tskno", "file", "path", "excludes",
                     "starttime", "endtime", "times", "totality", "resolved", "infectes",
                     "description", "inplace"}));
    const QJsonObject log = rows.at(1);
    QCOMPARE(log.value("logno").toInt(), 2);
    QCOMPARE(log.value("state").toInt(), 8);
    QCOMPARE(log.value("msnno").toInt(), 1);
    QCOMPARE(log.value("tskno").toInt(), 1);
    QCOMPARE(log.value("path").toString(), QStringLiteral("/m/"));
    QCOMPARE(log.value("excludes").toString(), QStringLiteral("/m/a\n/m/b"));
    QCOMPARE(log.value("starttime").toString(), startTime);
    QVERIFY(
        QDateTime::fromString(log.value("endtime").toString(), "yyyy-MM-dd HH:mm:ss").isValid());
    QCOMPARE(log.value("times").toInt(), 7);
    QCOMPARE(log.value("totality").toInt(), 10);
    QCOMPARE(log.value("resolved").toInt(), 10);
    QCOMPARE(log.value("infectes").toInt(), 2);
    QCOMPARE(log.value("file").toString(), QString());
    QCOMPARE(log.value("description").toString(), QString());
    rows = rowsOf(db, "log_alload", {{"page", 2}, {"ofpage", 1}});
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.at(0).value("logno").toInt(), 2);

    // Every mission with the times of the newest log of its path.
    rows = rowsOf(db, "mission_alload");
    QCOMPARE(rows.size(), 2);
    QCOMPARE(sortedKeys(rows.at(0)),
             sorted({"msnno", "crttime", "type", "state", "caption", "path", "excludes", "schedule",
                     "starttime", "endtime", "lastscantime"}));
    QCOMPARE(rows.at(0).value("path").toString(), QStringLiteral("/m/"));
    QCOMPARE(rows.at(0).value("starttime").toString(), startTime);
    QCOMPARE(rows.at(0).value("endtime").toString(), log.value("endtime").toString());
    QCOMPARE(rows.at(0).value("lastscantime").toString(), log.value("endtime").toString());
    // Never scanned: no times.
    QCOMPARE(rows.at(1).value("path").toString(), QStringLiteral("/n"));
    QVERIFY(!rows.at(1).contains("starttime"));
    QVERIFY(!rows.at(1).contains("lastscantime"));

    // Quarantine records.
    QVERIFY(db.call("infectes_append",
                    {{"msnno", 1},
                     {"tskno", 1},
                     {"filename", "x"},
                     {"path", "/m/x"},
                     {"qrafile", "/q/x"},
                     {"virus", "V"}}));
    QVERIFY(db.call("infectes_append",
                    {{"msnno", 0},
                     {"tskno", 2},
                     {"filename", "y"},
                     {"path", "/other/y"},
                     {"qrafile", "/q/y"},
                     {"virus", "W"}}));
    QCOMPARE(rowsOf(db, "quarantined_reccount"),
             QList<QJsonObject>{QJsonObject({{"reccount", 2}})});
    rows = rowsOf(db, "quarantined_alload", {{"page", 1}, {"ofpage", 1}});
    QCOMPARE(rows.size(), 1);
    QCOMPARE(sortedKeys(rows.at(0)),
             sorted({"iftno", "crttime", "msnno", "time", "filename", "path", "quarantined",
                     "virus", "moved", "tskno", "reason"}));
    QCOMPARE(rows.at(0).value("iftno").toInt(), 1);
    QCOMPARE(rows.at(0).value("msnno").toInt(), 1);
    QCOMPARE(rows.at(0).value("filename").toString(), QStringLiteral("x"));
    QCOMPARE(rows.at(0).value("path").toString(), QStringLiteral("/m/x"));
    QCOMPARE(rows.at(0).value("quarantined").toString(), QStringLiteral("/q/x"));
    QCOMPARE(rows.at(0).value("virus").toString(), QStringLiteral("V"));
    QVERIFY(QDateTime::fromString(rows.at(0).value("time").toString(), "yyyy-MM-dd HH:mm:ss")
                .isValid());
    QCOMPARE(rowsOf(db, "quarantined_alload", {{"page", 2}, {"ofpage", 5}})
                 .value(0)
                 .value("iftno")
                 .toInt(),
             2);

    // Clean-up after a removed mission: its logs go, rows without a
    // mission stay, and its quarantine records stay, detached.
    QVERIFY(db.exec(changes, lastRowId, "DELETE FROM t_mission WHERE msn_no = 1;"));
    QVERIFY(db.call("mission_remove_unrelated_1"));
    QVERIFY(db.call("mission_remove_unrelated_2"));
    rows = rowsOf(db, "log_alload", {{"page", 1}, {"ofpage", 10}});
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.at(0).value("tskno").toInt(), 2);
    rows = rowsOf(db, "quarantined_alload", {{"page", 1}, {"ofpage", 10}});
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.at(0).value("msnno").toInt(), 0);
    QCOMPARE(rows.at(1).value("msnno").toInt(), 0);

    QVERIFY(db.call("task_remove", {{"tskno", 1}}));
    QCOMPARE(rowsOf(db, "task_first").value(0).value("tskno").toInt(), 2);
    QVERIFY(db.call("task_clear"));
    QVERIFY(rowsOf(db, "task_first").isEmpty());
}

QTEST_GUILESS_MAIN(tst_ZNStore)
#include "tst_znstore.moc"
