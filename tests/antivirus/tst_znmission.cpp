// Missions over a real local socket, and the schedule pass driven with an
// injected time.

#include "avservice.h"

#include <sys/stat.h>

namespace {

int err(const QJsonObject& reply)
{
    return reply.value("err").toInt();
}

} // namespace

class tst_ZNMission : public QObject
{
    Q_OBJECT
private slots:
    void createChecksPathsAndDuplicates();
    void scansAreAttributedAndListed();
    void removeConvertsNumbersAndCleansUp();
    void removedMissionKeepsQuarantinedFiles();
    void concurrentCreateInsertsOnce();
    void removeThousandsInOneRequest();
    void schedulePassStartsDueScans();
    void disablingStopsTheScheduleThread();
};

void tst_ZNMission::createChecksPathsAndDuplicates()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(QDir::setCurrent(service.root.path()));
    QVERIFY(QDir().mkpath(service.scanDir + "/docs"));
    QVERIFY(avtest::writeFile(service.scanDir + "/file.bin", "data"));
    QVERIFY(::mkfifo(QFile::encodeName(service.scanDir + "/fifo").constData(), 0600) == 0);

    QCOMPARE(err(service.call("antivirus_mission_create", {{"path", "scan/docs"}})), 0);
    QCOMPARE(
        err(service.call("antivirus_mission_create", {{"path", service.scanDir + "/file.bin"}})),
        0);
    QJsonObject reply =
        service.call("antivirus_mission_create", {{"path", service.scanDir + "/docs/"}});
    QCOMPARE(err(reply), 9993);
    QCOMPARE(reply.value("errmsg").toString(), "路径已存在: " + service.scanDir + "/docs/");
    for (const QString& bad :
         {service.scanDir + "/none", service.scanDir + "/fifo", QString("   ")}) {
        reply = service.call("antivirus_mission_create", {{"path", bad}});
        QCOMPARE(err(reply), 9994);
        QCOMPARE(reply.value("errmsg").toString(), QStringLiteral("选定的文件或文件夹不存在"));
    }
    reply = service.call("antivirus_mission_create", {{"path", 12}});
    QCOMPARE(err(reply), 9995);
    QCOMPARE(reply.value("errmsg").toString(), QStringLiteral("缺少参数: path"));

    reply = service.call("antivirus_mission_alload");
    QCOMPARE(err(reply), 0);
    const QJsonObject missions = reply.value("results").toObject();
    QCOMPARE(missions.size(), 2);
    const QJsonObject dir = missions.value(service.scanDir + "/docs/").toObject();
    QCOMPARE(dir,
             QJsonObject({{"msnno", 1},
                          {"path", service.scanDir + "/docs/"},
                          {"type", 1},
                          {"starttime", QJsonValue()},
                          {"endtime", QJsonValue()},
                          {"lastscantime", QJsonValue()}}));
    QCOMPARE(missions.value(service.scanDir + "/file.bin").toObject().value("type").toInt(), 2);
}

// A registered folder is stored with "/" and scanned without it: the scan
// still belongs to the mission, and the listing carries the newer log.
void tst_ZNMission::scansAreAttributedAndListed()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    const QString folder = service.scanDir + "/watched";
    QVERIFY(avtest::writeFile(folder + "/bad", avtest::eicar()));
    QCOMPARE(err(service.call("antivirus_mission_create", {{"path", folder}})), 0);

    QCOMPARE(err(service.scan(folder)), 0);
    QTRY_COMPARE_WITH_TIMEOUT(service.rows("SELECT * FROM t_infectes").size(), 1, 2000);
    QCOMPARE(service.rows("SELECT msn_no FROM t_infectes").value(0).value("msn_no").toInt(), 1);
    // Older times on the first log, so the listing must pick the newer one.
    service.rows("UPDATE t_log SET log_starttime = '2020-01-01 00:00:00', "
                 "log_endtime = '2020-01-01 00:00:05';");
    QCOMPARE(err(service.scan(folder + "/")), 0);

    const QList<QJsonObject> logs = service.rows("SELECT * FROM t_log ORDER BY log_no");
    QCOMPARE(logs.size(), 2);
    QCOMPARE(logs.at(0).value("msn_no").toInt(), 1);
    QCOMPARE(logs.at(1).value("msn_no").toInt(), 1);
    const QJsonObject listed = service.call("antivirus_mission_alload")
                                   .value("results")
                                   .toObject()
                                   .value(folder + "/")
                                   .toObject();
    QCOMPARE(listed.value("starttime").toString(), logs.at(1).value("log_starttime").toString());
    QCOMPARE(listed.value("endtime").toString(), logs.at(1).value("log_endtime").toString());
    QCOMPARE(listed.value("lastscantime").toString(), logs.at(1).value("log_endtime").toString());
    QVERIFY(listed.value("endtime").toString() != QStringLiteral("2020-01-01 00:00:05"));
    const QJsonObject running = service.call("antivirus_scan_running").value("results").toObject();
    QCOMPARE(running.value("missions").toObject().value(folder + "/").toObject(), listed);
}

void tst_ZNMission::removeConvertsNumbersAndCleansUp()
{
    avtest::Service service;
    QVERIFY(service.start());
    for (int i = 1; i <= 6; ++i) {
        QVERIFY(QDir().mkpath(service.scanDir + QString("/m%1").arg(i)));
        QCOMPARE(err(service.call("antivirus_mission_create",
                                  {{"path", service.scanDir + QString("/m%1").arg(i)}})),
                 0);
    }
    // Logs and quarantine records of missions 3 and 5 and of no mission.
    QList<QJsonObject> none;
    int changes = 0, rowId = 0;
    QVERIFY(service.d->store.exec(changes, rowId, none,
                                  "INSERT INTO t_log (msn_no) VALUES (3), (5), (0), (4);"
                                  "INSERT INTO t_infectes (msn_no) VALUES (3), (0), (5), (6);"));

    QCOMPARE(err(service.call("antivirus_mission_remove", {{"msnnos", 7}})), 9995);
    QCOMPARE(err(service.call("antivirus_mission_remove", {{"msnnos", QJsonArray{0, -2, "x"}}})),
             9995);
    QJsonObject reply = service.call("antivirus_mission_remove",
                                     {{"msnnos", QJsonArray{3, "3", 0, -2, 5, 3.0, 99}}});
    QCOMPARE(err(reply), 0);
    QList<QJsonObject> left = service.rows("SELECT msn_no FROM t_mission ORDER BY msn_no");
    QCOMPARE(left.size(), 4);
    QCOMPARE(left.at(2).value("msn_no").toInt(), 4);
    QCOMPARE(service.rows("SELECT msn_no FROM t_log ORDER BY msn_no").size(), 2);
    // Quarantine records stay, detached from the removed missions.
    QCOMPARE(service.rows("SELECT msn_no FROM t_infectes WHERE msn_no IN (3, 5)").size(), 0);
    QCOMPARE(service.rows("SELECT msn_no FROM t_infectes").size(), 4);
    QCOMPARE(service.rows("SELECT msn_no FROM t_infectes WHERE msn_no = 0").size(), 3);

    reply = service.call("antivirus_mission_remove", {{"msnnos", QJsonArray{3, 77}}});
    QCOMPARE(err(reply), 9994);
    QCOMPARE(reply.value("errmsg").toString(), QStringLiteral("没有找到需要删除的任务"));
}

// A file quarantined by a mission's scan stays listed and restorable after
// the mission is removed.
void tst_ZNMission::removedMissionKeepsQuarantinedFiles()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    const QString folder = service.scanDir + "/mission";
    QVERIFY(avtest::writeFile(folder + "/evil.doc", avtest::eicar()));
    QCOMPARE(err(service.call("antivirus_mission_create", {{"path", folder}})), 0);
    const int mission =
        service.rows("SELECT msn_no FROM t_mission").value(0).value("msn_no").toInt();
    QVERIFY(mission > 0);
    QCOMPARE(err(service.scan(folder)), 0);
    QTRY_COMPARE_WITH_TIMEOUT(
        service
            .rows(QString("SELECT * FROM t_infectes WHERE ift_pending = 0 AND msn_no = %1")
                      .arg(mission))
            .size(),
        1, 2000);

    QCOMPARE(err(service.call("antivirus_mission_remove", {{"msnnos", QJsonArray{mission}}})), 0);
    QVERIFY(service.rows("SELECT * FROM t_log").isEmpty()); // the logs go with the mission
    const QJsonObject listing =
        service.call("antivirus_quarantined_alload").value("results").toObject();
    QCOMPARE(listing.value("reccount").toInt(), 1);
    const QJsonObject record = listing.value("records").toArray().first().toObject();
    QCOMPARE(record.value("msnno").toInt(), 0);
    QCOMPARE(record.value("path").toString(), folder + "/evil.doc");
    QCOMPARE(record.value("removed").toInt(), 0);
    QCOMPARE(err(service.call("antivirus_quarantined_restore",
                              {{"iftnos", QJsonArray{record.value("iftno")}}})),
             0);
    QTRY_COMPARE_WITH_TIMEOUT(avtest::readBytes(folder + "/evil.doc"), avtest::eicar(), 2000);
    QTRY_VERIFY_WITH_TIMEOUT(service.rows("SELECT * FROM t_infectes").isEmpty(), 2000);
}

void tst_ZNMission::concurrentCreateInsertsOnce()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(QDir().mkpath(service.scanDir + "/shared"));
    const int clients = 8;
    std::atomic<int> finished{0}, created{0}, duplicates{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i) {
        threads.emplace_back([&] {
            QJsonObject reply;
            KX2LocalServer::localRequest(
                service.socketName,
                QJsonObject{{"cmd", "antivirus_mission_create"},
                            {"params", QJsonObject{{"path", service.scanDir + "/shared"}}}},
                &reply, 30);
            if (err(reply) == 0)
                ++created;
            else if (err(reply) == 9993)
                ++duplicates;
            ++finished;
        });
    }
    QTRY_COMPARE_WITH_TIMEOUT(int(finished), clients, 30000);
    for (std::thread& thread : threads)
        thread.join();
    QCOMPARE(int(created), 1);
    QCOMPARE(int(duplicates), clients - 1);
    QCOMPARE(service.rows("SELECT * FROM t_mission").size(), 1);
}

void tst_ZNMission::removeThousandsInOneRequest()
{
    avtest::Service service;
    QVERIFY(service.start());
    QList<QJsonObject> none;
    int changes = 0, rowId = 0;
    QVERIFY(service.d->store.exec(
        changes, rowId, none,
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2500) "
        "INSERT INTO t_mission (msn_path) SELECT '/m' || i FROM n;"));
    QJsonArray numbers;
    for (int i = 1; i <= 2500; ++i)
        numbers.append(i);
    QCOMPARE(err(service.call("antivirus_mission_remove", {{"msnnos", numbers}})), 0);
    QCOMPARE(service.rows("SELECT * FROM t_mission").size(), 0);
}

// The pass at an injected time: due runs start scans, a missed run happens
// once, mode 0 starts nothing.
void tst_ZNMission::schedulePassStartsDueScans()
{
    avtest::Service service;
    QVERIFY(service.start({{"overall", QJsonObject{{"path", QString()}}}}));
    QVERIFY(service.enableWithEngine(1));
    ZNAntiVirusPrivate* d = service.d;
    const quint32 now = quint32(QDateTime::currentSecsSinceEpoch());

    // Scope 2: every mission in mission-number order, the first running and
    // the others queued behind it (held as the worker takes a file).
    QStringList folders;
    for (const char* name : {"c", "a", "b"}) {
        folders << service.scanDir + "/" + name;
        QVERIFY(avtest::writeFile(folders.last() + "/f", "clean"));
        QCOMPARE(err(service.call("antivirus_mission_create", {{"path", folders.last()}})), 0);
    }
    ZNSchedule schedule;
    schedule.mode = 1;
    schedule.scope = 2;
    schedule.scanNext = now - 3 * 86400; // missed three days ago
    d->scheduler.setSchedule(schedule);
    {
        avtest::PauseGate::Hold hold(service.fileTaking);
        d->scheduler.pass(now);
        const QList<QJsonObject> tasks =
            service.rows("SELECT tsk_path FROM t_task ORDER BY tsk_no");
        QCOMPARE(tasks.size(), 3);
        for (int i = 0; i < 3; ++i)
            QCOMPARE(tasks.at(i).value("tsk_path").toString(), folders.at(i));
    }
    QVERIFY(service.waitIdle());
    QVERIFY(d->scheduler.schedule().scanNext > now);
    d->scheduler.pass(now + 1); // the missed run happened once
    QVERIFY(service.waitIdle());
    QCOMPARE(service.rows("SELECT * FROM t_log").size(), 3);

    // Scope 1: the overall path.
    d->configuration.overallPath = service.scanDir + "/a";
    schedule.scope = 1;
    schedule.scanNext = now;
    d->scheduler.setSchedule(schedule);
    d->scheduler.pass(now);
    QVERIFY(service.waitIdle());
    QList<QJsonObject> logs = service.rows("SELECT log_path FROM t_log ORDER BY log_no");
    QCOMPARE(logs.size(), 4);
    QCOMPARE(logs.last().value("log_path").toString(), service.scanDir + "/a");

    // Mode 0 (no next time) starts nothing.
    schedule.mode = 0;
    schedule.scanNext = 0;
    d->scheduler.setSchedule(schedule);
    d->scheduler.pass(now + 86400 * 30);
    QVERIFY(service.waitIdle());
    QCOMPARE(service.rows("SELECT * FROM t_log").size(), 4);
}

void tst_ZNMission::disablingStopsTheScheduleThread()
{
    avtest::Service service;
    QVERIFY(service.start());
    const QJsonObject schedule{{"mode", 1}, {"hour", 3}, {"minute", 0}, {"scope", 1}};
    QVERIFY(service.enableWithEngine(1, {{"schedule", schedule}}));
    QTRY_VERIFY(service.d->scheduler.isRunning());
    QCOMPARE(
        err(service.call("antivirus_settings_save",
                         {{"enabled", 0}, {"datadir", service.dataDir}, {"schedule", schedule}})),
        0);
    QElapsedTimer stopped;
    stopped.start();
    QTRY_VERIFY_WITH_TIMEOUT(!service.d->scheduler.isRunning(), 1500);
    QVERIFY(stopped.elapsed() < 1500);
}

QTEST_GUILESS_MAIN(tst_ZNMission)
#include "tst_znmission.moc"
