// znavctl against a real in-process server: reply printing, exit status,
// socket selection by --socket and by the configuration's lpcid; and its
// scan commands against a whole in-process antivirus service with a real
// engine.

#include "../antivirus/avservice.h"
#include "kx2localserver.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

class tst_ZNAvCtl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void callPrintsIndentedReply();
    void failedReplyExitsTwo();
    void socketFromConfiguration();
    void unreachableServiceIsNamed();
    void unusableInvocationsExitTwo_data();
    void unusableInvocationsExitTwo();
    void scanWaitFollowsToTheEnd();
    void scanRefusalsExitTwo();
    void statusAndStop();

private:
    struct Run
    {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };
    // Runs znavctl while this thread's event loop keeps accepting.
    Run znavctl(const QStringList& arguments, const QString& workingDirectory = QString());

    QTemporaryDir dir;
    KX2LocalServer server;
    QString program;
};

void tst_ZNAvCtl::initTestCase()
{
    program = qEnvironmentVariable("ZN_BIN_DIR") + "/znavctl";
    QVERIFY2(QFileInfo(program).isExecutable(), qPrintable(program));
    QVERIFY(server.start(dir.filePath("avctl.sock")));
}

tst_ZNAvCtl::Run tst_ZNAvCtl::znavctl(const QStringList& arguments, const QString& workingDirectory)
{
    QProcess process;
    process.setWorkingDirectory(workingDirectory);
    QSignalSpy finished(&process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    process.start(program, arguments);
    Run run;
    if (!finished.wait(20000))
        return run;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

void tst_ZNAvCtl::callPrintsIndentedReply()
{
    const Run run = znavctl({"--socket", server.serverName(), "call", "help_interfaces"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.out.contains("\n    \"err\": 0"));
    const QJsonObject reply = QJsonDocument::fromJson(run.out).object();
    QCOMPARE(reply.value("results").toObject().value("help_interfaces").toObject().value("cmd"),
             QJsonValue("help_interfaces"));
    QVERIFY(run.err.isEmpty());
}

void tst_ZNAvCtl::failedReplyExitsTwo()
{
    const Run run =
        znavctl({"--socket", server.serverName(), "call", "nosuch", R"({"path":"/x"})"});
    QCOMPARE(run.exitCode, 2);
    const QJsonObject reply = QJsonDocument::fromJson(run.out).object();
    QCOMPARE(reply.value("err").toInt(), 9885);
    QCOMPARE(reply.value("errmsg").toString(), QString("被调用的方法不存在: nosuch"));
}

// Nothing at the path, a socket file nobody accepts on, and a socket the
// caller's groups do not admit: each is said as what it is, at once.
void tst_ZNAvCtl::unreachableServiceIsNamed()
{
    const QString none = dir.filePath("none.sock");
    Run run = znavctl({"--socket", none, "status"});
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(QString::fromUtf8(run.err),
             "znavctl: the service is not running (nothing listens at " + none + ")\n");

    const QString stale = dir.filePath("stale.sock");
    // A socket bound and never listened on stays as a stale file.
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, QFile::encodeName(stale).constData());
    QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    run = znavctl({"--socket", stale, "status"});
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains("the service is not running"), run.err.constData());

    QTemporaryDir open;
    QVERIFY(QFile::setPermissions(open.path(),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                      | QFileDevice::ExeOwner | QFileDevice::ReadOther
                                      | QFileDevice::ExeOther | QFileDevice::ReadGroup
                                      | QFileDevice::ExeGroup));
    KX2LocalServer closed;
    closed.setAccess(0660, 0);
    QVERIFY(closed.start(open.filePath("closed.sock")));
    const QStringList asNobody{"--reuid=65534", "--regid=65534", "--clear-groups", program};
    QProcess probe;
    probe.start("setpriv", asNobody + QStringList{"--version"});
    if (!probe.waitForFinished(20000) || probe.exitCode() != 0)
        QSKIP("znavctl cannot be run as nobody here");
    QProcess denied;
    denied.start("setpriv", asNobody + QStringList{"--socket", closed.serverName(), "status"});
    QVERIFY(denied.waitForFinished(20000));
    QCOMPARE(denied.exitCode(), 2);
    QCOMPARE(QString::fromUtf8(denied.readAllStandardError()),
             "znavctl: permission denied: " + closed.serverName()
                 + " is for members of group root\n");
}

void tst_ZNAvCtl::socketFromConfiguration()
{
    QFile config(dir.filePath("config.json"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write(QJsonDocument(QJsonObject{{"lpcid", "  " + server.serverName() + " "}}).toJson());
    config.close();
    const Run run = znavctl({"--cfg", config.fileName(), "call", "help_interfaces"});
    QCOMPARE(run.exitCode, 0);
}

void tst_ZNAvCtl::unusableInvocationsExitTwo_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("message");

    const QString missing = QDir::temp().filePath("znavctl-nobody-here.sock");
    QTest::newRow("no server") << QStringList{"--socket", missing, "--timeout",
                                              "2",        "call",  "help_interfaces"}
                               << QByteArray("the service is not running");
    QTest::newRow("no lpcid") << QStringList{"--cfg", "/nonexistent/config.json", "call",
                                             "help_interfaces"}
                              << QByteArray("no lpcid in /nonexistent/config.json");
    QTest::newRow("params not an object") << QStringList{"--socket", missing, "call", "x", "[1]"}
                                          << QByteArray("PARAMS_JSON is not a JSON object");
    QTest::newRow("no command") << QStringList{} << QByteArray("usage:");
    QTest::newRow("unknown command") << QStringList{"frob"} << QByteArray("unknown command frob");
    QTest::newRow("scan without path")
        << QStringList{"scan", "--wait"}
        << QByteArray("scan: name one path; see znavctl scan --help");
    QTest::newRow("scan unknown flag")
        << QStringList{"scan", "/x", "--now"} << QByteArray("scan: unknown option 'now'");
    QTest::newRow("update, unknown mode")
        << QStringList{"update", "--now"} << QByteArray("update: unknown option 'now'");
    QTest::newRow("update, two modes")
        << QStringList{"update", "--wait", "--stop"}
        << QByteArray("update: --wait and --stop exclude each other");
    QTest::newRow("bad timeout") << QStringList{"--timeout", "0", "call", "x"}
                                 << QByteArray("--timeout");
}

void tst_ZNAvCtl::unusableInvocationsExitTwo()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, message);

    const Run run = znavctl(arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY(run.out.isEmpty());
    QVERIFY2(run.err.startsWith("znavctl: ") && run.err.contains(message), run.err.constData());
    QCOMPARE(run.err.count('\n'), 1);
}

// Output that is not a terminal gets plain progress lines; the exit status
// says whether infected files were found. The path is relative to the
// client's directory, not the service's; file names cannot smuggle control
// characters to the output.
void tst_ZNAvCtl::scanWaitFollowsToTheEnd()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine(1));
    const QString tree = service.scanDir + "/tree";
    QVERIFY(avtest::writeFile(tree + "/a-infected", avtest::eicar()));
    QVERIFY(avtest::writeFile(tree + "/b-clean", "clean"));
    // One worker takes the files in the walk's order: this one is last and
    // stays the current file.
    QVERIFY(
        avtest::writeFile(tree + QString::fromUtf8("/zz\x1b]2;owned\x07\nfake\u202e"), "clean"));

    Run run = znavctl({"--socket", service.socketName, "scan", "tree", "--wait"}, service.scanDir);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(!run.out.contains('\r') && !run.out.contains('\x1b') && !run.out.contains('\x07'),
             run.out.constData());
    // Progress lines, the counts, each infected file with what was done,
    // and the log row to look it up later.
    const QList<QByteArray> lines = run.out.trimmed().split('\n');
    QVERIFY2(lines.size() >= 5, run.out.constData());
    for (const QByteArray& line : lines.mid(0, lines.size() - 4))
        QVERIFY2(line.startsWith("progress: "), line.constData());
    QVERIFY2(lines.at(lines.size() - 5)
                 .startsWith("progress: 100%, 3 of 3 files, 1 infected, current: "
                             + QFile::encodeName(tree) + "/zz\\x1B]2;owned\\x07\\nfake\\u202E"),
             run.out.constData());
    QCOMPARE(lines.at(lines.size() - 4),
             "finished: " + QFile::encodeName(tree) + ": 3 of 3 files scanned, 1 infected");
    QVERIFY2(lines.at(lines.size() - 3).startsWith("INFECTED FILE"), run.out.constData());
    const QByteArray quarantined = QFile::encodeName(service.dataDir) + "/.qra/a-infected";
    QCOMPARE(lines.at(lines.size() - 2).simplified(),
             QFile::encodeName(tree)
                 + "/a-infected Test.Sig.UNOFFICIAL quarantined: " + quarantined);
    QCOMPARE(lines.last(), QByteArray("scan log: 1 (znavctl logs)"));
    QVERIFY(run.err.isEmpty());
    QTRY_VERIFY(!QFile::exists(tree + "/a-infected"));

    // --json: the final progress reply with the same findings.
    QVERIFY(avtest::writeFile(tree + "/c-infected", avtest::eicar()));
    run = znavctl({"--socket", service.socketName, "--json", "scan", tree, "--wait"});
    QCOMPARE(run.exitCode, 1);
    QJsonObject results = QJsonDocument::fromJson(run.out).object().value("results").toObject();
    QCOMPARE(results.value("path").toString(), tree);
    QCOMPARE(results.value("total").toInt(), 3);
    QCOMPARE(results.value("infectes").toInt(), 1);
    QCOMPARE(results.value("running").toInt(), 0);
    QCOMPARE(results.value("logno").toInt(), 2);
    const QJsonArray detections = results.value("detections").toArray();
    QCOMPARE(detections.size(), 1);
    QCOMPARE(detections.first().toObject().value("path").toString(), tree + "/c-infected");
    QCOMPARE(detections.first().toObject().value("moved").toInt(), 1);

    // Clean now: no detections, exit 0.
    run = znavctl({"--socket", service.socketName, "--json", "scan", tree, "--wait"});
    QCOMPARE(run.exitCode, 0);
    results = QJsonDocument::fromJson(run.out).object().value("results").toObject();
    QCOMPARE(results.value("infectes").toInt(), 0);
    QCOMPARE(results.value("logno").toInt(), 3);
    QCOMPARE(results.value("detections").toArray(), QJsonArray());
}

void tst_ZNAvCtl::scanRefusalsExitTwo()
{
    avtest::Service service;
    QVERIFY(service.start());
    Run run = znavctl({"--socket", service.socketName, "scan", service.scanDir, "--wait"});
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(QString::fromUtf8(run.err),
             QStringLiteral("znavctl: no virus database is loaded (znavctl update --status says "
                            "why): 病毒库未准备就绪，请稍后再重试 (err 9983)\n"));

    QVERIFY(service.enableWithEngine(1));
    run = znavctl({"--socket", service.socketName, "scan", service.root.path() + "/none"});
    QCOMPARE(run.exitCode, 2);
    // In English, naming the path, beside the service's own message.
    QCOMPARE(QString::fromUtf8(run.err),
             "znavctl: " + service.root.path()
                 + "/none does not exist, or is a link or neither a file nor a folder: "
                   "选定的文件或文件夹不存在 (err 9994)\n");

    // A second path while a task runs is queued, not followed: the worker
    // is held as it takes a file until then.
    QVERIFY(avtest::writeFile(service.scanDir + "/first/f", "x"));
    QVERIFY(avtest::writeFile(service.scanDir + "/second/f", "x"));
    avtest::PauseGate::Hold hold(service.fileTaking);
    QCOMPARE(service.call("antivirus_scan_start", {{"path", service.scanDir + "/first"}})
                 .value("err")
                 .toInt(),
             0);
    run = znavctl({"--socket", service.socketName, "scan", service.scanDir + "/second", "--wait"});
    hold.unlock();
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(run.err.contains("(err 9992); the task is queued"), run.err.constData());
    QVERIFY(run.out.isEmpty());
    QVERIFY(service.waitIdle());
    QCOMPARE(service.rows("SELECT * FROM t_log").size(), 2);
}

void tst_ZNAvCtl::statusAndStop()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine(1));
    QVERIFY(avtest::writeFile(service.scanDir + "/f", avtest::eicar()));
    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);

    Run run = znavctl({"--socket", service.socketName, "status"});
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(
        run.out.startsWith("running:  no\npath:     " + QFile::encodeName(service.scanDir) + "\n"),
        run.out.constData());
    QVERIFY2(run.out.contains("\nprogress: 100% (1 of 1 files)\ninfected: 1\nended:    "),
             run.out.constData());
    // What keeps the service from protecting: here, no schedule.
    QVERIFY2(run.out.endsWith("\nwarning:  no scheduled scan (settings: schedule)\n"),
             run.out.constData());

    run = znavctl({"--socket", service.socketName, "status", "--json"});
    QCOMPARE(run.exitCode, 0);
    const QJsonObject reply = QJsonDocument::fromJson(run.out).object();
    QCOMPARE(reply.value("err").toInt(), 0);
    QCOMPARE(reply.value("results").toObject().value("infectes").toInt(), 1);

    run = znavctl({"--socket", service.socketName, "stop"});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.out, QByteArray("stopped: no scan is running\n"));

    // A scan held at its first file is running when stop asks.
    QVERIFY(avtest::writeFile(service.scanDir + "/g", "clean"));
    avtest::PauseGate::Hold hold(service.fileTaking);
    QCOMPARE(service.call("antivirus_scan_start", {{"path", service.scanDir}}).value("err").toInt(),
             0);
    QTRY_VERIFY_WITH_TIMEOUT(service.fileTaking.held() > 0, 10000);
    QProcess stop;
    stop.start(program, {"--socket", service.socketName, "stop"});
    QTRY_VERIFY_WITH_TIMEOUT(service.d->tasks.isStopping(), 10000);
    hold.unlock();
    QVERIFY(stop.waitForFinished(30000));
    QCOMPARE(stop.exitCode(), 0);
    QCOMPARE(stop.readAllStandardOutput(),
             "stopped: the scan of " + QFile::encodeName(service.scanDir) + "\n");
}

QTEST_GUILESS_MAIN(tst_ZNAvCtl)
#include "tst_znavctl.moc"
