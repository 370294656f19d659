// The antivirus component inside the real service process: store creation
// and version check at start-up, left-over tasks, settings over the socket,
// the engine trace, the events' lines, and the stop during a scan. Needs build/bin/znantivirus and
// build/bin/znavctl (ZN_BIN_DIR).

#include <QtTest>

#include <QDeadlineTimer>
#include <QProcess>
#include <QThread>

#include <fcntl.h>
#include <grp.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "avtestsupport.h"
#include "kx2dbsqlite.h"
#include "kx2localserver.h"

namespace {

QString serviceBinary()
{
    return qEnvironmentVariable("ZN_BIN_DIR") + QStringLiteral("/znantivirus");
}

// A file under a raw name, which need not be UTF-8.
bool writeRaw(const QByteArray& path, const QByteArray& bytes)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const bool written =
        fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    if (fd >= 0)
        ::close(fd);
    return written;
}

QList<QByteArray> linesWith(const QByteArray& text, const QByteArray& part)
{
    QList<QByteArray> found;
    for (const QByteArray& line : text.split('\n'))
        if (line.contains(part))
            found << line;
    return found;
}

int modeOf(const QString& path)
{
    struct stat info
    {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777)
                                                                     : -1;
}

// The errno with which a child dropped to nobody fails to open `path` for
// reading; 0 when it succeeds.
int openErrorAsNobody(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0
            || ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(255);
        const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
        ::_exit(fd >= 0 ? 0 : errno & 0x7f);
    }
    int status = 0;
    if (child < 0 || ::waitpid(child, &status, 0) != child || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace

class tst_ZNProcess : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void firstStartCreatesStore();
    void restartDropsLeftOverTasks();
    void killDuringFirstStartsLeavesNoBrokenStore();
    void incompatibleStoreStopsStart_data();
    void incompatibleStoreStopsStart();
    void damagedStoreNamesTheRecovery();
    void settingsOverSocket();
    void protectionGapsAreSaidWhenTheyChange();
    void corruptVirusDatabaseIsTraced();
    void eventsArePrintedWhateverTheDebugBits();
    void eventLevelsReachTheJournal();
    void alertCommandRunsForEachDetection();
    void fileOverALimitIsReported();
    void scanTemporaryFilesStayInMemory();
    void hostileFileNamesStayOnTheirLine();
    void recordsAreHiddenFromOtherUsers();
    void stopSignalDuringLargeScanEndsCleanly();

private:
    void writeConfig(int debuglevel = 0);
    // With `journal`, standard output is announced as the journal's stream
    // (JOURNAL_STREAM, as systemd sets it).
    bool startService(bool journal = false);
    // The work area `dataDir` with the test signature, settings that use
    // it with one worker, and the event log in a file: that file's path,
    // or empty when something could not be written.
    QString prepareScanWithLog(const QString& dataDir);
    int request(const QString& cmd, const QJsonObject& params);
    int startScan(const QString& path);
    void stopService();
    bool waitForOutput(const QByteArray& text, int ms = 60000);
    QString databasePath() const { return root->path() + "/etc/antivirus.db"; }

    QScopedPointer<QTemporaryDir> root;
    QScopedPointer<QProcess> process;
    QString configPath;
    QString socketName;
    QByteArray output;
};

void tst_ZNProcess::init()
{
    QVERIFY2(QFileInfo(serviceBinary()).isExecutable(), qPrintable(serviceBinary()));
    root.reset(new QTemporaryDir());
    QVERIFY(root->isValid());
    configPath = root->path() + "/etc/config.json";
    socketName = root->path() + "/run/antivirus.sock";
    writeConfig();
}

void tst_ZNProcess::cleanup()
{
    if (process && process->state() != QProcess::NotRunning) {
        process->kill();
        process->waitForFinished(10000);
    }
    process.reset();
    root.reset();
}

void tst_ZNProcess::writeConfig(int debuglevel)
{
    QJsonObject config = avtest::componentConfig(root->path());
    config["lpcid"] = socketName;
    config["debugging"] = false;
    config["debuglevel"] = debuglevel;
    QVERIFY(avtest::writeJson(configPath, config));
}

bool tst_ZNProcess::startService(bool journal)
{
    output.clear();
    process.reset(new QProcess());
    process->setProcessChannelMode(QProcess::MergedChannels);
    if (journal)
        process->start("sh",
                       {"-c",
                        "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/1) exec \"$0\" --cfg \"$1\"",
                        serviceBinary(), configPath});
    else
        process->start(serviceBinary(), {"--cfg", configPath});
    return process->waitForStarted(20000);
}

// Reads the process's output until it holds `text`, the process ends or the
// deadline passes.
bool tst_ZNProcess::waitForOutput(const QByteArray& text, int ms)
{
    QDeadlineTimer deadline(ms);
    while (!output.contains(text)) {
        if (deadline.hasExpired())
            return false;
        if (process->state() == QProcess::NotRunning) {
            output += process->readAll();
            return output.contains(text);
        }
        process->waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        output += process->readAll();
    }
    return true;
}

int tst_ZNProcess::request(const QString& cmd, const QJsonObject& params)
{
    QJsonObject reply;
    KX2LocalServer::localRequest(socketName, QJsonObject{{"cmd", cmd}, {"params", params}}, &reply,
                                 20);
    return reply.value("err").toInt(-1);
}

// Starts a scan of `path` once the engine has loaded; the last reply's err.
int tst_ZNProcess::startScan(const QString& path)
{
    QDeadlineTimer deadline(60000);
    int err = -1;
    while ((err = request("antivirus_scan_start", {{"path", path}})) == 9983
           && !deadline.hasExpired())
        process->waitForReadyRead(20); // the engine is still loading
    return err;
}

QString tst_ZNProcess::prepareScanWithLog(const QString& dataDir)
{
    const QString logFile = root->path() + "/log/antivirus.log";
    QJsonObject config = avtest::readJson(configPath);
    config["logfile"] = logFile;
    const bool written =
        avtest::writeFile(dataDir + "/virusdb/test.hdb", avtest::eicarHdbLine())
        && avtest::writeJson(root->path() + "/etc/settings.json",
                             QJsonObject{{"enabled", 1}, {"datadir", dataDir}, {"threads", 1}})
        && avtest::writeJson(configPath, config);
    return written ? logFile : QString();
}

void tst_ZNProcess::stopService()
{
    process->terminate();
    QVERIFY(process->waitForFinished(30000));
    QCOMPARE(process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(process->exitCode(), 0);
}

void tst_ZNProcess::firstStartCreatesStore()
{
    QVERIFY(!QFileInfo::exists(databasePath()));
    QVERIFY(startService());
    QVERIFY2(waitForOutput("lpcID: "), output.constData());

    KX2DBSqlite db;
    QVERIFY(db.openOnly(databasePath()));
    int changes = 0, lastRowId = 0;
    QList<QJsonObject> rows;
    QVERIFY(db.exec(changes, lastRowId, rows,
                    "SELECT cfg_key AS k, cfg_value AS v FROM sys_configure ORDER BY cfg_no;"));
    QCOMPARE(rows.size(), 7);
    QCOMPARE(rows.at(3), QJsonObject({{"k", "Database.Id"}, {"v", "Q7ANTIVIRUS"}}));
    QCOMPARE(rows.at(5), QJsonObject({{"k", "Database.Version"}, {"v", "1"}}));
    for (const char* table : {"t_mission", "t_task", "t_log", "t_infectes"})
        QCOMPARE(avtest::rowCount(db, table), 0);
    db.close();
    stopService();
}

void tst_ZNProcess::restartDropsLeftOverTasks()
{
    QVERIFY(startService());
    QVERIFY2(waitForOutput("lpcID: "), output.constData());
    stopService();

    {
        KX2DBSqlite db;
        QVERIFY(db.openOnly(databasePath()));
        int changes = 0, lastRowId = 0;
        QVERIFY(db.exec(changes, lastRowId,
                        "INSERT INTO t_task (tsk_path) VALUES ('/a');"
                        "INSERT INTO t_task (tsk_path) VALUES ('/b');"
                        "INSERT INTO t_mission (msn_path) VALUES ('/a/');"
                        "INSERT INTO t_log (log_path, log_state) VALUES ('/a/', 9);"
                        "INSERT INTO t_infectes (ift_path) VALUES ('/a/x');"));
        QCOMPARE(avtest::rowCount(db, "t_task"), 2);
        db.close();
    }

    QVERIFY(startService());
    QVERIFY2(waitForOutput("lpcID: "), output.constData());
    KX2DBSqlite db;
    QVERIFY(db.openOnly(databasePath()));
    QCOMPARE(avtest::rowCount(db, "t_task"), 0);
    QCOMPARE(avtest::rowCount(db, "t_mission"), 1);
    QCOMPARE(avtest::rowCount(db, "t_log"), 1);
    QCOMPARE(avtest::rowCount(db, "t_infectes"), 1);
    db.close();
    stopService();
}

void tst_ZNProcess::killDuringFirstStartsLeavesNoBrokenStore()
{
    const QDir etc(root->path() + "/etc");
    for (int round = 0; round < 5; ++round) {
        QFile::remove(databasePath());
        QVERIFY(startService());
        // Kill as soon as the store or its temporary file shows up, a
        // little later into its creation every round.
        QDeadlineTimer deadline(20000);
        while (etc.entryList({"*antivirus.db*"}, QDir::Files | QDir::Hidden).isEmpty()
               && !deadline.hasExpired() && process->state() == QProcess::Running) {}
        QThread::usleep(static_cast<unsigned long>(round) * 2000);
        ::kill(pid_t(process->processId()), SIGKILL);
        QVERIFY(process->waitForFinished(10000));

        // Every later start succeeds on a whole store.
        QVERIFY(startService());
        QVERIFY2(waitForOutput("lpcID: "), output.constData());
        stopService();
        KX2DBSqlite db;
        QVERIFY(db.openOnly(databasePath()));
        QCOMPARE(avtest::rowCount(db, "sys_configure"), 7);
        db.close();
    }
    // Nothing of the killed creations is left beside the store.
    QCOMPARE(etc.entryList({"*antivirus.db*"}, QDir::Files | QDir::Hidden),
             QStringList{"antivirus.db"});
}

void tst_ZNProcess::incompatibleStoreStopsStart_data()
{
    QTest::addColumn<QString>("tamper");
    QTest::addColumn<QByteArray>("trace");
    QTest::newRow("version 2")
        << "UPDATE sys_configure SET cfg_value = '2' WHERE cfg_key = 'Database.Version';"
        << QByteArray("数据库当前版本号不兼容: 2");
    QTest::newRow("other id")
        << "UPDATE sys_configure SET cfg_value = 'Q7OTHER' WHERE cfg_key = 'Database.Id';"
        << QByteArray("数据库版本号纪录不存在");
}

void tst_ZNProcess::incompatibleStoreStopsStart()
{
    QFETCH(QString, tamper);
    QFETCH(QByteArray, trace);
    QVERIFY(startService());
    QVERIFY2(waitForOutput("lpcID: "), output.constData());
    stopService();
    {
        KX2DBSqlite db;
        int changes = 0, lastRowId = 0;
        QVERIFY(db.openOnly(databasePath()));
        QVERIFY(db.exec(changes, lastRowId, tamper));
        db.close();
    }

    writeConfig(0); // the reason shows without any trace bit
    QVERIFY(startService());
    QVERIFY(process->waitForFinished(30000));
    output += process->readAll();
    QCOMPARE(process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(process->exitCode(), 1);
    const QString text = QString::fromUtf8(output);
    QVERIFY2(text.contains(QStringLiteral("系统配置文装载失败: ") + configPath), qPrintable(text));
    QVERIFY2(output.contains(trace), output.constData());
    QVERIFY(!output.contains("lpcID: "));
}

void tst_ZNProcess::damagedStoreNamesTheRecovery()
{
    // Not an SQLite file at all: what a disk error or a stray copy leaves.
    QVERIFY(avtest::writeFile(databasePath(), QByteArray(8192, 'x')));

    writeConfig(0);
    QVERIFY(startService());
    QVERIFY(process->waitForFinished(30000));
    output += process->readAll();
    QCOMPARE(process->exitCode(), 1);
    const QString text = QString::fromUtf8(output);
    QVERIFY2(text.contains(QStringLiteral("系统配置文装载失败: ") + configPath), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("file is not a database")), qPrintable(text));
    // What to do comes with the reason.
    QVERIFY2(
        text.contains(QStringLiteral("\"Recovery from a damaged store\" in docs/operations.md")),
        qPrintable(text));
    // The damaged file is left for the administrator.
    QCOMPARE(QFileInfo(databasePath()).size(), qint64(8192));
}

// What keeps the service from protecting is said at start-up, again when
// it changes, and reported in the progress of every peer's status.
void tst_ZNProcess::protectionGapsAreSaidWhenTheyChange()
{
    const auto warnings = [this] {
        QJsonObject reply;
        KX2LocalServer::localRequest(socketName, {{"cmd", "antivirus_scan_running"}}, &reply, 20);
        QStringList gaps;
        for (const QJsonValue& gap : reply["results"].toObject()["warnings"].toArray())
            gaps << gap.toString();
        return gaps;
    };
    const auto save = [this](const QJsonObject& settings) {
        QJsonObject reply;
        KX2LocalServer::localRequest(
            socketName, {{"cmd", "antivirus_settings_save"}, {"params", settings}}, &reply, 20);
        return reply.value("err").toInt(-1);
    };
    const QString noWorkArea = "no work area is set (settings: datadir)";
    const QString noSchedule = "no scheduled scan (settings: schedule)";
    const QString noDatabase =
        "no virus database is loaded: the work area holds none yet (znavctl update)";
    QVERIFY(startService());
    QVERIFY2(waitForOutput("[unprotected] " + noWorkArea.toUtf8() + "\n"), output.constData());
    QVERIFY2(waitForOutput("[unprotected] " + noSchedule.toUtf8() + "\n"), output.constData());
    QCOMPARE(warnings(), QStringList({noWorkArea, noSchedule}));

    // A work area without a database, and a daily scan.
    const QString dataDir = root->path() + "/data";
    QVERIFY(QDir().mkpath(dataDir));
    QCOMPARE(save({{"enabled", 1},
                   {"datadir", dataDir},
                   {"schedule", QJsonObject{{"mode", 1}, {"hour", 3}, {"scope", 1}}}}),
             0);
    QVERIFY2(waitForOutput("[protected] resolved: " + noWorkArea.toUtf8() + "\n"),
             output.constData());
    QVERIFY2(waitForOutput("[unprotected] " + noDatabase.toUtf8() + "\n"), output.constData());
    QVERIFY(output.contains("[protected] resolved: " + noSchedule.toUtf8() + "\n"));
    QCOMPARE(warnings(), QStringList({noDatabase}));

    // With a set in the work area, the update's reload closes the last gap
    // (the download itself fails: the mirror is not there).
    QVERIFY(avtest::writeFile(dataDir + "/virusdb/test.hdb", avtest::eicarHdbLine()));
    QCOMPARE(request("antivirus_updvdb_start", {}), 0);
    QVERIFY2(waitForOutput("[protected] resolved: " + noDatabase.toUtf8() + "\n"),
             output.constData());
    QCOMPARE(warnings(), QStringList());
    QCOMPARE(output.count("[unprotected] "), 3);
    stopService();
}

void tst_ZNProcess::settingsOverSocket()
{
    const QString dataDir = root->path() + "/data";
    QVERIFY(QDir().mkpath(dataDir));
    QVERIFY(startService());
    QVERIFY2(waitForOutput("lpcID: "), output.constData());

    QJsonObject reply;
    const QJsonObject settings{
        {"enabled", true}, {"datadir", " " + dataDir + " "}, {"threads", "3"}, {"note", "kept"}};
    QVERIFY(KX2LocalServer::localRequest(
        socketName, QJsonObject{{"cmd", "antivirus_settings_save"}, {"params", settings}}, &reply,
        20));
    QCOMPARE(reply.value("err").toInt(), 0);

    const QJsonObject written = avtest::readJson(root->path() + "/etc/settings.json");
    QCOMPARE(written.value("datadir").toString(), dataDir);
    QCOMPARE(written.value("enabled").toInt(), 1);
    QCOMPARE(written.value("threads").toInt(), 3);
    QCOMPARE(written.value("note").toString(), QStringLiteral("kept"));

    reply = QJsonObject();
    QVERIFY(KX2LocalServer::localRequest(
        socketName, QJsonObject{{"cmd", "antivirus_settings_load"}}, &reply, 20));
    QCOMPARE(reply.value("err").toInt(), 0);
    QCOMPARE(reply.value("results").toObject(), written);
    stopService();
}

void tst_ZNProcess::corruptVirusDatabaseIsTraced()
{
    const QString dataDir = root->path() + "/data";
    QVERIFY(avtest::writeFile(dataDir + "/virusdb/broken.hdb", "not a signature line\n"));
    QVERIFY(avtest::writeJson(root->path() + "/etc/settings.json",
                              QJsonObject{{"enabled", 1}, {"datadir", dataDir}}));
    writeConfig(0x02);
    QVERIFY(startService());
    // The start-up load runs on the update thread and reports the directory.
    QVERIFY2(
        waitForOutput(QByteArray("病毒库信息装载失败: ") + QFile::encodeName(dataDir + "/virusdb")),
        output.constData());
    stopService();
}

// With debuglevel 0 no trace is printed, yet a task's start and end, its
// detection and the moves into and out of the quarantine each give a line.
void tst_ZNProcess::eventsArePrintedWhateverTheDebugBits()
{
    const QString dataDir = root->path() + "/data";
    const QString infected = root->path() + "/scan/inbox/evil.doc";
    QVERIFY(avtest::writeFile(infected, avtest::eicar()));
    // The events go to a log file as well.
    const QString logFile = prepareScanWithLog(dataDir);
    QVERIFY(!logFile.isEmpty());
    QVERIFY(startService());
    QVERIFY2(waitForOutput("lpcID: "), output.constData());
    QCOMPARE(startScan(root->path() + "/scan"), 0);
    QVERIFY2(waitForOutput("[quarantine] task=1 path=" + infected.toUtf8() + " -> "
                           + dataDir.toUtf8() + "/.qra/evil.doc"),
             output.constData());
    QVERIFY2(
        waitForOutput("[task-end] task=1 mission=0 state=9 total=1 scanned=1 infected=1 seconds="),
        output.constData());
    QVERIFY(
        output.contains("[task-start] task=1 mission=0 path=" + root->path().toUtf8() + "/scan\n"));
    QVERIFY(output.contains(
        "[detect] task=1 mission=0 virus=Test.Sig.UNOFFICIAL path=" + infected.toUtf8() + "\n"));
    QCOMPARE(request("antivirus_quarantined_restore", {{"iftnos", QJsonArray{1}}}), 0);
    QVERIFY2(
        waitForOutput("[restore] " + dataDir.toUtf8() + "/.qra/evil.doc -> " + infected.toUtf8()),
        output.constData());
    QVERIFY(!output.contains("查杀毒完成")); // the traces themselves stay off
    QVERIFY(output.contains("[engine] signatures=1 set="));
    stopService();
    output += process->readAll();
    QVERIFY(output.contains("[stop] pid="));
    const QByteArray logged = avtest::readBytes(logFile);
    for (const char* event :
         {"[start] pid=", "[engine] signatures=1", "[detect] task=1", "[quarantine] task=1",
          "[task-end] task=1", "[restore] ", "[stop] pid="})
        QVERIFY2(logged.contains(event), logged.constData());
    // Levels: in the log file as words; no journal prefixes on a console.
    QVERIFY2(logged.contains(" Warn antivirus [detect] task=1"), logged.constData());
    QVERIFY2(logged.contains(" Info antivirus [task-end] task=1"), logged.constData());
    QVERIFY(!output.contains("<4>"));
}

// Started by systemd, standard output is the journal: every event line
// starts with its syslog level, so that journalctl -p warning shows the
// detections.
void tst_ZNProcess::eventLevelsReachTheJournal()
{
    const QString dataDir = root->path() + "/data";
    const QString infected = root->path() + "/scan/evil.doc";
    QVERIFY(avtest::writeFile(infected, avtest::eicar()));
    QVERIFY(!prepareScanWithLog(dataDir).isEmpty());
    QVERIFY(startService(true));
    QVERIFY2(waitForOutput("lpcID: "), output.constData());
    QCOMPARE(startScan(root->path() + "/scan"), 0);
    QVERIFY2(waitForOutput("\n<6>[task-end] task=1 mission=0 state=9"), output.constData());
    QVERIFY2(waitForOutput("\n<5>[quarantine] task=1 path=" + infected.toUtf8()),
             output.constData());
    QVERIFY(output.contains("\n<6>[start] pid="));
    QVERIFY(output.contains("\n<5>[engine] signatures=1"));
    QVERIFY(output.contains("\n<4>[detect] task=1 mission=0 virus=Test.Sig.UNOFFICIAL path="
                            + infected.toUtf8() + "\n"));
    stopService();
}

// The administrator's command runs once per detection, without a shell,
// with the details in its environment; one that hangs is killed at its time
// limit while the scan goes on.
void tst_ZNProcess::alertCommandRunsForEachDetection()
{
    const QString dataDir = root->path() + "/data";
    const QString hook = root->path() + "/hook.sh";
    const QString record = root->path() + "/hook.out";
    QVERIFY(avtest::writeFile(hook,
                              "#!/bin/sh\n"
                              "case \"$ZN_PATH\" in *slow*) exec sleep 600;; esac\n"
                              "printf '%s|%s|%s|%s|%s|%s\\n' \"$ZN_EVENT\" \"$ZN_PATH\" "
                              "\"$ZN_VIRUS\" \"$ZN_ACTION\" \"$ZN_QUARANTINED\" \"$ZN_TASK\" "
                              ">> \"$1\"\n"));
    QVERIFY(QFile::setPermissions(
        hook, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    const QString slow = root->path() + "/scan/a-slow.doc";
    const QString plain = root->path() + "/scan/b; rm -rf $HOME.doc";
    QVERIFY(avtest::writeFile(slow, avtest::eicar()));
    QVERIFY(avtest::writeFile(plain, avtest::eicar()));
    QVERIFY(!prepareScanWithLog(dataDir).isEmpty());
    QJsonObject config = avtest::readJson(configPath);
    config["alertcommand"] = QJsonArray{hook, record};
    config["alerttimeout"] = 2;
    QVERIFY(avtest::writeJson(configPath, config));
    QVERIFY(startService());
    QVERIFY2(waitForOutput("lpcID: "), output.constData());
    QCOMPARE(startScan(root->path() + "/scan"), 0);
    QVERIFY2(waitForOutput("[hook-failed] event=detect killed at its time limit of 2 s"),
             output.constData());
    // The scan did not wait for the command.
    QVERIFY(output.indexOf("[task-end] task=1") >= 0);
    QVERIFY(output.indexOf("[task-end] task=1") < output.indexOf("[hook-failed]"));
    QTRY_VERIFY_WITH_TIMEOUT(avtest::readBytes(record).contains('\n'), 10000);
    QCOMPARE(avtest::readBytes(record),
             "detect|" + plain.toUtf8() + "|Test.Sig.UNOFFICIAL|quarantined|" + dataDir.toUtf8()
                 + "/.qra/b; rm -rf $HOME.doc|1\n");
    QCOMPARE(output.count("[hook-failed]"), 1);
    stopService();

    // A command line for a shell is refused at start-up, saying why.
    config["alertcommand"] = "mail -s virus root";
    QVERIFY(avtest::writeJson(configPath, config));
    QVERIFY(startService());
    QVERIFY(process->waitForFinished(30000));
    QCOMPARE(process->exitCode(), 1);
    output += process->readAll();
    QVERIFY2(output.contains("alertcommand must be an array"), output.constData());
}

// A file over a limit is reported by the real process: its event line and
// the task's count.
void tst_ZNProcess::fileOverALimitIsReported()
{
    const QString dataDir = root->path() + "/data";
    const QString big = root->path() + "/scan/big.iso";
    QVERIFY(avtest::writeFile(big, QByteArray(2 * 1024 * 1024, 'x')));
    QVERIFY(!prepareScanWithLog(dataDir).isEmpty());
    QVERIFY(avtest::writeJson(root->path() + "/etc/settings.json",
                              QJsonObject{{"enabled", 1},
                                          {"datadir", dataDir},
                                          {"threads", 1},
                                          {"maxfilesize", 1}}));
    QVERIFY(startService());
    QVERIFY2(waitForOutput("lpcID: "), output.constData());
    QCOMPARE(startScan(root->path() + "/scan"), 0);
    QVERIFY2(waitForOutput("[limited] task=1 mission=0 reason=Heuristics.Limits.Exceeded.MaxFileSize "
                           "path=" + big.toUtf8() + "\n"),
             output.constData());
    QVERIFY2(waitForOutput("infected=0 seconds="), output.constData());
    QVERIFY(waitForOutput(" skipped=0 limited=1 path="));
    stopService();
}

// Started by hand as root with no "tmpdir", the service mounts a tmpfs of
// its own for libclamav's temporary files, removes it when it stops, and
// the next start removes one that a killed process left.
void tst_ZNProcess::scanTemporaryFilesStayInMemory()
{
    if (::geteuid() != 0)
        QSKIP("only root mounts");
    QJsonObject config = avtest::readJson(configPath);
    config.remove("tmpdir");
    QVERIFY(avtest::writeJson(configPath, config));
    QVERIFY(!prepareScanWithLog(root->path() + "/data").isEmpty());
    QVERIFY(avtest::writeFile(root->path() + "/scan/a.txt", "clean"));
    const auto engineTempDir = [this] {
        QDeadlineTimer deadline(60000);
        QJsonObject reply;
        do {
            KX2LocalServer::localRequest(socketName, {{"cmd", "antivirus_updvdb_running"}}, &reply,
                                         20);
            const QJsonObject engine = reply["results"].toObject()["engine"].toObject();
            if (engine["loaded"].toInt() == 1)
                return engine["tmpdir"].toString();
            process->waitForReadyRead(50);
        } while (!deadline.hasExpired());
        return QString();
    };
    const auto isOwnTmpfs = [](const QString& path) {
        struct statfs fs;
        struct stat info;
        return ::statfs(QFile::encodeName(path).constData(), &fs) == 0 && fs.f_type == TMPFS_MAGIC
            && ::stat(QFile::encodeName(path).constData(), &info) == 0
            && (info.st_mode & 0777) == 0700 && info.st_uid == 0;
    };

    QVERIFY(startService());
    const QString killed = engineTempDir();
    QCOMPARE(killed, "/run/znantivirus-scantmp." + QString::number(process->processId()));
    QVERIFY(isOwnTmpfs(killed));
    process->kill();
    QVERIFY(process->waitForFinished(10000));
    QVERIFY(QFileInfo::exists(killed));

    QVERIFY(startService());
    const QString stopped = engineTempDir();
    QVERIFY(isOwnTmpfs(stopped));
    QVERIFY(!QFileInfo::exists(killed));
    QCOMPARE(startScan(root->path() + "/scan"), 0);
    QVERIFY2(waitForOutput("infected=0 seconds="), output.constData());
    stopService();
    QVERIFY(!QFileInfo::exists(stopped));
}

// File names are the users'. One carries a line that imitates an event
// and a terminal colour sequence, one a byte that is not UTF-8: each
// detection stays one event line, escaped, on the console and in the log
// file; znavctl's table shows the names escaped on one row each, while the
// store and the JSON reply keep the name as it is.
void tst_ZNProcess::hostileFileNamesStayOnTheirLine()
{
    const QString dataDir = root->path() + "/data";
    const QString logFile = prepareScanWithLog(dataDir);
    QVERIFY(!logFile.isEmpty());
    const QByteArray forged = "2026-12-08 06:00:00 Info antivirus [task-end] task=77 mission=0 "
                              "state=9 total=1 scanned=1 infected=0";
    const QByteArray dir = QFile::encodeName(root->path() + "/scan");
    QVERIFY(QDir().mkpath(QFile::decodeName(dir)));
    const QByteArray hostile = dir + "/a.com\n" + forged + "\x1b[31m病毒\\x41";
    const QByteArray foreign = dir + "/b\xff.com";
    QVERIFY(writeRaw(hostile, avtest::eicar()));
    QVERIFY(writeRaw(foreign, avtest::eicar()));
    const QByteArray shownHostile = dir + "/a.com\\n" + forged + "\\x1B[31m病毒\\\\x41";
    const QByteArray shownForeign = dir + "/b\\xFF.com";

    QVERIFY(startService());
    QVERIFY2(waitForOutput("lpcID: "), output.constData());
    QCOMPARE(startScan(QFile::decodeName(dir)), 0);
    QVERIFY2(waitForOutput("[task-end] task=1 mission=0 state=9 total=2 scanned=2 infected=2"),
             output.constData());
    // Each record is settled before its [quarantine] line.
    QVERIFY2(waitForOutput("[quarantine] task=1 path=" + shownHostile + " -> "),
             output.constData());
    QVERIFY2(waitForOutput("[quarantine] task=1 path=" + shownForeign + " -> "),
             output.constData());
    const QByteArray detect = "[detect] task=1 mission=0 virus=Test.Sig.UNOFFICIAL path=";
    for (const QByteArray& logged : {output, avtest::readBytes(logFile)}) {
        QVERIFY2(!logged.contains('\x1b') && !logged.contains("\n" + forged), logged.constData());
        QCOMPARE(linesWith(logged, "task=77").size(), 2); // inside [detect] and [quarantine]
        // One task ended: one line whose event (behind the time) is [task-end].
        QCOMPARE(QString::fromUtf8(logged)
                     .count(QRegularExpression(
                         "^[0-9-]+ [0-9:]+ (Info antivirus )?\\[task-end\\]",
                         QRegularExpression::MultilineOption)),
                 1);
        QVERIFY2(logged.contains(detect + shownHostile + "\n"), logged.constData());
        QVERIFY2(logged.contains(detect + shownForeign + "\n"), logged.constData());
    }

    auto znavctl = [this](const QStringList& arguments) {
        QProcess client;
        client.start(qEnvironmentVariable("ZN_BIN_DIR") + "/znavctl",
                     QStringList{"--socket", socketName} + arguments);
        return client.waitForFinished(30000) && client.exitCode() == 0
            ? client.readAllStandardOutput()
            : QByteArray();
    };
    const QByteArray table = znavctl({"quarantine"});
    QVERIFY2(!table.contains('\x1b'), table.constData());
    const QList<QByteArray> rows = table.split('\n');
    QCOMPARE(rows.size(), 5); // header, two records, count, and the end
    QCOMPARE(rows.value(3), QByteArray("(2 newest, of 2 in all)"));
    QVERIFY2(linesWith(table, shownHostile).size() == 1, table.constData());
    QVERIFY2(linesWith(table, "task=77").size() == 1, table.constData());
    // The reply keeps the stored name; only the table escapes it.
    QJsonParseError parsed;
    const QJsonDocument reply = QJsonDocument::fromJson(znavctl({"--json", "quarantine"}), &parsed);
    QCOMPARE(parsed.error, QJsonParseError::NoError);
    QStringList paths;
    for (const QJsonValue& record : reply.object()["results"].toObject()["records"].toArray())
        paths << record.toObject()["path"].toString();
    QVERIFY2(paths.contains(QString::fromUtf8(hostile)), qPrintable(paths.join(" | ")));
    stopService();
}

// The store names infected files inside directories only root may enter,
// and the settings, the description and the event log tell about the
// appliance: started under a umask that takes nothing away, with the
// settings and the description an earlier version left 0644, the service
// still keeps every file it writes its owner's only, and another user
// cannot read them although every directory above lets him through.
void tst_ZNProcess::recordsAreHiddenFromOtherUsers()
{
    const QString dataDir = root->path() + "/data";
    const QString etc = root->path() + "/etc";
    QVERIFY(avtest::writeFile(root->path() + "/scan/private/evil.doc", avtest::eicar()));
    const QString logFile = prepareScanWithLog(dataDir);
    QVERIFY(!logFile.isEmpty());
    QVERIFY(avtest::writeJson(etc + "/virusdb.json", QJsonObject{{"items", QJsonArray()}}));
    for (const QString& path : {etc + "/settings.json", etc + "/virusdb.json"})
        QCOMPARE(::chmod(QFile::encodeName(path).constData(), 0644), 0);
    for (const QString& dir : {root->path(), etc, dataDir})
        QCOMPARE(::chmod(QFile::encodeName(dir).constData(), 0755), 0);

    const mode_t oldMask = ::umask(0);
    const bool started = startService();
    ::umask(oldMask);
    QVERIFY(started);
    QVERIFY2(waitForOutput("lpcID: "), output.constData());
    QDeadlineTimer deadline(60000);
    int err = -1;
    QJsonObject reply;
    while ((KX2LocalServer::localRequest(
                socketName,
                QJsonObject{{"cmd", "antivirus_scan_start"},
                            {"params", QJsonObject{{"path", root->path() + "/scan"}}}},
                &reply, 20),
            err = reply.value("err").toInt(-1))
               == 9983
           && !deadline.hasExpired())
        process->waitForReadyRead(20); // the engine is still loading
    QCOMPARE(err, 0);
    QVERIFY2(waitForOutput("[task-end] task=1"), output.constData());
    QVERIFY2(waitForOutput("[quarantine] task=1"), output.constData());

    // Every file written, and whatever journal files are there now.
    QStringList files;
    for (const QString& dir : {etc, root->path() + "/log", dataDir + "/.cache"}) {
        const QStringList names = QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::System);
        for (const QString& name : names)
            if (name != QLatin1String("config.json"))
                files << dir + "/" + name;
    }
    for (const QString& path : {etc + "/antivirus.db", etc + "/settings.json",
                                etc + "/virusdb.json", logFile, dataDir + "/.cache/clean.db"})
        QVERIFY2(files.contains(path), qPrintable(files.join(' ')));
    for (const QString& path : files)
        QVERIFY2(modeOf(path) == 0600, qPrintable(path + ": " + QString::number(modeOf(path), 8)));
    // A directory made without a mode of its own keeps at least the unit's
    // umask out.
    QCOMPARE(modeOf(root->path() + "/log"), 0750);
    stopService();
    QVERIFY(avtest::readBytes(logFile).contains("[task-end] task=1"));
    // The stop line came with the store, the log and the cache closed.
    for (const QString& path : files)
        QVERIFY2(!QFileInfo::exists(path) || modeOf(path) == 0600, qPrintable(path));

    if (::geteuid() != 0)
        QSKIP("acting as another user needs root");
    QCOMPARE(openErrorAsNobody(etc + "/config.json"), 0); // the directories let him through
    for (const QString& path : {etc + "/antivirus.db", etc + "/settings.json",
                                etc + "/virusdb.json", logFile})
        QVERIFY2(openErrorAsNobody(path) == EACCES, qPrintable(path));
}

QTEST_GUILESS_MAIN(tst_ZNProcess)
#include "tst_znprocess.moc"

// SIGTERM in the middle of a scan of a large tree: the service stops the
// task (logged as stopped), its cache writer and the store in order, ends
// within 5 s with exit code 0, and leaves nothing that the next start would
// have to recover: no journal or write-ahead file beside the store or the
// clean-file cache, no task row, no quarantine move half done.
void tst_ZNProcess::stopSignalDuringLargeScanEndsCleanly()
{
    const QString dataDir = root->path() + "/data";
    const QString tree = root->path() + "/scan";
    QVERIFY(avtest::writeFile(dataDir + "/virusdb/test.hdb", avtest::eicarHdbLine()));
    QVERIFY(avtest::writeJson(root->path() + "/etc/settings.json",
                              QJsonObject{{"enabled", 1}, {"datadir", dataDir}, {"threads", 2}}));
    // 20,000 files: the stop does not depend on the tree's size (the walk
    // is aborted, not finished), and a larger tree takes a minute to write
    // on a slow disk.
    const int kDirectories = 20;
    const int kFilesPerDirectory = 1000;
    for (int d = 0; d < kDirectories; ++d) {
        const QByteArray dir = QFile::encodeName(tree) + "/d" + QByteArray::number(d);
        QVERIFY(QDir().mkpath(QFile::decodeName(dir)));
        for (int f = 0; f < kFilesPerDirectory; ++f)
            QVERIFY(writeRaw(dir + "/f" + QByteArray::number(f), "clean " + QByteArray::number(f)));
    }
    QVERIFY(startService());
    QVERIFY2(waitForOutput("lpcID: "), output.constData());
    QCOMPARE(startScan(tree), 0);

    // Well into the walk, far from its end.
    QDeadlineTimer underway(60000);
    int scanned = 0;
    while (scanned < 2000 && !underway.hasExpired()) {
        QJsonObject reply;
        KX2LocalServer::localRequest(socketName, QJsonObject{{"cmd", "antivirus_scan_running"}},
                                     &reply, 20);
        scanned = reply.value("results").toObject().value("scans").toInt();
        process->waitForReadyRead(20);
    }
    QVERIFY2(scanned >= 2000 && scanned < kDirectories * kFilesPerDirectory,
             qPrintable(QString::number(scanned)));

    QElapsedTimer stopping;
    stopping.start();
    process->terminate();
    QVERIFY(process->waitForFinished(30000));
    const qint64 stopMs = stopping.elapsed();
    qInfo("stopped %lld ms after SIGTERM, %d files scanned before it", stopMs, scanned);
    output += process->readAll();
    QCOMPARE(process->exitStatus(), QProcess::NormalExit);
    QCOMPARE(process->exitCode(), 0);
    QVERIFY2(stopMs < 5000, qPrintable(QString::number(stopMs)));
    // Ended in order, not cut short by the stop's deadline.
    QVERIFY2(!output.contains("Quit at once"), output.constData());
    QVERIFY2(output.contains("[task-end] task=1 mission=0 state=8 "), output.constData());

    const QDir etc(root->path() + "/etc");
    QCOMPARE(etc.entryList({"antivirus.db-*"}, QDir::Files | QDir::Hidden), QStringList());
    const QDir cache(dataDir + "/.cache");
    QCOMPARE(cache.entryList({"*-wal", "*-journal"}, QDir::Files | QDir::Hidden), QStringList());
    {
        KX2DBSqlite db;
        QVERIFY(db.openOnly(databasePath()));
        QCOMPARE(avtest::rowCount(db, "t_task"), 0);
        QCOMPARE(avtest::rowCount(db, "t_log"), 1);
        int changes = 0, lastRowId = 0;
        QList<QJsonObject> rows;
        QVERIFY(db.exec(changes, lastRowId, rows,
                        "SELECT COUNT(*) AS n FROM t_infectes WHERE ift_pending != 0;"));
        QCOMPARE(rows.value(0).value("n").toInt(), 0);
        db.close();
    }

    // The next start drops no task and ends in order again.
    QVERIFY(startService());
    QVERIFY2(waitForOutput("lpcID: "), output.constData());
    stopService();
    output += process->readAll();
    QVERIFY2(!output.contains("[task-dropped]") && !output.contains("Quit at once"),
             output.constData());
}
