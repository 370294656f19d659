// Runs the real service executable: command line, configuration rejection,
// serving, and the behaviour on signals.

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include "kx2localserver.h"

namespace {

QString serviceBinary()
{
    return qEnvironmentVariable("ZN_BIN_DIR") + QStringLiteral("/znantivirus");
}

// Reads the process's standard output until it contains `text` or the
// deadline passes; returns everything read so far.
bool waitForOutput(QProcess& process, QByteArray& output, const QByteArray& text, int ms = 20000)
{
    QDeadlineTimer deadline(ms);
    while (!output.contains(text)) {
        if (deadline.hasExpired() || process.state() == QProcess::NotRunning)
            return false;
        process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        output += process.readAllStandardOutput();
    }
    return true;
}

void writeJson(const QString& path, const QJsonObject& object)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QJsonDocument(object).toJson());
}

} // namespace

class TestAppProcess : public QObject
{
    Q_OBJECT
private slots:
    void helpListsTheConfigOption();
    void unknownOptionFails();
    void rejectedConfiguration_data();
    void rejectedConfiguration();
    void servesUntilTerminated();
};

void TestAppProcess::helpListsTheConfigOption()
{
    QProcess process;
    process.start(serviceBinary(), {QStringLiteral("--help")});
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    const QString text = QString::fromUtf8(process.readAllStandardOutput());
    QVERIFY2(text.contains(QStringLiteral("--cfg <filepath>")), qPrintable(text));
    QVERIFY(text.contains(QStringLiteral("指定配置文件")));
    QVERIFY(!text.contains(QStringLiteral("--version")));
}

void TestAppProcess::unknownOptionFails()
{
    QProcess process;
    process.start(serviceBinary(), {QStringLiteral("--no-such-option")});
    QVERIFY(process.waitForFinished(20000));
    QVERIFY(process.exitCode() != 0);
    QVERIFY(process.readAllStandardError().contains("no-such-option"));
}

void TestAppProcess::rejectedConfiguration_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: no file at all

    QTest::newRow("missing file") << QByteArray();
    QTest::newRow("not json") << QByteArray("{ lpcid: ");
    QTest::newRow("array") << QByteArray("[1, 2]");
    QTest::newRow("blank lpcid") << QByteArray(R"({"lpcid": "   ", "debugging": true})");
    QTest::newRow("lpcid not a string") << QByteArray(R"({"lpcid": {"a": 1}})");
}

void TestAppProcess::rejectedConfiguration()
{
    QFETCH(QByteArray, content);
    QTemporaryDir dir;
    const QString cfg = dir.filePath(QStringLiteral("sub/config.json"));
    if (!content.isEmpty()) {
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("sub")));
        QFile file(cfg);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    QProcess process;
    process.start(serviceBinary(), {QStringLiteral("--cfg"), cfg});
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 1);

    const QStringList lines = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'));
    QVERIFY2(lines.size() >= 2, qPrintable(lines.join(QLatin1Char('|'))));
    // "yyyy-MM-dd HH:mm:ss " then the message.
    QVERIFY2(lines[0].mid(20) == QStringLiteral("系统配置文装载失败: ") + cfg, qPrintable(lines[0]));
    QCOMPARE(lines[1], QStringLiteral("未定义lpcid内容"));
}

void TestAppProcess::servesUntilTerminated()
{
    QTemporaryDir dir;
    const QString socket = dir.filePath(QStringLiteral("run/av.sock"));
    writeJson(dir.filePath(QStringLiteral("config.json")),
              {{QStringLiteral("lpcid"), QStringLiteral("  ") + socket + QStringLiteral(" ")},
               {QStringLiteral("debugging"), QStringLiteral("yes")},
               {QStringLiteral("settings"), dir.filePath(QStringLiteral("settings.json"))},
               {QStringLiteral("database"), dir.filePath(QStringLiteral("antivirus.db"))}});

    QProcess process;
    process.setWorkingDirectory(dir.path());
    // A relative file name is read relative to the working directory.
    process.start(serviceBinary(), {QStringLiteral("--cfg"), QStringLiteral("config.json")});
    QByteArray output;
    QVERIFY2(waitForOutput(process, output, "lpcID: " + socket.toUtf8()), output.constData());
    QVERIFY(output.contains("配置文装载成功: config.json"));

    // Neither SIGHUP nor SIGPIPE stops the service, and it still answers.
    ::kill(pid_t(process.processId()), SIGHUP);
    ::kill(pid_t(process.processId()), SIGPIPE);
    QJsonObject reply;
    QVERIFY(KX2LocalServer::localRequest(socket, {{QStringLiteral("cmd"), QStringLiteral("help_interfaces")}}, &reply, 20));
    QCOMPARE(reply.value(QStringLiteral("err")).toInt(-1), 0);
    QVERIFY(process.state() == QProcess::Running);
    QVERIFY(!output.contains("Wait for quit"));

    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(20000));
    output += process.readAllStandardOutput();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY2(output.endsWith("Wait for quit ...\n"), output.constData());
}

QTEST_GUILESS_MAIN(TestAppProcess)
#include "tst_appprocess.moc"
