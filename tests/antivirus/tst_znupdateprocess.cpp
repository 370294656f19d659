// The virus database update inside the real service process: its failure
// traces, and SIGKILL at random moments of an update, half of them aimed at
// the staging, proof and swap of the new set, after which the database
// directory must always hold a whole set, all old or all new, that
// libclamav loads. Needs build/bin/znantivirus (ZN_BIN_DIR).

#include <QtTest>

#include <QDeadlineTimer>
#include <QProcess>
#include <QRandomGenerator>

#include <clamav.h>
#include <sys/stat.h>

#include "avtestsupport.h"
#include "httptestserver.h"
#include "kx2localserver.h"

namespace {

const int kTrials = 20;
const int kFiles = 30;

QString serviceBinary()
{
    return qEnvironmentVariable("ZN_BIN_DIR") + QStringLiteral("/znantivirus");
}

QByteArray md5Hex(const QByteArray& bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex();
}

// Database file `index` of generation `generation`: a few signature lines.
QByteArray databaseFile(int generation, int index)
{
    QByteArray content;
    for (int line = 0; line < 5; ++line) {
        const QByteArray sample = "generation " + QByteArray::number(generation) + " file "
            + QByteArray::number(index) + " line " + QByteArray::number(line);
        content += md5Hex(sample) + ":" + QByteArray::number(sample.size()) + ":Gen"
            + QByteArray::number(generation) + ".Sig" + QByteArray::number(index) + "\n";
    }
    return content;
}

QString fileName(int index)
{
    return QStringLiteral("part%1.hdb").arg(index, 2, 10, QLatin1Char('0'));
}

// Whether libclamav loads and compiles the directory.
bool engineLoads(const QString& directory)
{
    cl_engine* engine = cl_engine_new();
    if (!engine)
        return false;
    unsigned int signatures = 0;
    const bool ok =
        cl_load(QFile::encodeName(directory).constData(), engine, &signatures, CL_DB_STDOPT)
            == CL_SUCCESS
        && cl_engine_compile(engine) == CL_SUCCESS && signatures > 0;
    cl_engine_free(engine);
    return ok;
}

} // namespace

class tst_ZNUpdateProcess : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void failuresAreTraced();
    void killDuringUpdateLeavesCompleteSet();

private:
    // Starts the service on a fresh tree with generation 1 installed and
    // generation 2 on the mirror (or the description at `descriptionPath`);
    // returns once it listens. Its output so far is in `output`.
    bool startTrial(QTemporaryDir& root, QProcess& process, QString& socket, int debuglevel = 0,
                    const QString& descriptionPath = QStringLiteral("/virusdb.json"));
    bool waitForOutput(QProcess& process, const QByteArray& text);
    bool requestUpdate(const QString& socket);
    bool updateRunning(const QString& socket);

    HttpTestServer mirror;
    QByteArray output;
};

void tst_ZNUpdateProcess::initTestCase()
{
    QVERIFY2(QFileInfo(serviceBinary()).isExecutable(), qPrintable(serviceBinary()));
    QVERIFY(mirror.isListening());
    cl_init(CL_INIT_DEFAULT);
    QJsonArray items;
    for (int i = 0; i < kFiles; ++i) {
        const QByteArray content = databaseFile(2, i);
        mirror.setFile("/db/" + fileName(i), content);
        items.append(QJsonObject{
            {"file", fileName(i)}, {"size", content.size()}, {"md5", QString(md5Hex(content))}});
    }
    mirror.setFile("/virusdb.json",
                   QJsonDocument(QJsonObject{{"url", mirror.url("/db/")},
                                             {"items", items},
                                             {"updatetime", "generation 2"}})
                       .toJson());
}

bool tst_ZNUpdateProcess::startTrial(QTemporaryDir& root, QProcess& process, QString& socket,
                                     int debuglevel, const QString& descriptionPath)
{
    const QString dataDir = root.path() + "/data";
    for (int i = 0; i < kFiles; ++i) {
        if (!avtest::writeFile(dataDir + "/virusdb/" + fileName(i), databaseFile(1, i)))
            return false;
    }
    socket = root.path() + "/run/antivirus.sock";
    QJsonObject config = avtest::componentConfig(root.path());
    config["lpcid"] = socket;
    config["virusdburl"] = mirror.url(descriptionPath);
    config["debuglevel"] = debuglevel;
    if (!avtest::writeJson(root.path() + "/etc/config.json", config)
        || !avtest::writeJson(root.path() + "/etc/settings.json",
                              QJsonObject{{"enabled", 1}, {"datadir", dataDir}}))
        return false;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(serviceBinary(), {"--cfg", root.path() + "/etc/config.json"});
    if (!process.waitForStarted(20000))
        return false;
    output.clear();
    return waitForOutput(process, "lpcID: ");
}

// Reads the process's output until it holds `text`, the process ends or
// the deadline passes.
bool tst_ZNUpdateProcess::waitForOutput(QProcess& process, const QByteArray& text)
{
    QDeadlineTimer deadline(30000);
    while (!output.contains(text) && !deadline.hasExpired()
           && process.state() == QProcess::Running) {
        process.waitForReadyRead(100);
        output += process.readAll();
    }
    return output.contains(text);
}

void tst_ZNUpdateProcess::failuresAreTraced()
{
    const QByteArray content = databaseFile(2, 0);
    const QJsonObject wrong{
        {"file", fileName(0)}, {"size", content.size()}, {"md5", QString(md5Hex("other"))}};
    mirror.setFile(
        "/traced.json",
        QJsonDocument(QJsonObject{{"url", mirror.url("/db/")}, {"items", QJsonArray{wrong}}})
            .toJson());
    QTemporaryDir root;
    QProcess process;
    QString socket;
    QVERIFY(startTrial(root, process, socket, 0x12, "/traced.json"));
    QVERIFY(requestUpdate(socket));
    QVERIFY2(waitForOutput(process, "下载病毒库失败"), output.constData());
    QVERIFY2(output.contains("病毒库文件校验失败: " + mirror.url("/db/" + fileName(0)).toUtf8()),
             output.constData());

    mirror.setFile("/traced.json", "<html>gone</html>", 404);
    QVERIFY(requestUpdate(socket));
    QVERIFY2(waitForOutput(process, "获取在线病毒库信息失败，可能是网络不通畅"),
             output.constData());
    QCOMPARE(avtest::readBytes(root.path() + "/data/virusdb/" + fileName(0)), databaseFile(1, 0));
    process.terminate();
    QVERIFY(process.waitForFinished(30000));
}

bool tst_ZNUpdateProcess::requestUpdate(const QString& socket)
{
    QJsonObject reply;
    // The start-up engine load may still hold the update thread.
    QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
        if (!KX2LocalServer::localRequest(socket, QJsonObject{{"cmd", "antivirus_updvdb_start"}},
                                          &reply, 10))
            return false;
        if (reply.value("err").toInt() == 0)
            return true;
        QThread::msleep(5); // refused with 9871 while that load runs
    }
    return false;
}

bool tst_ZNUpdateProcess::updateRunning(const QString& socket)
{
    QJsonObject reply;
    return KX2LocalServer::localRequest(socket, QJsonObject{{"cmd", "antivirus_updvdb_running"}},
                                        &reply, 10)
        && reply.value("err").toInt() == 0;
}

void tst_ZNUpdateProcess::killDuringUpdateLeavesCompleteSet()
{
    // A first, undisturbed run tells how long an update takes here until
    // its last file is installed (the last file's inode changes).
    qint64 updateUs = 0;
    qint64 stagingUs = 0; // until the new set begins to be staged
    {
        QTemporaryDir root;
        QProcess process;
        QString socket;
        QVERIFY(startTrial(root, process, socket));
        const QByteArray last =
            QFile::encodeName(root.path() + "/data/virusdb/" + fileName(kFiles - 1));
        struct stat before
        {
        }, now{};
        QVERIFY(::stat(last.constData(), &before) == 0);
        const QByteArray staged = QFile::encodeName(root.path() + "/data/virusdb.new");
        QElapsedTimer timer;
        timer.start();
        QVERIFY(requestUpdate(socket));
        while (::stat(last.constData(), &now) == 0 && now.st_ino == before.st_ino
               && timer.elapsed() < 60000) {
            if (stagingUs == 0 && ::stat(staged.constData(), &now) == 0)
                stagingUs = timer.nsecsElapsed() / 1000;
        }
        updateUs = qMax<qint64>(1000, timer.nsecsElapsed() / 1000 * 11 / 10);
        QVERIFY(stagingUs > 0);
        QTRY_VERIFY_WITH_TIMEOUT(!updateRunning(socket), 60000);
        for (int i = 0; i < kFiles; ++i)
            QCOMPARE(avtest::readBytes(root.path() + "/data/virusdb/" + fileName(i)),
                     databaseFile(2, i));
        process.kill();
        process.waitForFinished(10000);
    }

    int oldOnly = 0, newOnly = 0;
    QString lastRoot;
    QTemporaryDir keep; // the last trial's tree, for the restart below
    for (int trial = 0; trial < kTrials; ++trial) {
        QTemporaryDir root;
        QProcess process;
        QString socket;
        QVERIFY(startTrial(root, process, socket));
        const QString virusdb = root.path() + "/data/virusdb";
        QVERIFY(requestUpdate(socket));
        if (trial % 2 == 0) {
            // The kill lands anywhere in the update: download, install or
            // engine reload.
            QThread::usleep(QRandomGenerator::global()->bounded(quint32(updateUs)));
        } else {
            // The kill lands while the new set is staged, proven or
            // swapped in: at a random moment after staging began.
            const QByteArray staged = QFile::encodeName(virusdb + ".new");
            struct stat now
            {};
            QElapsedTimer timer;
            timer.start();
            while (::stat(staged.constData(), &now) != 0 && timer.elapsed() < 60000) {}
            QThread::usleep(QRandomGenerator::global()->bounded(
                quint32(qMax<qint64>(1, updateUs - stagingUs))));
        }
        process.kill();
        QVERIFY(process.waitForFinished(10000));

        // The set is whole: all old or all new. A swap cut between its two
        // renames (where the file system cannot exchange) leaves the proven
        // set staged, which the next run puts in place.
        QString set = virusdb;
        if (!QFileInfo(virusdb).isDir()) {
            set = virusdb + ".new";
            QVERIFY2(QFileInfo::exists(set + "/.proven"), qPrintable(QString::number(trial)));
        }
        int upgraded = 0;
        for (int i = 0; i < kFiles; ++i) {
            const QByteArray content = avtest::readBytes(set + "/" + fileName(i));
            QVERIFY2(content == databaseFile(1, i) || content == databaseFile(2, i),
                     qPrintable(QStringLiteral("trial %1: %2 is neither old nor new")
                                    .arg(trial)
                                    .arg(fileName(i))));
            upgraded += content == databaseFile(2, i);
        }
        QVERIFY2(upgraded == 0 || upgraded == kFiles,
                 qPrintable(QStringLiteral("trial %1: a mixed set").arg(trial)));
        QCOMPARE(QDir(set).entryList(QDir::Files).size(), kFiles);
        QVERIFY2(engineLoads(set), qPrintable(QStringLiteral("trial %1").arg(trial)));
        (upgraded == 0 ? oldOnly : newOnly) += 1;

        if (trial == kTrials - 1) {
            // Restarted, the service clears what a killed run left and loads.
            QVERIFY(QDir().rename(root.path() + "/data", keep.path() + "/data"));
            lastRoot = keep.path();
        }
    }
    qInfo("kills: %d before the new set was in place, %d after", oldOnly, newOnly);

    QProcess process;
    QJsonObject config = avtest::componentConfig(lastRoot);
    const QString socket = lastRoot + "/run/antivirus.sock";
    config["lpcid"] = socket;
    config["debuglevel"] = 0x02;
    QVERIFY(avtest::writeJson(lastRoot + "/etc/config.json", config));
    QVERIFY(avtest::writeJson(lastRoot + "/etc/settings.json",
                              QJsonObject{{"enabled", 1}, {"datadir", lastRoot + "/data"}}));
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(serviceBinary(), {"--cfg", lastRoot + "/etc/config.json"});
    QVERIFY(process.waitForStarted(20000));
    // The start-up run of the update thread has ended once the service
    // answers that no update runs.
    const auto startUpRunEnded = [&] {
        QJsonObject reply;
        return KX2LocalServer::localRequest(
                   socket, QJsonObject{{"cmd", "antivirus_updvdb_running"}}, &reply, 5)
            && reply.value("err").toInt() != 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(startUpRunEnded(), 30000);
    QVERIFY(!QFileInfo::exists(lastRoot + "/data/virusdb/.dl"));
    process.terminate();
    QVERIFY(process.waitForFinished(30000));
    QVERIFY2(!process.readAll().contains("病毒库信息装载失败"),
             "the engine did not load after the restart");
}

QTEST_GUILESS_MAIN(tst_ZNUpdateProcess)
#include "tst_znupdateprocess.moc"
