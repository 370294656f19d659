// znavctl's help, version, settings and schedule commands and its exit
// codes, run as a real process against a whole in-process antivirus service
// on a real socket: what is shown, what reaches settings.json, and what is
// refused before anything is sent.

#include "../antivirus/avservice.h"
#include "kx2file.h"
#include "kx2localserver.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

class tst_ZNAvCtlSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyCommandHasItsOwnHelp();
    void helpBeforeTheCommandWorksToo();
    void versionIsPrinted();
    void settingsRoundTrip();
    void refusedValuesNeverReachTheService_data();
    void refusedValuesNeverReachTheService();
    void scheduleSetShowAndOff();
    void exitCodes();

private:
    struct Run
    {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };
    // Runs znavctl while this thread's event loop keeps serving.
    Run znavctl(const QStringList& arguments);
    QJsonObject settingsFile(const avtest::Service& service) const;
    // Saves settings with a work area (the service refuses any save
    // without one) plus `extra`, and waits until the update thread that a
    // new work area starts has finished: a save meanwhile is refused.
    bool seed(avtest::Service& service, const QJsonObject& extra = QJsonObject());
    bool waitUpdaterIdle(avtest::Service& service);

    QString program;
    const QStringList commands{"call",     "scan",       "stop",     "status",  "update",
                               "logs",     "quarantine", "restore",  "purge",   "prune",
                               "missions", "mission",    "settings", "schedule"};
};

void tst_ZNAvCtlSettings::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    program = qEnvironmentVariable("ZN_BIN_DIR") + "/znavctl";
    QVERIFY2(QFileInfo(program).isExecutable(), qPrintable(program));
}

tst_ZNAvCtlSettings::Run tst_ZNAvCtlSettings::znavctl(const QStringList& arguments)
{
    QProcess process;
    QSignalSpy finished(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    process.start(program, arguments);
    Run run;
    if (!finished.wait(30000))
        return run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

QJsonObject tst_ZNAvCtlSettings::settingsFile(const avtest::Service& service) const
{
    return avtest::readJson(service.root.path() + "/etc/settings.json");
}

bool tst_ZNAvCtlSettings::waitUpdaterIdle(avtest::Service& service)
{
    QElapsedTimer timer;
    timer.start();
    while (service.d->updater.isRunning() && timer.elapsed() < 60000)
        QTest::qWait(10);
    return !service.d->updater.isRunning();
}

bool tst_ZNAvCtlSettings::seed(avtest::Service& service, const QJsonObject& extra)
{
    QJsonObject settings{{"datadir", service.dataDir}, {"enabled", 1}, {"threads", 2}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        settings.insert(it.key(), it.value());
    return service.call("antivirus_settings_save", settings).value("err").toInt() == 0
        && waitUpdaterIdle(service);
}

// Each command's help comes from its own parser: it names the command,
// says what it does, and lists only the command's own options.
void tst_ZNAvCtlSettings::everyCommandHasItsOwnHelp()
{
    QSet<QByteArray> texts;
    for (const QString& command : commands) {
        const Run run = znavctl({command, "--help"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.err.isEmpty(), run.err.constData());
        QVERIFY2(run.out.startsWith("Usage: znavctl [global options] " + command.toUtf8()),
                 run.out.constData());
        QVERIFY2(run.out.contains("--json"), run.out.constData());
        QVERIFY2(!run.out.contains("--socket"), run.out.constData()); // a global option
        texts.insert(run.out);
    }
    QCOMPARE(texts.size(), commands.size());

    QVERIFY(znavctl({"scan", "--help"}).out.contains("--wait"));
    QVERIFY(znavctl({"logs", "--help"}).out.contains("--page <N>"));
    QVERIFY(znavctl({"update", "--help"}).out.contains("--status"));
    const Run schedule = znavctl({"schedule", "--help"});
    QVERIFY(schedule.out.contains("--time <HH:MM>") && schedule.out.contains("--day <D>")
            && schedule.out.contains("--scope <S>"));
    QVERIFY(znavctl({"settings", "--help"}).out.contains("schedule.hour"));

    // The program's help lists every command.
    const Run all = znavctl({"--help"});
    QCOMPARE(all.exitCode, 0);
    for (const QString& command : commands)
        QVERIFY2(all.out.contains("\n  " + command.toUtf8()), qPrintable(command));
    QVERIFY(all.out.contains("Exit status"));
}

void tst_ZNAvCtlSettings::helpBeforeTheCommandWorksToo()
{
    const Run before = znavctl({"--help", "schedule"});
    QCOMPARE(before.exitCode, 0);
    QCOMPARE(before.out, znavctl({"schedule", "--help"}).out);
    // -h is the short form.
    QCOMPARE(znavctl({"restore", "-h"}).out, znavctl({"restore", "--help"}).out);
}

void tst_ZNAvCtlSettings::versionIsPrinted()
{
    const Run run = znavctl({"--version"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QByteArray("znavctl 1.0\n"));
    QVERIFY(run.err.isEmpty());
}

// set changes only the keys named: the rest of the stored settings,
// unknown keys included, survive the read-modify-write.
void tst_ZNAvCtlSettings::settingsRoundTrip()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(seed(service, {{"note", "kept"}, {"enabled", 0}}));
    const QString otherDir = service.root.path() + "/data2";
    QVERIFY(QDir().mkpath(otherDir));

    Run run =
        znavctl({"--socket", service.socketName, "settings", "set", "threads=3", "enabled=yes",
                 "datadir=" + otherDir, "vdbauto=off", "schedule.hour=4", "schedule.minute=5"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.err.isEmpty(), run.err.constData());
    QVERIFY2(run.out.startsWith("saved: threads=3 enabled=1 datadir="), run.out.constData());

    const QJsonObject stored = settingsFile(service);
    QCOMPARE(stored.value("threads").toInt(), 3);
    QCOMPARE(stored.value("enabled").toInt(), 1);
    QCOMPARE(stored.value("vdbauto").toInt(), 0);
    QCOMPARE(stored.value("datadir").toString(), otherDir);
    QCOMPARE(stored.value("note").toString(), QStringLiteral("kept"));
    QCOMPARE(stored.value("schedule").toObject().value("hour").toInt(), 4);
    QCOMPARE(stored.value("schedule").toObject().value("minute").toInt(), 5);

    // One key more: everything else stays.
    QVERIFY(waitUpdaterIdle(service));
    run = znavctl({"--socket", service.socketName, "settings", "set", "threads=6"});
    QCOMPARE(run.exitCode, 0);
    const QJsonObject again = settingsFile(service);
    QCOMPARE(again.value("threads").toInt(), 6);
    QCOMPARE(again.value("enabled").toInt(), 1);
    QCOMPARE(again.value("note").toString(), QStringLiteral("kept"));
    QCOMPARE(again.value("schedule").toObject().value("hour").toInt(), 4);

    run = znavctl({"--socket", service.socketName, "settings"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.out.contains("enabled:    yes\n"), run.out.constData());
    QVERIFY2(run.out.contains("threads:    6\n"), run.out.constData());
    QVERIFY2(run.out.contains("datadir:    " + QFile::encodeName(otherDir) + "\n"),
             run.out.constData());

    run = znavctl({"--socket", service.socketName, "settings", "--json"});
    QCOMPARE(run.exitCode, 0);
    const QJsonObject shown = QJsonDocument::fromJson(run.out).object().value("results").toObject();
    QCOMPARE(shown.value("threads").toInt(), 6);
    QCOMPARE(shown.value("note").toString(), QStringLiteral("kept"));
}

void tst_ZNAvCtlSettings::refusedValuesNeverReachTheService_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("message");

    QTest::newRow("hour 25") << QStringList{"settings", "set", "schedule.hour=25"}
                             << QByteArray("settings: schedule.hour=25 refused: schedule.hour "
                                           "takes a whole number from 0 to 23");
    QTest::newRow("threads 0") << QStringList{"settings", "set", "threads=4", "threads=0"}
                               << QByteArray("threads=0 refused: threads takes a whole number "
                                             "from 1 to 256");
    QTest::newRow("enabled maybe") << QStringList{"settings", "set", "enabled=maybe"}
                                   << QByteArray("enabled=maybe refused: enabled takes yes or no");
    QTest::newRow("datadir missing")
        << QStringList{"settings", "set", "datadir=/nonexistent/av"}
        << QByteArray("datadir=/nonexistent/av refused: datadir takes an existing directory");
    QTest::newRow("unknown key") << QStringList{"settings", "set", "hour=3"}
                                 << QByteArray("unknown setting hour (settable: enabled, ");
    QTest::newRow("no equals") << QStringList{"settings", "set", "threads"}
                               << QByteArray("threads is not KEY=VALUE");
    QTest::newRow("set nothing") << QStringList{"settings", "set"}
                                 << QByteArray("set needs KEY=VALUE");
    QTest::newRow("time 25:00")
        << QStringList{"schedule", "weekly", "--time", "25:00", "--day", "mon"}
        << QByteArray("--time 25:00 refused: give HH:MM, hours 0 to 23, minutes 0 to 59");
    QTest::newRow("time 03:60") << QStringList{"schedule", "daily", "--time", "03:60"}
                                << QByteArray("--time 03:60 refused");
    QTest::newRow("no time") << QStringList{"schedule", "daily"}
                             << QByteArray("daily needs --time HH:MM");
    QTest::newRow("weekly without day") << QStringList{"schedule", "weekly", "--time", "03:00"}
                                        << QByteArray("weekly needs --day with a weekday");
    QTest::newRow("weekday funday")
        << QStringList{"schedule", "weekly", "--time", "03:00", "--day", "funday"}
        << QByteArray("(not funday)");
    QTest::newRow("monthly day 32")
        << QStringList{"schedule", "monthly", "--time", "03:00", "--day", "32"}
        << QByteArray("monthly needs --day with a day of the month, 1 to 31 (not 32)");
    QTest::newRow("daily with day")
        << QStringList{"schedule", "daily", "--time", "03:00", "--day", "3"}
        << QByteArray("daily takes no --day");
    QTest::newRow("hourly") << QStringList{"schedule", "hourly"}
                            << QByteArray("unknown mode hourly");
    QTest::newRow("scope all") << QStringList{"schedule", "daily",   "--time",
                                              "03:00",    "--scope", "all"}
                               << QByteArray("--scope all refused: say overall or missions");
    QTest::newRow("off with time")
        << QStringList{"schedule", "off", "--time", "03:00"} << QByteArray("off takes no --time");
}

// A refused value exits 2 with one line naming the allowed values, and the
// stored settings stay as they were.
void tst_ZNAvCtlSettings::refusedValuesNeverReachTheService()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, message);
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(seed(service));
    const QByteArray before = KX2File::readAll(service.root.path() + "/etc/settings.json");

    const Run run = znavctl(QStringList{"--socket", service.socketName} + arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY(run.out.isEmpty());
    QVERIFY2(run.err.startsWith("znavctl: ") && run.err.contains(message), run.err.constData());
    QCOMPARE(run.err.count('\n'), 1);
    QCOMPARE(KX2File::readAll(service.root.path() + "/etc/settings.json"), before);
}

void tst_ZNAvCtlSettings::scheduleSetShowAndOff()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(seed(service));

    Run run = znavctl({"--socket", service.socketName, "schedule", "weekly", "--time", "03:30",
                       "--day", "sun", "--scope", "missions"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QByteArray("scheduled scan: weekly on Sunday at 03:30, every mission\n"));
    QJsonObject schedule = settingsFile(service).value("schedule").toObject();
    QCOMPARE(schedule.value("mode").toInt(), 2);
    QCOMPARE(schedule.value("hour").toInt(), 3);
    QCOMPARE(schedule.value("minute").toInt(), 30);
    QCOMPARE(schedule.value("week").toInt(), 7);
    QCOMPARE(schedule.value("scope").toInt(), 2);

    run = znavctl({"--socket", service.socketName, "schedule"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QByteArray("scheduled scan: weekly on Sunday at 03:30, every mission\n"));

    // Monthly on the 15th; the scope not given stays.
    run = znavctl(
        {"--socket", service.socketName, "schedule", "monthly", "--time", "23:59", "--day", "15"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QByteArray("scheduled scan: monthly on day 15 at 23:59, every mission\n"));
    schedule = settingsFile(service).value("schedule").toObject();
    QCOMPARE(schedule.value("mode").toInt(), 3);
    QCOMPARE(schedule.value("day").toInt(), 15);

    run = znavctl({"--socket", service.socketName, "schedule", "daily", "--time", "00:00",
                   "--scope", "overall"});
    QCOMPARE(run.out, QByteArray("scheduled scan: daily at 00:00, the overall path\n"));

    // Off keeps the rest, so switching back on needs only the mode.
    run = znavctl({"--socket", service.socketName, "schedule", "off"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QByteArray("scheduled scan: off\n"));
    schedule = settingsFile(service).value("schedule").toObject();
    QCOMPARE(schedule.value("mode").toInt(), 0);
    QCOMPARE(schedule.value("day").toInt(), 15);
    QCOMPARE(schedule.value("scope").toInt(), 1);
}

// 0 success; 1 the service refused, with its message; 2 no service or an
// unusable command line.
void tst_ZNAvCtlSettings::exitCodes()
{
    avtest::Service service;
    QVERIFY(service.start());
    QCOMPARE(znavctl({"--socket", service.socketName, "settings"}).exitCode, 0);

    // Without a work area the service refuses every save; its message is
    // what the user reads.
    Run refused = znavctl({"--socket", service.socketName, "schedule", "daily", "--time", "01:00"});
    QCOMPARE(refused.exitCode, 2);
    QCOMPARE(QString::fromUtf8(refused.err),
             QStringLiteral("znavctl: schedule failed: no work area is set (znavctl settings set "
                            "datadir=DIR) (err 9869: 没有设置工作区路径，请先进行设置)\n"));

    // A server without the antivirus methods refuses with its own message.
    QTemporaryDir dir;
    KX2LocalServer bare;
    QVERIFY(bare.start(dir.filePath("bare.sock")));
    Run run = znavctl({"--socket", bare.serverName(), "settings", "set", "threads=2"});
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(QString::fromUtf8(run.err),
             QStringLiteral("znavctl: settings failed: the service does not offer this method "
                            "(err 9885: 被调用的方法不存在: "
                            "antivirus_settings_load)\n"));
    run = znavctl({"--socket", bare.serverName(), "schedule"});
    QCOMPARE(run.exitCode, 2);

    run = znavctl({"--socket", dir.filePath("nobody.sock"), "--timeout", "2", "schedule"});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains("the service is not running"), run.err.constData());

    run = znavctl({"--frobnicate"});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains("Unknown option 'frobnicate'"), run.err.constData());
    run = znavctl({"settings", "get"});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains("settings: unknown action get"), run.err.constData());
}

QTEST_GUILESS_MAIN(tst_ZNAvCtlSettings)
#include "tst_znavctlsettings.moc"
