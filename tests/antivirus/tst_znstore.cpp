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

int rowCount(KX2DBSqlite& db, const QString& table)
{
    int changes = 0, lastRowId = 0;
    QList<QJsonObject> rows;
    if (!db.exec(changes, lastRowId, rows, "SELECT COUNT(*) AS n FROM " + table + ";"))
        return -1;
    return rows.value(0).value("n").toInt(-1);
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
    QCOMPARE(d->settingsFile, QStringLiteral("/zelo/etc/antivirus/settings.json"));
    QCOMPARE(d->settingsDir.absolutePath(), QStringLiteral("/zelo/etc/antivirus"));
    QCOMPARE(d->virusdbUrl, QStringLiteral("http://...."));
    QCOMPARE(d->overallPath, QStringLiteral("/mnt"));
    QCOMPARE(d->overallExcludes, QStringList({"ftp", "webdav", "velcan"}));
    QCOMPARE(G_OVERALL_EXCLUDES, QStringList({"ftp", "webdav", "velcan"}));
    QCOMPARE(d->databaseFile, databasePath());
}

void tst_ZNStore::configurationKeysAreTrimmedAndDeduplicated()
{
    KX2Journals journal;
    QJsonObject configuration{
        {"settings", root->path() + "/conf/my settings.json"},
        {"virusdburl", "  http://127.0.0.1:8089/virusdb.json \t"},
        {"database", "  " + databasePath() + "  "},
        {"overall", QJsonObject{{"path", "  /srv/share  "}, {"excludes", QJsonArray{"a", " ", "b", "a", 5}}}},
    };
    QVERIFY(load(configuration, journal));
    QCOMPARE(d->settingsFile, root->path() + "/conf/my settings.json");
    QCOMPARE(d->settingsDir.absolutePath(), root->path() + "/conf");
    QCOMPARE(d->virusdbUrl, QStringLiteral("http://127.0.0.1:8089/virusdb.json"));
    QCOMPARE(d->databaseFile, databasePath());
    QCOMPARE(d->overallPath, QStringLiteral("/srv/share"));
    QCOMPARE(d->overallExcludes, QStringList({"a", "b", "5"}));

    // An exclusion list without a usable entry falls back to the built-in one.
    configuration["overall"] = QJsonObject{{"excludes", QJsonArray{" ", "", QJsonValue()}}};
    QVERIFY(load(configuration, journal));
    QCOMPARE(d->overallPath, QStringLiteral("/mnt"));
    QCOMPARE(d->overallExcludes, G_OVERALL_EXCLUDES);
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
    QCOMPARE(keys, QStringList({"System.Id", "System.Name", "System.Version", "Database.Id",
                                "Database.Caption", "Database.Version", "Database.First.Date"}));
    QCOMPARE(rows.at(0).value("cfg_value").toString(), QStringLiteral("KX19"));
    QCOMPARE(rows.at(1).value("cfg_value").toString(), QStringLiteral("Tollmark19"));
    QCOMPARE(rows.at(3).value("cfg_value").toString(), QStringLiteral("Q7ANTIVIRUS"));
    QVERIFY(!rows.at(4).value("cfg_value").toString().isEmpty());
    QCOMPARE(rows.at(5).value("cfg_value").toString(), QStringLiteral("1"));
    const QDateTime firstDate = QDateTime::fromString(rows.at(6).value("cfg_value").toString(),
                                                      "yyyy-MM-dd HH:mm:ss");
    QVERIFY(firstDate.isValid());
    QVERIFY(qAbs(firstDate.secsTo(QDateTime::currentDateTime())) < 600);

    for (const char* table : {"t_mission", "t_task", "t_log", "t_infectes"})
        QCOMPARE(rowCount(db, table), 0);
    rows.clear();
    QVERIFY(db.exec(changes, lastRowId, rows,
                    "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 't_infectes' ORDER BY name;"));
    QCOMPARE(rows.size(), 2);
    QCOMPARE(rows.at(0).value("name").toString(), QStringLiteral("t_infectes_ift_path__index"));
    QCOMPARE(rows.at(1).value("name").toString(), QStringLiteral("t_infectes_ift_quarantined__index"));
    db.close();

    // The catalogue is loaded: every statement of the service is callable.
    const QJsonObject catalogue = d->database.sqlEngine();
    for (const char* name : {"syscfg_dbversion", "mission_alload", "mission_detail", "mission_append",
                             "mission_remove_unrelated_1", "mission_remove_unrelated_2",
                             "quarantined_reccount", "quarantined_alload", "log_reccount",
                             "log_alload", "log_assign_task", "task_detail", "task_first",
                             "task_append", "task_realtime", "task_complete", "task_remove",
                             "task_clear", "infectes_append"})
        QVERIFY2(catalogue.contains(name), name);
}

void tst_ZNStore::leftOverTasksAreDroppedOthersKept()
{
    KX2Journals journal;
    QVERIFY(load(avtest::componentConfig(root->path()), journal));
    QVERIFY(d->database.call("task_append", QJsonObject{{"msnno", 0}, {"path", "/a"}, {"excludes", ""}}));
    QVERIFY(d->database.call("task_append", QJsonObject{{"msnno", 0}, {"path", "/b"}, {"excludes", ""}}));
    QVERIFY(d->database.call("mission_append", QJsonObject{{"caption", "/a/"}, {"type", 1}, {"path", "/a/"}}));
    QVERIFY(d->database.call("log_assign_task", QJsonObject{{"tskno", 1}, {"state", 9}}));
    QVERIFY(d->database.call("infectes_append", QJsonObject{{"msnno", 0}, {"tskno", 1}, {"filename", "x"},
                                                            {"path", "/a/x"}, {"qrafile", "/q/x"}, {"virus", "V"}}));
    QCOMPARE(rowCount(d->database, "t_task"), 2);

    // A new process: a fresh module on the same store.
    module.reset(new ZNAntiVirus());
    d = ZNAntiVirusPrivate::get(module.data());
    QVERIFY(load(avtest::componentConfig(root->path()), journal));
    QCOMPARE(rowCount(d->database, "t_task"), 0);
    QCOMPARE(rowCount(d->database, "t_mission"), 1);
    QCOMPARE(rowCount(d->database, "t_log"), 1);
    QCOMPARE(rowCount(d->database, "t_infectes"), 1);
}

void tst_ZNStore::repeatedLoadKeepsOpenStore()
{
    KX2Journals journal;
    QVERIFY(load(avtest::componentConfig(root->path()), journal));
    const sqlite3* const connection = d->database.handle();
    QVERIFY(connection);
    QVERIFY(d->database.call("task_append", QJsonObject{{"msnno", 0}, {"path", "/a"}, {"excludes", ""}}));

    QJsonObject second = avtest::componentConfig(root->path());
    second["database"] = root->path() + "/elsewhere.db";
    second["virusdburl"] = "http://example.invalid/";
    QVERIFY(load(second, journal));
    QVERIFY(module->configured);
    // Configuration members follow the new object; the store stays open
    // (same connection, no new file) and its task table is cleared again.
    QCOMPARE(d->virusdbUrl, QStringLiteral("http://example.invalid/"));
    QCOMPARE(d->database.handle(), connection);
    QVERIFY(!QFileInfo::exists(root->path() + "/elsewhere.db"));
    QCOMPARE(rowCount(d->database, "t_task"), 0);
}

void tst_ZNStore::foreignOrNewerStoreIsRefused_data()
{
    QTest::addColumn<QString>("tamper");
    QTest::newRow("newer version") << "UPDATE sys_configure SET cfg_value = '2' WHERE cfg_key = 'Database.Version';";
    QTest::newRow("foreign id") << "UPDATE sys_configure SET cfg_value = 'OTHERAPP' WHERE cfg_key = 'Database.Id';";
    QTest::newRow("no version row") << "DELETE FROM sys_configure WHERE cfg_key = 'Database.Version';";
    QTest::newRow("no configuration table") << "DROP TABLE sys_configure;";
}

void tst_ZNStore::foreignOrNewerStoreIsRefused()
{
    QFETCH(QString, tamper);
    {
        ZNAntiVirus creator;
        KX2Journals journal;
        QVERIFY(creator.loadConfigure(journal, avtest::componentConfig(root->path())));
    }
    QVERIFY(execSql(databasePath(), tamper));

    KX2Journals journal;
    QVERIFY(!load(avtest::componentConfig(root->path()), journal));
    QVERIFY(!module->configured);
    QVERIFY(!d->database.handle());
    QCOMPARE(journal.err(), 9999);
    QVERIFY(journal.segments().isEmpty());
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
    QVERIFY(!d->database.handle());
    const QJsonArray entries = journal.segments();
    QCOMPARE(entries.size(), 1);
    const QJsonObject entry = entries.at(0).toObject();
    QCOMPARE(entry.value("action").toString(), QStringLiteral("database.open()"));
    QCOMPARE(entry.value("success").toBool(true), false);
    QVERIFY2(entry.value("place").toString().startsWith("ZNAntiVirus::loadConfigure#"),
             qPrintable(entry.value("place").toString()));
    // A failed load keeps the configuration members it read.
    QCOMPARE(d->databaseFile, root->path() + "/blocker/antivirus.db");
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

QTEST_GUILESS_MAIN(tst_ZNStore)
#include "tst_znstore.moc"
