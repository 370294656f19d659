// Runs the real service executable: command line, configuration rejection,
// serving, and the behaviour on signals.

#include <QDeadlineTimer>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>

#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

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

// A service configuration in `dir` listening on `socket`.
QString writeServiceConfig(const QTemporaryDir& dir, const QString& socket,
                           const QJsonObject& extra = {})
{
    QJsonObject config{{QStringLiteral("lpcid"), socket},
                       {QStringLiteral("settings"), dir.filePath(QStringLiteral("settings.json"))},
                       {QStringLiteral("database"), dir.filePath(QStringLiteral("antivirus.db"))}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        config.insert(it.key(), it.value());
    const QString path = dir.filePath(QStringLiteral("config.json"));
    writeJson(path, config);
    return path;
}

// Runs the service to its end; returns its exit code, -1 when it did not end.
int runToEnd(const QString& cfg, QByteArray* output)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(serviceBinary(), {QStringLiteral("--cfg"), cfg});
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    *output = process.readAll();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
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
    void secondInstanceFailsWhileFirstServes();
    void socketStartFailuresAreExplained_data();
    void socketStartFailuresAreExplained();
    void stopSignalAtOnceEndsInOrder();
    void socketAccessKeys();
    void unreadablePrivilegeSettingsStopTheStart_data();
    void unreadablePrivilegeSettingsStopTheStart();
    void changingMethodsNeedTheAdminGroup();
    void userWorkAreaIsRefused();
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
    QTest::addColumn<QByteArray>("content"); // empty: no file; "<dir>": a directory
    QTest::addColumn<QString>("reason");     // the line after "未定义lpcid内容"

    QTest::newRow("missing file") << QByteArray()
                                  << QStringLiteral("the configuration file does not exist: %1");
    QTest::newRow("directory") << QByteArray("<dir>")
                               << QStringLiteral("the configuration file cannot be read: it is a "
                                                 "directory");
    QTest::newRow("not json") << QByteArray("{ lpcid: ")
                              << QStringLiteral("the configuration file is not JSON: "
                                                "unterminated object at offset 3");
    QTest::newRow("truncated") << QByteArray(R"({"lpcid": "/run/a.sock")")
                               << QStringLiteral("the configuration file is not JSON: "
                                                 "unterminated string at offset 23");
    QTest::newRow("array") << QByteArray("[1, 2]")
                           << QStringLiteral("the configuration file holds no JSON object");
    QTest::newRow("no lpcid") << QByteArray(R"({"lpcId": "/run/a.sock"})")
                              << QStringLiteral("the key \"lpcid\" is missing");
    QTest::newRow("blank lpcid") << QByteArray(R"({"lpcid": "   ", "debugging": true})")
                                 << QStringLiteral("the key \"lpcid\" is blank");
    QTest::newRow("lpcid not a string") << QByteArray(R"({"lpcid": {"a": 1}})")
                                        << QStringLiteral("the key \"lpcid\" is not a text");
}

void TestAppProcess::rejectedConfiguration()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString cfg = dir.filePath(QStringLiteral("sub/config.json"));
    if (content == "<dir>") {
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("sub/config.json")));
    } else if (!content.isEmpty()) {
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

    const QStringList lines =
        QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'));
    QVERIFY2(lines.size() >= 3, qPrintable(lines.join(QLatin1Char('|'))));
    // "yyyy-MM-dd HH:mm:ss " then the message.
    QVERIFY2(lines[0].mid(20) == QStringLiteral("系统配置文装载失败: ") + cfg,
             qPrintable(lines[0]));
    QCOMPARE(lines[1], QStringLiteral("未定义lpcid内容"));
    QCOMPARE(lines[2], reason.contains(QLatin1String("%1")) ? reason.arg(cfg) : reason);
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

    // Neither SIGHUP nor SIGPIPE stops the service, nor SIGIO (a lease
    // break) before any scan, and it still answers.
    ::kill(pid_t(process.processId()), SIGHUP);
    ::kill(pid_t(process.processId()), SIGPIPE);
    ::kill(pid_t(process.processId()), SIGIO);
    QJsonObject reply;
    QVERIFY(KX2LocalServer::localRequest(
        socket, {{QStringLiteral("cmd"), QStringLiteral("help_interfaces")}}, &reply, 20));
    QCOMPARE(reply.value(QStringLiteral("err")).toInt(-1), 0);
    QVERIFY(process.state() == QProcess::Running);
    QVERIFY(!output.contains("Wait for quit"));

    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(20000));
    output += process.readAllStandardOutput();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY2(output.endsWith("Wait for quit ...\n"), output.constData());
    // With debugging on, each request names its peer.
    QVERIFY2(output.contains("request help_interfaces from uid " + QByteArray::number(::getuid())
                             + " pid "),
             output.constData());
    // An orderly exit takes the socket file away.
    QVERIFY(!QFileInfo::exists(socket));
}

void TestAppProcess::secondInstanceFailsWhileFirstServes()
{
    QTemporaryDir dir;
    const QString socket = dir.filePath(QStringLiteral("av.sock"));
    const QString cfg = writeServiceConfig(dir, socket);
    QProcess first;
    first.start(serviceBinary(), {QStringLiteral("--cfg"), cfg});
    QByteArray output;
    QVERIFY2(waitForOutput(first, output, "lpcID: "), output.constData());

    QByteArray secondOutput;
    QCOMPARE(runToEnd(cfg, &secondOutput), 1);
    QVERIFY2(secondOutput.contains("本地服务启动失败: another service is already listening on"),
             secondOutput.constData());
    QJsonObject reply;
    QVERIFY(KX2LocalServer::localRequest(
        socket, {{QStringLiteral("cmd"), QStringLiteral("help_interfaces")}}, &reply, 20));
    QCOMPARE(reply.value(QStringLiteral("err")).toInt(-1), 0);

    ::kill(pid_t(first.processId()), SIGTERM);
    QVERIFY(first.waitForFinished(20000));
    QCOMPARE(first.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(socket));
}

void TestAppProcess::socketStartFailuresAreExplained_data()
{
    QTest::addColumn<QString>("leaf");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("regular file") << "file.sock" << QByteArray("is not a socket");
    QTest::newRow("directory") << "dir.sock" << QByteArray("dir.sock");
    QTest::newRow("under a file") << "file.sock/inner.sock"
                                  << QByteArray("cannot create the socket directory");
    QTest::newRow("too long") << QString(120, 'n') << QByteArray("longer than a socket address");
}

void TestAppProcess::socketStartFailuresAreExplained()
{
    QFETCH(QString, leaf);
    QFETCH(QByteArray, message);
    QTemporaryDir dir;
    {
        QFile data(dir.filePath(QStringLiteral("file.sock")));
        QVERIFY(data.open(QIODevice::WriteOnly));
        data.write("keep me");
    }
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("dir.sock")));
    QByteArray output;
    QCOMPARE(runToEnd(writeServiceConfig(dir, dir.filePath(leaf)), &output), 1);
    QVERIFY2(output.contains("本地服务启动失败: ") && output.contains(message), output.constData());
    QFile data(dir.filePath(QStringLiteral("file.sock")));
    QVERIFY(data.open(QIODevice::ReadOnly));
    QCOMPARE(data.readAll(), QByteArray("keep me"));
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("dir.sock"))).isDir());
}

void TestAppProcess::stopSignalAtOnceEndsInOrder()
{
    QTemporaryDir dir;
    const QString cfg = writeServiceConfig(dir, dir.filePath(QStringLiteral("av.sock")));
    // The child inherits SIGTERM blocked, so the signal sent right after
    // the start waits for the service's own first step, whenever that is.
    sigset_t term;
    sigset_t saved;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    QCOMPARE(::pthread_sigmask(SIG_BLOCK, &term, &saved), 0);
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(serviceBinary(), {QStringLiteral("--cfg"), cfg});
    const bool started = process.waitForStarted(20000);
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    QVERIFY(started);
    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(20000));
    const QByteArray output = process.readAll();
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY2(output.endsWith("Wait for quit ...\n"), output.constData());
}

void TestAppProcess::socketAccessKeys()
{
    QTemporaryDir dir;
    // In a directory the service makes: its own umask must not narrow
    // what the socket's mode allows.
    const QString socket = dir.filePath(QStringLiteral("run/av.sock"));
    const QString cfg = writeServiceConfig(dir, socket,
                                           {{QStringLiteral("lpcmode"), QStringLiteral("0660")},
                                            {QStringLiteral("lpcgroup"), QStringLiteral("4242")}});
    QProcess process;
    process.start(serviceBinary(), {QStringLiteral("--cfg"), cfg});
    QByteArray output;
    QVERIFY2(waitForOutput(process, output, "lpcID: "), output.constData());
    struct stat st
    {};
    QCOMPARE(::stat(QFile::encodeName(socket).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0660);
    QCOMPARE(int(st.st_gid), 4242);
    QCOMPARE(::stat(QFile::encodeName(dir.filePath(QStringLiteral("run"))).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 07777), 0755);
    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(20000));

    // A group that does not exist stops the start with a reason.
    writeServiceConfig(dir, socket,
                       {{QStringLiteral("lpcgroup"), QStringLiteral("no-such-group-zn")}});
    QCOMPARE(runToEnd(cfg, &output), 1);
    QVERIFY2(output.contains("unknown lpcgroup: no-such-group-zn"), output.constData());
}

void TestAppProcess::unreadablePrivilegeSettingsStopTheStart_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("value"); // JSON text
    for (const char* key : {"lpcadmingroup", "lpcgroup"}) {
        for (const char* value :
             {R"(["zpadmins"])", R"({"name": "zpadmins"})", "true", "null", R"("")", R"("  ")",
              R"("no-such-group-zn")", "-1", "4242.5"})
            QTest::addRow("%s %s", key, value) << QString::fromLatin1(key) << QByteArray(value);
    }
    for (const char* value : {R"(["0660"])", "true", "null", R"("")", R"("rw")", "4242.5"})
        QTest::addRow("lpcmode %s", value) << QStringLiteral("lpcmode") << QByteArray(value);
}

// A privilege setting that is there but cannot be read must not fall back
// to a default that opens more than it says.
void TestAppProcess::unreadablePrivilegeSettingsStopTheStart()
{
    QFETCH(QString, key);
    QFETCH(QByteArray, value);
    QTemporaryDir dir;
    const QJsonValue setting =
        QJsonDocument::fromJson("[" + value + "]").array().first();
    const QString cfg =
        writeServiceConfig(dir, dir.filePath(QStringLiteral("av.sock")), {{key, setting}});
    QByteArray output;
    QCOMPARE(runToEnd(cfg, &output), 1);
    QVERIFY2(output.contains(key.toUtf8()), output.constData());
    QVERIFY2(!output.contains("lpcID:"), output.constData());
}

// The reply to `cmd` sent by znavctl running as `uid`:`gid` with the
// supplementary `groups` only (a comma-separated list; none when empty).
QJsonObject callAs(const QString& client, const QString& socket, uid_t uid, gid_t gid,
                   const QString& cmd, const QJsonObject& params = {},
                   const QString& groups = QString())
{
    QProcess process;
    process.start(QStringLiteral("setpriv"),
                  {QStringLiteral("--reuid=%1").arg(uid), QStringLiteral("--regid=%1").arg(gid),
                   groups.isEmpty() ? QStringLiteral("--clear-groups")
                                    : QStringLiteral("--groups=") + groups,
                   client, QStringLiteral("--socket"), socket, QStringLiteral("call"), cmd,
                   QString::fromUtf8(QJsonDocument(params).toJson(QJsonDocument::Compact))});
    if (!process.waitForFinished(20000))
        return QJsonObject();
    return QJsonDocument::fromJson(process.readAllStandardOutput()).object();
}

void TestAppProcess::changingMethodsNeedTheAdminGroup()
{
    if (::geteuid() != 0)
        QSKIP("acting as other users needs root");
    QTemporaryDir dir;
    // Other users reach the (world-accessible) socket, and the client:
    // the build tree may lie where they cannot.
    QCOMPARE(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
    const QString client = dir.filePath(QStringLiteral("znavctl"));
    QVERIFY(QFile::copy(qEnvironmentVariable("ZN_BIN_DIR") + QStringLiteral("/znavctl"), client));
    const QString socket = dir.filePath(QStringLiteral("av.sock"));
    const QString cfg = writeServiceConfig(
        dir, socket, {{QStringLiteral("lpcadmingroup"), QStringLiteral("4242")}});
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(serviceBinary(), {QStringLiteral("--cfg"), cfg});
    QByteArray output;
    QVERIFY2(waitForOutput(process, output, "lpcID: "), output.constData());

    const uid_t nobody = 65534;
    const gid_t nogroup = 65534, admins = 4242;
    // Reading and help: every peer.
    for (const char* reading : {"antivirus_scan_running", "antivirus_quarantined_alload",
                                "antivirus_settings_load", "antivirus_updvdb_running"}) {
        const QJsonObject reply = callAs(client, socket, nobody, nogroup, QLatin1String(reading));
        QVERIFY2(reply.contains(QStringLiteral("err")), reading);
        QVERIFY2(reply.value(QStringLiteral("err")).toInt() != 9870, reading);
    }
    // Changing: refused to others, and the refusal is logged.
    const QJsonObject scan{{QStringLiteral("path"), QStringLiteral("/")}};
    for (const char* changing :
         {"antivirus_scan_start", "antivirus_scan_stop", "antivirus_settings_save",
          "antivirus_quarantined_remove", "antivirus_quarantined_restore", "antivirus_updvdb_start",
          "antivirus_mission_create", "antivirus_log_remove"}) {
        const QJsonObject reply =
            callAs(client, socket, nobody, nogroup, QLatin1String(changing), scan);
        QCOMPARE(reply.value(QStringLiteral("err")).toInt(), 9870);
        QCOMPARE(reply.value(QStringLiteral("errmsg")).toString(),
                 QStringLiteral("没有权限执行此操作"));
    }
    QVERIFY2(waitForOutput(process, output, "拒绝请求 antivirus_scan_start: uid 65534 pid "),
             output.constData());
    // A member of the group, also one that holds it only for this process
    // (the user database does not list `nobody` in it), and root, may.
    QVERIFY(callAs(client, socket, nobody, admins, QStringLiteral("antivirus_scan_start"), scan)
                .value(QStringLiteral("err"))
                .toInt()
            != 9870);
    QVERIFY(callAs(client, socket, nobody, nogroup, QStringLiteral("antivirus_scan_stop"), {},
                   QString::number(admins))
                .value(QStringLiteral("err"))
                .toInt()
            != 9870);
    QVERIFY(callAs(client, socket, 0, 0, QStringLiteral("antivirus_scan_start"), scan)
                .value(QStringLiteral("err"))
                .toInt()
            != 9870);
    // Refusals in a loop: the first few are logged, the rest only counted,
    // so they cannot push other events out of the log.
    for (int i = 0; i < 8; ++i)
        QCOMPARE(callAs(client, socket, nobody, nogroup, QStringLiteral("antivirus_scan_stop"))
                     .value(QStringLiteral("err"))
                     .toInt(),
                 9870);
    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(20000));
    output += process.readAll();
    QCOMPARE(output.count("[refused] 拒绝请求"), 5);
}

// What a local user could try against a service without an admin group:
// make a work area of its own, on the service's file system or another,
// the one in force.
void TestAppProcess::userWorkAreaIsRefused()
{
    if (::geteuid() != 0)
        QSKIP("acting as other users needs root");
    QTemporaryDir dir;
    QTemporaryDir other(QStringLiteral("/dev/shm/zn-area-XXXXXX"));
    struct stat a, b;
    if (!other.isValid() || ::stat(QFile::encodeName(dir.path()).constData(), &a) != 0
        || ::stat("/dev/shm", &b) != 0 || a.st_dev == b.st_dev)
        QSKIP("no second file system at /dev/shm");
    QCOMPARE(::chmod(QFile::encodeName(dir.path()).constData(), 0755), 0);
    QCOMPARE(::chmod(QFile::encodeName(other.path()).constData(), 0755), 0);
    const QString client = dir.filePath(QStringLiteral("znavctl"));
    QVERIFY(QFile::copy(qEnvironmentVariable("ZN_BIN_DIR") + QStringLiteral("/znavctl"), client));
    const QString secret = dir.filePath(QStringLiteral("secret"));
    {
        QFile file(secret);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("root only\n");
    }
    QCOMPARE(::chmod(QFile::encodeName(secret).constData(), 0600), 0);
    const uid_t nobody = 65534;
    const QString area1 = dir.filePath(QStringLiteral("area1"));
    const QString area2 = other.filePath(QStringLiteral("area2"));
    for (const QString& area : {area1, area2}) {
        QVERIFY(QDir().mkpath(area));
        QCOMPARE(::chown(QFile::encodeName(area).constData(), nobody, nobody), 0);
    }
    const QString socket = dir.filePath(QStringLiteral("av.sock"));
    const QString cfg = writeServiceConfig(
        dir, socket, {{QStringLiteral("systemvirusdb"), dir.filePath(QStringLiteral("none"))}});
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(serviceBinary(), {QStringLiteral("--cfg"), cfg});
    QByteArray output;
    QVERIFY2(waitForOutput(process, output, "lpcID: "), output.constData());
    const auto saveAs = [&](const QString& area) {
        QDeadlineTimer deadline(30000);
        int err = -1;
        while (
            (err = callAs(client, socket, nobody, nobody, QStringLiteral("antivirus_settings_save"),
                          {{QStringLiteral("enabled"), 1}, {QStringLiteral("datadir"), area}})
                       .value(QStringLiteral("err"))
                       .toInt(-1))
                == 9871
            && !deadline.hasExpired())
            QThread::msleep(50); // the update thread of the previous save
        return err;
    };
    // A work area the user owns could receive the quarantine and the
    // signatures of the user's choosing: refused, and nothing is made in it.
    for (const QString& area : {area1, area2}) {
        QCOMPARE(saveAs(area), 9990);
        QVERIFY(QDir(area).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot));
    }
    QVERIFY(QFileInfo(secret).isFile());
    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(20000));
}

QTEST_GUILESS_MAIN(TestAppProcess)
#include "tst_appprocess.moc"
