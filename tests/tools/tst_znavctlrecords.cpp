// znavctl's scan-log and quarantine commands against a whole in-process
// service with files quarantined by a real scan: tables for people, JSON
// for scripts, exit status, and the argument checks.

#include "../antivirus/avservice.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>

class tst_ZNAvCtlRecords : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { qRegisterMetaType<QProcess::ExitStatus>(); }
    void recordCommands();
    void missionCommands();
    void reportSummarisesTheService();
    void unusableArguments_data();
    void unusableArguments();

private:
    struct Run
    {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };
    Run znavctl(const QString& socket, QStringList arguments);
};

tst_ZNAvCtlRecords::Run tst_ZNAvCtlRecords::znavctl(const QString& socket, QStringList arguments)
{
    QProcess process;
    QSignalSpy finished(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    arguments.prepend(socket);
    arguments.prepend("--socket");
    process.start(qEnvironmentVariable("ZN_BIN_DIR") + "/znavctl", arguments);
    Run run;
    if (!finished.wait(30000))
        return run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

void tst_ZNAvCtlRecords::recordCommands()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    for (const char* name : {"a", "b", "c"})
        QVERIFY(avtest::writeFile(service.scanDir + "/share/" + name, avtest::eicar()));
    QCOMPARE(service.scan(service.scanDir + "/share").value("err").toInt(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(
        service.rows("SELECT ift_no FROM t_infectes WHERE ift_pending = 0").size(), 3, 2000);
    const QList<QJsonObject> records = service.rows(
        "SELECT ift_no AS n, ift_path AS p, ift_quarantined AS q FROM t_infectes ORDER BY ift_no");

    Run run = znavctl(service.socketName, {"quarantine", "--page", "2", "--size", "5"});
    QCOMPARE(run.exitCode, 0);
    QList<QByteArray> lines = run.out.split('\n');
    QVERIFY2(lines.value(0).startsWith("RECORD  TIME"), run.out.constData());
    QVERIFY(lines.value(1).startsWith(QByteArray::number(records.at(1).value("n").toInt()) + " "));
    QVERIFY(lines.value(1).endsWith(records.at(1).value("p").toString().toUtf8()));
    QVERIFY(lines.value(1).contains(" kept "));
    QCOMPARE(lines.value(3), QByteArray("(rows 2-3 of 3, oldest first)"));

    // By default the newest first; --last and --since narrow it.
    const auto firstColumn = [](const QByteArray& out) {
        QList<int> numbers;
        for (const QByteArray& line : out.split('\n').mid(1))
            if (!line.isEmpty() && !line.startsWith('('))
                numbers << line.split(' ').first().toInt();
        return numbers;
    };
    const auto number = [&](int i) { return records.at(i).value("n").toInt(); };
    run = znavctl(service.socketName, {"quarantine"});
    QCOMPARE(firstColumn(run.out), QList<int>({number(2), number(1), number(0)}));
    QVERIFY2(run.out.endsWith("(3 newest, of 3 in all)\n"), run.out.constData());
    QCOMPARE(firstColumn(znavctl(service.socketName, {"quarantine", "--last", "2"}).out),
             QList<int>({number(2), number(1)}));
    service.rows(QString("UPDATE t_infectes SET ift_time = '2020-01-01 08:00:00' WHERE ift_no = %1")
                     .arg(number(0)));
    QCOMPARE(firstColumn(znavctl(service.socketName, {"quarantine", "--since", "24h"}).out),
             QList<int>({number(2), number(1)}));
    QCOMPARE(firstColumn(znavctl(service.socketName, {"quarantine", "--since", "2020-01-01"}).out),
             QList<int>({number(2), number(1), number(0)}));
    QCOMPARE(
        firstColumn(znavctl(service.socketName, {"quarantine", "--since", "2020-01-01 08:01"}).out),
        QList<int>({number(2), number(1)}));

    run = znavctl(service.socketName, {"logs", "--json"});
    QCOMPARE(run.exitCode, 0);
    const QJsonObject logs = QJsonDocument::fromJson(run.out).object().value("results").toObject();
    QCOMPARE(logs.value("reccount").toInt(), 1);
    QCOMPARE(logs.value("records").toArray().size(), 1);
    run = znavctl(service.socketName, {"logs"});
    QVERIFY2(run.out.split('\n').value(1).contains(" done "), run.out.constData());

    run =
        znavctl(service.socketName, {"restore", QString::number(records.at(0).value("n").toInt())});
    QCOMPARE(run.exitCode, 0);
    QTRY_COMPARE_WITH_TIMEOUT(avtest::readBytes(records.at(0).value("p").toString()),
                              avtest::eicar(), 2000);

    run = znavctl(service.socketName, {"purge", "9999"});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains("(err 9994: 没有可删除的隔离文件)"), run.err.constData());
    QVERIFY(QFile::remove(records.at(1).value("q").toString()));
    run = znavctl(service.socketName, {"prune"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QByteArray("1 record(s) of vanished files pruned\n"));
    run = znavctl(service.socketName,
                  {"purge", "--json", QString::number(records.at(2).value("n").toInt())});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(QJsonDocument::fromJson(run.out).object().value("err").toInt(-1), 0);
    QCOMPARE(service.rows("SELECT ift_no FROM t_infectes").size(), 0);
    QVERIFY(!QFileInfo::exists(records.at(2).value("q").toString()));
}

// One screen: what keeps the service from protecting, the engine, the
// last scan of each path, the detections since a time, the quarantine.
void tst_ZNAvCtlRecords::reportSummarisesTheService()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    for (const char* name : {"a", "b"})
        QVERIFY(avtest::writeFile(service.scanDir + "/share/" + name, avtest::eicar()));
    QCOMPARE(service.call("antivirus_mission_create", {{"path", service.scanDir + "/share"}})
                 .value("err")
                 .toInt(),
             0);
    QCOMPARE(service.scan(service.scanDir + "/share").value("err").toInt(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(
        service.rows("SELECT ift_no FROM t_infectes WHERE ift_pending = 0").size(), 2, 2000);
    // One detection is old: --since leaves it out.
    service.rows("UPDATE t_infectes SET ift_time = '2020-01-01 08:00:00' WHERE ift_no = "
                 "(SELECT MIN(ift_no) FROM t_infectes)");

    Run run = znavctl(service.socketName, {"report"});
    QCOMPARE(run.exitCode, 0);
    const QString text = QString::fromUtf8(run.out);
    QVERIFY2(
        text.startsWith("protected:  no\nwarning:    no scheduled scan (settings: schedule)\n"),
        qPrintable(text));
    QVERIFY2(text.contains("\nengine:     1 signatures, set installed "), qPrintable(text));
    QVERIFY2(text.contains("\ndetected:   1 since "), qPrintable(text));
    QVERIFY2(text.contains("\nquarantine: 2 files (0.0 MiB), 2 records\n"), qPrintable(text));
    QVERIFY2(text.contains(QRegularExpression("\nmission 1 +\\S+ \\S+ +done +2 +2 +"
                                              + QRegularExpression::escape(service.scanDir)
                                              + "/share\n")),
             qPrintable(text));

    run = znavctl(service.socketName, {"report", "--json", "--since", "2019-12-31"});
    QCOMPARE(run.exitCode, 0);
    const QJsonObject report =
        QJsonDocument::fromJson(run.out).object().value("results").toObject();
    QCOMPARE(report.value("detections").toObject().value("count").toInt(), 2);
    QCOMPARE(report.value("quarantine").toObject().value("files").toInt(), 2);
    QCOMPARE(report.value("lastscans").toArray().size(), 1);
    QCOMPARE(report.value("engine").toObject().value("loaded").toInt(), 1);
}

void tst_ZNAvCtlRecords::missionCommands()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    QVERIFY(QDir().mkpath(service.scanDir + "/photos"));
    // A relative path is the caller's, not the service's.
    const QString saved = QDir::currentPath();
    QVERIFY(QDir::setCurrent(service.scanDir));
    Run run = znavctl(service.socketName, {"mission", "add", "photos"});
    QDir::setCurrent(saved);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(service.rows("SELECT msn_path FROM t_mission").value(0).value("msn_path").toString(),
             service.scanDir + "/photos/");

    run = znavctl(service.socketName, {"missions"});
    QCOMPARE(run.exitCode, 0);
    QList<QByteArray> lines = run.out.split('\n');
    QVERIFY2(lines.value(0).startsWith("MISSION  TYPE    LAST SCAN  PATH"), run.out.constData());
    QVERIFY2(lines.value(1).startsWith("1        folder  never      "
                                       + QFile::encodeName(service.scanDir)),
             run.out.constData());
    QCOMPARE(service.scan(service.scanDir + "/photos").value("err").toInt(), 0);
    const QString ended =
        service.rows("SELECT log_endtime FROM t_log").value(0).value("log_endtime").toString();
    run = znavctl(service.socketName, {"missions"});
    QVERIFY2(run.out.contains(ended.toUtf8()), run.out.constData());
    run = znavctl(service.socketName, {"--json", "missions"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(QJsonDocument::fromJson(run.out).object().value("err").toInt(-1), 0);

    QCOMPARE(znavctl(service.socketName, {"mission", "add", service.scanDir + "/photos"}).exitCode,
             2);
    QCOMPARE(znavctl(service.socketName, {"mission", "rm", "x"}).exitCode, 2);
    QCOMPARE(znavctl(service.socketName, {"mission", "rm", "1"}).exitCode, 0);
    run = znavctl(service.socketName, {"mission", "rm", "1"});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains("没有找到需要删除的任务"), run.err.constData());
    QVERIFY(service.rows("SELECT * FROM t_mission").isEmpty());
}

void tst_ZNAvCtlRecords::unusableArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("no numbers") << QStringList{"restore"}
                                << QByteArray("at least one record number");
    QTest::newRow("not a number") << QStringList{"purge", "3", "x"}
                                  << QByteArray("x is not a record number");
    QTest::newRow("zero") << QStringList{"purge", "0"} << QByteArray("0 is not a record number");
    QTest::newRow("page without value")
        << QStringList{"logs", "--page"} << QByteArray("logs: missing value after '--page'");
    QTest::newRow("numbers for prune")
        << QStringList{"prune", "4"} << QByteArray("unexpected argument 4");
    QTest::newRow("size for restore")
        << QStringList{"restore", "--size", "3"} << QByteArray("restore: unknown option 'size'");
    QTest::newRow("page not a number") << QStringList{"quarantine", "--page", "x"}
                                       << QByteArray("quarantine: --page needs a positive number");
    QTest::newRow("since not a time")
        << QStringList{"logs", "--since", "yesterday"} << QByteArray("logs: --since needs a time");
    QTest::newRow("page with last") << QStringList{"logs", "--page", "2", "--last", "3"}
                                    << QByteArray("--page and --size do not go with --last");
}

void tst_ZNAvCtlRecords::unusableArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, message);
    // No service is needed: the arguments are refused before any request.
    const Run run = znavctl(QDir::temp().filePath("znavctl-nobody-here.sock"), arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY(run.out.isEmpty());
    QVERIFY2(run.err.contains(message), run.err.constData());
    QCOMPARE(run.err.count('\n'), 1);
}

QTEST_GUILESS_MAIN(tst_ZNAvCtlRecords)
#include "tst_znavctlrecords.moc"
