// znavctl against a real in-process server: reply printing, exit status,
// socket selection by --socket and by the configuration's lpcid.

#include "kx2localserver.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class tst_ZNAvCtl : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void callPrintsIndentedReply();
    void failedReplyExitsOne();
    void socketFromConfiguration();
    void unusableInvocationsExitTwo_data();
    void unusableInvocationsExitTwo();

private:
    struct Run
    {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
    };
    // Runs znavctl while this thread's event loop keeps accepting.
    Run znavctl(const QStringList& arguments);

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

tst_ZNAvCtl::Run tst_ZNAvCtl::znavctl(const QStringList& arguments)
{
    QProcess process;
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

void tst_ZNAvCtl::failedReplyExitsOne()
{
    const Run run = znavctl({"--socket", server.serverName(), "call", "nosuch", R"({"path":"/x"})"});
    QCOMPARE(run.exitCode, 1);
    const QJsonObject reply = QJsonDocument::fromJson(run.out).object();
    QCOMPARE(reply.value("err").toInt(), 9885);
    QCOMPARE(reply.value("errmsg").toString(), QString("被调用的方法不存在: nosuch"));
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
    QTest::newRow("no server")
        << QStringList{"--socket", missing, "--timeout", "2", "call", "help_interfaces"}
        << QByteArray("cannot be reached");
    QTest::newRow("no lpcid")
        << QStringList{"--cfg", "/nonexistent/config.json", "call", "help_interfaces"}
        << QByteArray("no lpcid in /nonexistent/config.json");
    QTest::newRow("params not an object")
        << QStringList{"--socket", missing, "call", "x", "[1]"}
        << QByteArray("PARAMS_JSON is not a JSON object");
    QTest::newRow("no command") << QStringList{} << QByteArray("usage:");
    QTest::newRow("unknown command") << QStringList{"scan"} << QByteArray("unknown command scan");
    QTest::newRow("update, unknown mode") << QStringList{"update", "--now"} << QByteArray("usage:");
    QTest::newRow("update, two modes") << QStringList{"update", "--wait", "--stop"} << QByteArray("usage:");
    QTest::newRow("bad timeout")
        << QStringList{"--timeout", "0", "call", "x"} << QByteArray("--timeout");
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

QTEST_GUILESS_MAIN(tst_ZNAvCtl)
#include "tst_znavctl.moc"
