// Virus database update through the request methods antivirus_updvdb_*,
// over a real local socket served in-process, against a mirror served by a
// real HTTP server on 127.0.0.1, with real libclamav engines.

#include <QtTest>

#include <clamav.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "avtestsupport.h"
#include "httptestserver.h"
#include "kx2journals.h"
#include "kx2localserver.h"
#include "requestrouter.h"
#include "znantivirus.h"
#include "znantivirus_p.h"

namespace {

const int kRequestTimeoutMs = 30000;
const int kUpdateTimeoutMs = 60000;
const char kUpdateTime[] = "2026-12-07 05:00:00";

struct MirrorFile
{
    QString name;
    QByteArray bytes;
};

QString md5Of(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

// An .hdb line that detects `sample` as `name`.
QByteArray hdbLine(const QByteArray& sample, const char* name)
{
    return md5Of(sample).toLatin1() + ":" + QByteArray::number(sample.size()) + ":" + name + "\n";
}

QJsonObject item(const QString& name, qint64 size, const QString& md5)
{
    return QJsonObject{{"file", name}, {"size", double(size)}, {"md5", md5}};
}

// Every path below `dir`, relative, except the ones under `skip`.
QStringList tree(const QString& dir, const QStringList& skip)
{
    QStringList paths;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = QDir(dir).relativeFilePath(it.next());
        bool skipped = false;
        for (const QString& prefix : skip)
            skipped = skipped || path.startsWith(prefix);
        if (!skipped)
            paths << path;
    }
    paths.sort();
    return paths;
}

const QByteArray kOtherSample = "another sample, not a virus";
const QByteArray kThirdSample = "a third sample, not a virus either";

} // namespace

class tst_ZNUpdate : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void downloadsOnlyChangedFilesThenScans();
    void badDownloadsInstallNothing_data();
    void badDownloadsInstallNothing();
    void descriptionWithoutItemsIsAFailedFetch_data();
    void descriptionWithoutItemsIsAFailedFetch();
    void fileNamesMustBePlain_data();
    void fileNamesMustBePlain();
    void unreachableMirrorStillLoadsLocalFiles();
    void stopDuringSlowDownload_data();
    void stopDuringSlowDownload();
    void unloadableSetIsRefused();
    void descriptionListTriesTheNextAddress();
    void stopEndsFetchAndRetryPause();
    void stopEndsTheProof();
    void systemDirectoryIsCopiedNeverMoved();
    void relocationFollowsWorkArea();
    void sameDirectoryWrittenTwoWaysIsLeftAlone();
    void relocationIgnoresForeignNames();
    void relocationNeverFollowsLinks_data();
    void relocationNeverFollowsLinks();
    void relocationReplacesALinkedTarget();
    void relocationRaceTouchesNothingOutside();
    void requestContract();
    void endedRunReportsItsOwnOutcome();
    void scheduleStartsDueUpdate();
    void mirrorToolAndClientUpdateService();

private:
    QJsonObject request(const QString& cmd, const QJsonObject& params = QJsonObject());
    void startService(const QString& dataDirectory = QString());
    // A new router on the socket, configured for the mirror.
    void serveNewRouter();
    // A new service over the same directories, with its engine loaded.
    void restartService();
    void waitForUpdateThread();
    QJsonObject runUpdate();
    QJsonObject publish(const QList<MirrorFile>& files);
    QString scan(const QByteArray& sample);
    QString virusdb(const QString& name = QString()) const
    {
        return virusdbDir + (name.isEmpty() ? "" : "/" + name);
    }

    QScopedPointer<QTemporaryDir> root;
    QScopedPointer<HttpTestServer> mirror;
    QScopedPointer<RequestRouter> router;
    QScopedPointer<KX2LocalServer> server;
    ZNAntiVirusPrivate* d = nullptr;
    QString socketName;
    QString dataDir;
    QString virusdbDir;
};

void tst_ZNUpdate::init()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    root.reset(new QTemporaryDir());
    QVERIFY(root->isValid());
    dataDir = root->path() + "/data";
    virusdbDir = dataDir + "/virusdb";
    QVERIFY(QDir().mkpath(dataDir));
    mirror.reset(new HttpTestServer());
    QVERIFY(mirror->isListening());

    socketName = root->path() + "/run/antivirus.sock";
    serveNewRouter();
}

void tst_ZNUpdate::serveNewRouter()
{
    server.reset();
    router.reset(new RequestRouter());
    d = ZNAntiVirusPrivate::get(router->antivirusModule());
    QJsonObject config = avtest::componentConfig(root->path());
    config["virusdburl"] = mirror->url("/virusdb.json");
    KX2Journals journal;
    QVERIFY(router->loadConfigure(journal, config));
    server.reset(new KX2LocalServer());
    server->add(router.data());
    QVERIFY(server->start(socketName));
}

void tst_ZNUpdate::cleanup()
{
    server.reset();
    router.reset();
    d = nullptr;
    mirror.reset();
    root.reset();
}

// One request from a client thread while this thread serves the socket.
QJsonObject tst_ZNUpdate::request(const QString& cmd, const QJsonObject& params)
{
    QJsonObject reply;
    std::atomic<bool> done{false};
    bool answered = false;
    std::thread client([&] {
        answered =
            KX2LocalServer::localRequest(socketName, QJsonObject{{"cmd", cmd}, {"params", params}},
                                         &reply, kRequestTimeoutMs / 1000);
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done.load(); }, kRequestTimeoutMs + 5000))
        qWarning("the client thread did not end");
    client.join();
    if (!answered)
        qWarning("no reply to %s", qPrintable(cmd));
    return reply;
}

void tst_ZNUpdate::startService(const QString& dataDirectory)
{
    QVERIFY(avtest::writeJson(
        root->path() + "/etc/settings.json",
        QJsonObject{{"enabled", 1},
                    {"datadir", dataDirectory.isEmpty() ? dataDir : dataDirectory}}));
    KX2Journals journal;
    QVERIFY(router->settingsLoad(journal, nullptr));
    waitForUpdateThread();
}

void tst_ZNUpdate::restartService()
{
    serveNewRouter();
    KX2Journals journal;
    QVERIFY(router->settingsLoad(journal, nullptr));
    waitForUpdateThread();
}

void tst_ZNUpdate::waitForUpdateThread()
{
    QTRY_VERIFY_WITH_TIMEOUT(!d->updater.isRunning(), kUpdateTimeoutMs);
}

// Starts an update, waits for its end and returns the progress report.
QJsonObject tst_ZNUpdate::runUpdate()
{
    const QJsonObject started = request("antivirus_updvdb_start");
    if (started.value("err").toInt() != 0)
        qWarning("update not started: %s", QJsonDocument(started).toJson().constData());
    // The callers check the report, which shows an update that never ended.
    if (!QTest::qWaitFor([this] { return !d->updater.isRunning(); }, kUpdateTimeoutMs))
        qWarning("the update did not end");
    const QJsonObject reply = request("antivirus_updvdb_running");
    return reply.value("results").toObject();
}

// Serves `files` under /files/ and their description.
QJsonObject tst_ZNUpdate::publish(const QList<MirrorFile>& files)
{
    QJsonArray items;
    for (const MirrorFile& file : files) {
        mirror->setFile("/files/" + file.name, file.bytes);
        items.append(item(file.name, file.bytes.size(), md5Of(file.bytes)));
    }
    const QJsonObject description{
        {"url", " " + mirror->url("/files/") + " "}, {"items", items}, {"updatetime", kUpdateTime}};
    mirror->setFile("/virusdb.json", QJsonDocument(description).toJson());
    return description;
}

// The name the current engine gives `sample`; empty when clean or when
// there is no engine.
QString tst_ZNUpdate::scan(const QByteArray& sample)
{
    const QString path = root->path() + "/scan/" + md5Of(sample);
    if (!avtest::writeFile(path, sample))
        return "write failed";
    const ZNEngineRef engine = d->engines.current();
    if (!engine)
        return QString();
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    const char* name = nullptr;
    unsigned long scanned = 0;
    cl_scan_options options = *d->engines.options();
    const int result = cl_scandesc(fd, QFile::encodeName(path).constData(), &name, &scanned,
                                   engine.get(), &options);
    ::close(fd);
    // Unsigned databases get a suffix after the name.
    return result == CL_VIRUS ? QString::fromUtf8(name).section('.', 0, 1) : QString();
}

void tst_ZNUpdate::downloadsOnlyChangedFilesThenScans()
{
    QVERIFY(avtest::writeFile(virusdb("a.hdb"), avtest::eicarHdbLine()));
    QVERIFY(avtest::writeFile(virusdb("b.hdb"), hdbLine(kThirdSample, "Old.Sig")));
    startService();
    QCOMPARE(scan(kThirdSample), QString("Old.Sig"));
    QCOMPARE(scan(kOtherSample), QString());

    const QByteArray newB = hdbLine(kOtherSample, "Other.Sig");
    const QJsonObject description = publish({{"a.hdb", avtest::eicarHdbLine()}, {"b.hdb", newB}});
    QJsonObject progress = runUpdate();
    QCOMPARE(mirror->requestedPaths(), QList<QByteArray>({"/virusdb.json", "/files/b.hdb"}));
    QCOMPARE(progress.value("success").toInt(), 1);
    QCOMPARE(progress.value("total").toInt(), newB.size());
    QCOMPARE(progress.value("position").toInt(), newB.size());
    QCOMPARE(progress.value("rate").toInt(), 100);
    QCOMPARE(progress.value("updatetime").toString(), QString(kUpdateTime));
    QCOMPARE(avtest::readBytes(virusdb("b.hdb")), newB);
    QVERIFY(!QFileInfo::exists(virusdb(".dl")));
    QCOMPARE(avtest::readJson(root->path() + "/etc/virusdb.json"), description);

    QCOMPARE(scan(kOtherSample), QString("Other.Sig"));
    QCOMPARE(scan(kThirdSample), QString());
    QCOMPARE(scan(avtest::eicar()), QString("Test.Sig"));

    // Up to date: only the description is fetched, the rate stays, the
    // engine is rebuilt all the same.
    mirror->clearRequests();
    const cl_engine* before = d->engines.current().get();
    const int rate = progress.value("rate").toInt();
    progress = runUpdate();
    QCOMPARE(mirror->requestedPaths(), QList<QByteArray>({"/virusdb.json"}));
    QCOMPARE(progress.value("success").toInt(), 1);
    QCOMPARE(progress.value("rate").toInt(), rate);
    QCOMPARE(progress.value("total").toInt(), 0);
    QVERIFY(d->engines.current().get() != before);
    QCOMPARE(scan(kOtherSample), QString("Other.Sig"));
}

void tst_ZNUpdate::badDownloadsInstallNothing_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("wrong md5") << 0;
    QTest::newRow("wrong size") << 1;
    QTest::newRow("404 page") << 2;
    QTest::newRow("cut, no length") << 3;
    QTest::newRow("cut, full length announced") << 4;
    QTest::newRow("longer than listed") << 5;
}

void tst_ZNUpdate::badDownloadsInstallNothing()
{
    QFETCH(int, kind);
    const QByteArray oldB = hdbLine(kThirdSample, "Old.Sig");
    QVERIFY(avtest::writeFile(virusdb("a.hdb"), avtest::eicarHdbLine()));
    QVERIFY(avtest::writeFile(virusdb("b.hdb"), oldB));
    startService();
    const cl_engine* engine = d->engines.current().get();
    QVERIFY(engine);

    // A good new file first, then the bad one: neither may be installed.
    const QByteArray goodC = hdbLine(kOtherSample, "Other.Sig");
    QByteArray newB;
    for (int i = 0; i < 200; ++i)
        newB += hdbLine(QByteArray::number(i) + " sample", "Many.Sig");
    publish({{"c.hdb", goodC}, {"b.hdb", newB}});
    QJsonArray items{item("c.hdb", goodC.size(), md5Of(goodC)),
                     item("b.hdb", newB.size(), md5Of(newB))};
    HttpTestServer::Reply reply;
    reply.body = newB;
    switch (kind) {
    case 0:
        items[1] = item("b.hdb", newB.size(), md5Of(newB + "x"));
        break;
    case 1:
        items[1] = item("b.hdb", newB.size() + 1, md5Of(newB));
        break;
    case 2:
        mirror->remove("/files/b.hdb");
        break;
    case 3:
        reply.cutAfter = newB.size() / 2;
        reply.announceFull = false;
        break;
    case 4:
        reply.cutAfter = newB.size() / 2;
        break;
    case 5:
        reply.body = newB + QByteArray(1 << 20, '#');
        reply.chunkSize = 4096;
        break;
    }
    if (kind >= 3)
        mirror->setReply("/files/b.hdb", reply);
    const QJsonObject description{
        {"url", mirror->url("/files/")}, {"items", items}, {"updatetime", kUpdateTime}};
    mirror->setFile("/virusdb.json", QJsonDocument(description).toJson());

    const QJsonObject progress = runUpdate();
    QCOMPARE(progress.value("success").toInt(), 0);
    QVERIFY(mirror->requestedPaths().contains("/files/b.hdb"));
    QVERIFY(!QFileInfo::exists(virusdb("c.hdb")));
    QCOMPARE(avtest::readBytes(virusdb("b.hdb")), oldB);
    QVERIFY(!QFileInfo::exists(virusdb(".dl")));
    QCOMPARE(d->engines.current().get(), engine);
    QCOMPARE(scan(kThirdSample), QString("Old.Sig"));
    // The description names the installed set: none was, none is stored;
    // the reason names the file.
    QVERIFY(!progress.contains("updatetime"));
    QVERIFY(!QFileInfo::exists(root->path() + "/etc/virusdb.json"));
    QVERIFY2(progress.value("lastreason").toString().contains("/files/b.hdb"),
             qPrintable(progress.value("lastreason").toString()));
}

void tst_ZNUpdate::descriptionWithoutItemsIsAFailedFetch_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("array") << QByteArray("[{\"file\":\"a.hdb\"}]");
    QTest::newRow("no items") << QByteArray("{\"url\":\"http://127.0.0.1/\",\"updatetime\":\"x\"}");
    QTest::newRow("items not an array")
        << QByteArray("{\"items\":{\"file\":\"a.hdb\"},\"updatetime\":\"x\"}");
    QTest::newRow("error page") << QByteArray("<html>not found</html>");
    QTest::newRow("valid description behind an error status")
        << QByteArray("{\"url\":\"http://127.0.0.1:1/\",\"items\":[],\"updatetime\":\"x\"}");
}

void tst_ZNUpdate::descriptionWithoutItemsIsAFailedFetch()
{
    QFETCH(QByteArray, body);
    QVERIFY(avtest::writeFile(virusdb("a.hdb"), avtest::eicarHdbLine()));
    startService();
    mirror->setFile("/virusdb.json", body,
                    QByteArray(QTest::currentDataTag()).contains("status") ? 500 : 404);
    const QJsonObject progress = runUpdate();
    QCOMPARE(progress.value("success").toInt(), 0);
    QVERIFY(progress.value("lastreason").toString().contains("/virusdb.json"));
    QVERIFY(!progress.contains("updatetime"));
    QVERIFY(!QFileInfo::exists(root->path() + "/etc/virusdb.json"));
    QCOMPARE(mirror->requestedPaths(), QList<QByteArray>({"/virusdb.json"}));
    QCOMPARE(scan(avtest::eicar()), QString("Test.Sig"));
}

void tst_ZNUpdate::fileNamesMustBePlain_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("parent") << "../x.hdb";
    QTest::newRow("absolute") << "ABSOLUTE";
    QTest::newRow("subdirectory") << "sub/x.hdb";
    QTest::newRow("dot dot") << "..";
    QTest::newRow("dot") << ".";
    QTest::newRow("empty") << "";
    QTest::newRow("download directory") << ".dl";
    QTest::newRow("nul") << QString("x.hdb") + QChar(0) + "../../y";
    QTest::newRow("listed twice") << "c.hdb";
}

void tst_ZNUpdate::fileNamesMustBePlain()
{
    QFETCH(QString, name);
    if (name == "ABSOLUTE")
        name = root->path() + "/escape.hdb";
    QVERIFY(avtest::writeFile(virusdb("a.hdb"), avtest::eicarHdbLine()));
    startService();
    const QStringList before = tree(root->path(), {"etc", "run", "scan"});

    const QByteArray good = hdbLine(kOtherSample, "Other.Sig");
    mirror->setFile("/files/c.hdb", good);
    mirror->setFile("/files/" + QUrl::toPercentEncoding(name, "/"), good);
    const QJsonObject description{
        {"url", mirror->url("/files/")},
        {"items",
         QJsonArray{item("c.hdb", good.size(), md5Of(good)), item(name, good.size(), md5Of(good))}},
        {"updatetime", kUpdateTime}};
    mirror->setFile("/virusdb.json", QJsonDocument(description).toJson());

    const QJsonObject progress = runUpdate();
    QCOMPARE(progress.value("success").toInt(), 0);
    QCOMPARE(mirror->requestedPaths(), QList<QByteArray>({"/virusdb.json"}));
    QCOMPARE(tree(root->path(), {"etc", "run", "scan"}), before);
    QCOMPARE(scan(kOtherSample), QString());
}

void tst_ZNUpdate::unreachableMirrorStillLoadsLocalFiles()
{
    // A fresh service is given a work area that already holds signature
    // files, while the system directory it would take files from is empty:
    // that relocation fails, so the database is fetched online, and the
    // mirror cannot be reached.
    d->configuration.virusdbUrls =
        QStringList{QStringLiteral("http://127.0.0.1:1/virusdb.json")}; // nothing listens there
    QVERIFY(QDir().mkpath(root->path() + "/system-virusdb"));
    QVERIFY(avtest::writeFile(virusdb("a.hdb"), avtest::eicarHdbLine()));
    QJsonObject reply =
        request("antivirus_settings_save", QJsonObject{{"enabled", 1}, {"datadir", dataDir}});
    QCOMPARE(reply.value("err").toInt(), 0);
    waitForUpdateThread();
    QVERIFY(d->updater.upgradeWanted());
    QCOMPARE(request("antivirus_updvdb_running")
                 .value("results")
                 .toObject()
                 .value("lastresult")
                 .toInt(-1),
             0);

    // The files in place were neither emptied away by the failed relocation
    // nor left unloaded by the failed update.
    QCOMPARE(avtest::readBytes(virusdb("a.hdb")), avtest::eicarHdbLine());
    QCOMPARE(scan(avtest::eicar()), QString("Test.Sig"));
    QVERIFY(!d->updater.reloadPending());

    // With an engine in use, a failed update leaves it as it is.
    const cl_engine* engine = d->engines.current().get();
    QVERIFY(avtest::writeFile(virusdb("b.hdb"), hdbLine(kOtherSample, "Other.Sig")));
    const QJsonObject progress = runUpdate();
    QCOMPARE(progress.value("lastresult").toInt(-1), 0);
    QCOMPARE(d->engines.current().get(), engine);
    QCOMPARE(scan(kOtherSample), QString());
}

void tst_ZNUpdate::stopDuringSlowDownload_data()
{
    QTest::addColumn<int>("pauseMs");
    QTest::newRow("slow mirror") << 100;
    // Sends one chunk, then nothing: the stop must not wait for the next.
    QTest::newRow("stalled mirror") << 600000;
}

void tst_ZNUpdate::stopDuringSlowDownload()
{
    QFETCH(int, pauseMs);
    const QByteArray oldB = hdbLine(kThirdSample, "Old.Sig");
    QVERIFY(avtest::writeFile(virusdb("b.hdb"), oldB));
    startService();
    const cl_engine* engine = d->engines.current().get();
    QVERIFY(engine);

    // Stopping while nothing runs answers at once and spoils nothing.
    QCOMPARE(request("antivirus_updvdb_stop").value("err").toInt(), 0);

    QByteArray newB;
    for (int i = 0; i < 4000; ++i)
        newB += hdbLine(QByteArray::number(i) + " slow sample", "Slow.Sig");
    publish({{"b.hdb", newB}});
    HttpTestServer::Reply slow;
    slow.body = newB;
    slow.chunkSize = 2048;
    slow.pauseMs = pauseMs;
    mirror->setReply("/files/b.hdb", slow);

    QCOMPARE(request("antivirus_updvdb_start").value("err").toInt(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(d->updater.progress().value("position").toDouble() > 0,
                             kUpdateTimeoutMs);
    QJsonObject reply = request("antivirus_updvdb_running");
    QCOMPARE(reply.value("err").toInt(), 0);
    QCOMPARE(reply.value("results").toObject().value("total").toInt(), newB.size());
    QVERIFY(QFileInfo(virusdb(".dl")).isDir());
    reply = request("antivirus_updvdb_start");
    QCOMPARE(reply.value("err").toInt(), 9871);
    QCOMPARE(reply.value("errmsg").toString(), QStringLiteral("正在执行中，请稍后再次重试"));

    QElapsedTimer timer;
    timer.start();
    QCOMPARE(request("antivirus_updvdb_stop").value("err").toInt(), 0);
    QVERIFY2(timer.elapsed() < 5000, "the stop waited for more than a chunk");
    QVERIFY(!d->updater.isRunning());
    QVERIFY(d->updater.progress().value("position").toDouble() < newB.size());
    QVERIFY(!QFileInfo::exists(virusdb(".dl")));
    QCOMPARE(avtest::readBytes(virusdb("b.hdb")), oldB);
    QCOMPARE(d->engines.current().get(), engine);
    reply = request("antivirus_updvdb_running");
    QCOMPARE(reply.value("err").toInt(), 9999);
    QCOMPARE(reply.value("results").toObject().value("success").toInt(), 0);

    // The next update is not affected by the earlier stop.
    mirror->setFile("/files/b.hdb", newB);
    QCOMPARE(runUpdate().value("success").toInt(), 1);
    QCOMPARE(avtest::readBytes(virusdb("b.hdb")), newB);
}

void tst_ZNUpdate::unloadableSetIsRefused()
{
    const QByteArray oldB = hdbLine(kThirdSample, "Old.Sig");
    QVERIFY(avtest::writeFile(virusdb("a.hdb"), avtest::eicarHdbLine()));
    QVERIFY(avtest::writeFile(virusdb("b.hdb"), oldB));
    startService();
    publish({{"a.hdb", avtest::eicarHdbLine()}, {"b.hdb", oldB}});
    QCOMPARE(runUpdate().value("updatetime").toString(), QString(kUpdateTime));
    const cl_engine* engine = d->engines.current().get();

    // One garbage line, served with its true size and MD5, beside a good
    // new file: nothing of the set is installed.
    const QByteArray goodC = hdbLine(kOtherSample, "Other.Sig");
    const QByteArray brokenB = oldB + "this is not a signature\n";
    QJsonObject description = publish({{"c.hdb", goodC}, {"b.hdb", brokenB}});
    description["updatetime"] = "2026-12-08 05:00:00";
    mirror->setFile("/virusdb.json", QJsonDocument(description).toJson());
    const QJsonObject progress = runUpdate();
    QCOMPARE(progress.value("lastresult").toInt(), 0);
    QVERIFY2(progress.value("lastreason").toString().contains("b.hdb"),
             qPrintable(progress.value("lastreason").toString()));
    QCOMPARE(progress.value("updatetime").toString(), QString(kUpdateTime));
    QCOMPARE(progress.value("engine").toObject().value("loaded").toInt(), 1);
    QCOMPARE(avtest::readBytes(virusdb("b.hdb")), oldB);
    QVERIFY(!QFileInfo::exists(virusdb("c.hdb")));
    QVERIFY(!QFileInfo::exists(virusdbDir + ".new"));
    QCOMPARE(d->engines.current().get(), engine);
    QCOMPARE(scan(kThirdSample), QString("Old.Sig"));

    // A restarted service scans with the set that is installed.
    restartService();
    QCOMPARE(scan(kThirdSample), QString("Old.Sig"));
    QCOMPARE(scan(avtest::eicar()), QString("Test.Sig"));

    // Once the mirror is mended, the next run installs the whole set.
    publish({{"c.hdb", goodC}, {"b.hdb", oldB}});
    QCOMPARE(runUpdate().value("lastresult").toInt(), 1);
    QCOMPARE(scan(kOtherSample), QString("Other.Sig"));
    QVERIFY(QFileInfo::exists(virusdbDir + ".good/c.hdb"));
}

void tst_ZNUpdate::descriptionListTriesTheNextAddress()
{
    QVERIFY(avtest::writeFile(virusdb("a.hdb"), avtest::eicarHdbLine()));
    startService();
    const QByteArray goodC = hdbLine(kOtherSample, "Other.Sig");
    publish({{"c.hdb", goodC}});
    // Nothing listens on the first address; the second is the mirror.
    d->configuration.virusdbUrls =
        QStringList{"http://127.0.0.1:1/virusdb.json", mirror->url("/virusdb.json")};
    const QJsonObject progress = runUpdate();
    QCOMPARE(progress.value("lastresult").toInt(), 1);
    QVERIFY(!progress.contains("lastreason"));
    QCOMPARE(scan(kOtherSample), QString("Other.Sig"));
    QCOMPARE(scan(avtest::eicar()), QString("Test.Sig"));
}

void tst_ZNUpdate::stopEndsFetchAndRetryPause()
{
    QVERIFY(avtest::writeFile(virusdb("a.hdb"), avtest::eicarHdbLine()));
    startService();
    const auto stopWithinASecond = [this] {
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(request("antivirus_updvdb_stop").value("err").toInt(), 0);
        QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(!d->updater.isRunning());
    };

    // A description that sends one chunk and then nothing.
    HttpTestServer::Reply stalled;
    stalled.body = QJsonDocument(publish({})).toJson();
    stalled.chunkSize = 8;
    stalled.pauseMs = 600000;
    mirror->setReply("/virusdb.json", stalled);
    QCOMPARE(request("antivirus_updvdb_start").value("err").toInt(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!mirror->requestedPaths().isEmpty(), kUpdateTimeoutMs);
    stopWithinASecond();

    // The pause between two attempts at an address that refuses.
    d->configuration.virusdbUrls = QStringList{"http://127.0.0.1:1/virusdb.json"};
    QCOMPARE(request("antivirus_updvdb_start").value("err").toInt(), 0);
    stopWithinASecond();
    const QString reason = request("antivirus_updvdb_running")
                               .value("results")
                               .toObject()
                               .value("lastreason")
                               .toString();
    QVERIFY2(reason.endsWith("stopped"), qPrintable(reason));
    QCOMPARE(scan(avtest::eicar()), QString("Test.Sig"));
}

void tst_ZNUpdate::stopEndsTheProof()
{
    QVERIFY(avtest::writeFile(virusdb("a.hdb"), avtest::eicarHdbLine()));
    startService();
    const cl_engine* engine = d->engines.current().get();
    // A set large enough that loading it takes a while.
    QByteArray big;
    for (int i = 0; i < 400000; ++i)
        big += hdbLine("proof sample " + QByteArray::number(i), "Big.Sig");
    publish({{"a.hdb", avtest::eicarHdbLine()}, {"big.hdb", big}});
    QCOMPARE(request("antivirus_updvdb_start").value("err").toInt(), 0);
    // Staged: the download is done and the proof is loading.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(virusdbDir + ".new/big.hdb"), kUpdateTimeoutMs);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(request("antivirus_updvdb_stop").value("err").toInt(), 0);
    QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(!d->updater.isRunning());
    QVERIFY(!QFileInfo::exists(virusdb("big.hdb")));
    QCOMPARE(d->engines.current().get(), engine);

    // The next run waits for the abandoned load, then proves and installs.
    const QJsonObject progress = runUpdate();
    QCOMPARE(progress.value("lastresult").toInt(), 1);
    QCOMPARE(scan("proof sample 399999"), QString("Big.Sig"));
}

void tst_ZNUpdate::systemDirectoryIsCopiedNeverMoved()
{
    // The distribution's directory, with its updater's own files.
    const QString system = root->path() + "/system-virusdb";
    QVERIFY(avtest::writeFile(system + "/a.hdb", avtest::eicarHdbLine()));
    QVERIFY(avtest::writeFile(system + "/freshclam.dat", "updater state"));
    const QStringList before = tree(system, {});

    // The first work area takes its set from there.
    startService();
    QCOMPARE(tree(system, {}), before);
    QCOMPARE(avtest::readBytes(system + "/a.hdb"), avtest::eicarHdbLine());
    QCOMPARE(avtest::readBytes(virusdb("a.hdb")), avtest::eicarHdbLine());
    QVERIFY(!QFileInfo::exists(virusdb("freshclam.dat")));
    QCOMPARE(scan(avtest::eicar()), QString("Test.Sig"));
    QVERIFY(mirror->requestedPaths().isEmpty());

    // A newer set there is taken by the next run, through the proof and
    // without any transfer.
    QVERIFY(avtest::writeFile(system + "/b.hdb", hdbLine(kOtherSample, "Other.Sig")));
    QVERIFY(d->updater.prepare(false));
    waitForUpdateThread();
    QCOMPARE(scan(kOtherSample), QString("Other.Sig"));
    QVERIFY(mirror->requestedPaths().isEmpty());
    QVERIFY(QFileInfo::exists(system + "/b.hdb"));

    // One that does not load is not.
    QVERIFY(avtest::writeFile(system + "/c.hdb", "garbage\n"));
    QVERIFY(d->updater.prepare(false));
    waitForUpdateThread();
    QVERIFY(!QFileInfo::exists(virusdb("c.hdb")));
    QCOMPARE(scan(kOtherSample), QString("Other.Sig"));

    // Refused until the directory changes; mended, it is taken.
    QVERIFY(avtest::writeFile(system + "/c.hdb", hdbLine(kThirdSample, "Third.Sig")));
    QVERIFY(d->updater.prepare(false));
    waitForUpdateThread();
    QCOMPARE(scan(kThirdSample), QString("Third.Sig"));
}

void tst_ZNUpdate::relocationFollowsWorkArea()
{
    const QString areaB = root->path() + "/b";
    QVERIFY(QDir().mkpath(areaB + "/virusdb"));
    QVERIFY(avtest::writeFile(areaB + "/virusdb/stale.hdb", hdbLine(kThirdSample, "Stale.Sig")));
    QVERIFY(avtest::writeFile(virusdb("a.hdb"), avtest::eicarHdbLine()));
    startService();
    const cl_engine* engine = d->engines.current().get();
    QVERIFY(engine);

    QJsonObject reply =
        request("antivirus_settings_save", QJsonObject{{"enabled", 1}, {"datadir", areaB}});
    QCOMPARE(reply.value("err").toInt(), 0);
    waitForUpdateThread();
    QVERIFY(QFileInfo::exists(areaB + "/virusdb/a.hdb"));
    QVERIFY(!QFileInfo::exists(areaB + "/virusdb/stale.hdb")); // the new place starts empty
    QVERIFY(!QFileInfo::exists(virusdb("a.hdb")));
    QVERIFY(QFileInfo(virusdbDir).isDir()); // the old directory stays
    QVERIFY(d->engines.current().get() != engine);
    QCOMPARE(scan(avtest::eicar()), QString("Test.Sig"));
    QCOMPARE(scan(kThirdSample), QString());
}

void tst_ZNUpdate::sameDirectoryWrittenTwoWaysIsLeftAlone()
{
    QVERIFY(avtest::writeFile(virusdb("a.hdb"), avtest::eicarHdbLine()));
    startService();

    // A link to the work area is another name for the same directory.
    const QString alias = root->path() + "/alias";
    QVERIFY(QFile::link(dataDir, alias));
    QJsonObject reply =
        request("antivirus_settings_save", QJsonObject{{"enabled", 1}, {"datadir", alias}});
    QCOMPARE(reply.value("err").toInt(), 0);
    QCOMPARE(d->settings.get().virusdbDir, alias + "/virusdb");
    waitForUpdateThread();
    QCOMPARE(avtest::readBytes(virusdb("a.hdb")), avtest::eicarHdbLine());

    // The same path with a trailing "/." written out.
    d->updater.queueRelocation(virusdbDir, dataDir + "/./virusdb/");
    QVERIFY(d->updater.prepare(false));
    waitForUpdateThread();
    QCOMPARE(avtest::readBytes(virusdb("a.hdb")), avtest::eicarHdbLine());
    QVERIFY(!d->updater.upgradeWanted());
    QCOMPARE(scan(avtest::eicar()), QString("Test.Sig"));
}

void tst_ZNUpdate::relocationIgnoresForeignNames()
{
    startService();
    // An old directory whose own description names a file outside it.
    const QString from = root->path() + "/old/virusdb";
    const QString secret = root->path() + "/old/secret";
    QVERIFY(avtest::writeFile(secret, "keep me here"));
    QVERIFY(avtest::writeJson(
        from + "/virusdb.json",
        QJsonObject{{"items", QJsonArray{item("../secret", 12, md5Of("keep me here"))}}}));
    d->updater.queueRelocation(from, root->path() + "/new/virusdb");
    d->updater.queueRelocation(from, root->path() + "/later/virusdb");
    QVERIFY(d->updater.prepare(false));
    waitForUpdateThread();
    QCOMPARE(avtest::readBytes(secret), QByteArray("keep me here"));
    QVERIFY(!QFileInfo::exists(root->path() + "/new/secret"));
    QVERIFY(!QFileInfo::exists(root->path() + "/later")); // the rest of the queue was dropped
    QCOMPARE(d->updater.queuedRelocations(), 0);
    QVERIFY(d->updater.upgradeWanted()); // fetched again instead
}

void tst_ZNUpdate::relocationNeverFollowsLinks_data()
{
    QTest::addColumn<bool>("otherFileSystem");
    QTest::newRow("same file system") << false;
    QTest::newRow("other file system") << true;
}

void tst_ZNUpdate::relocationNeverFollowsLinks()
{
    QFETCH(bool, otherFileSystem);
    startService();
    QScopedPointer<QTemporaryDir> other;
    QString to = root->path() + "/new/virusdb";
    if (otherFileSystem) {
        other.reset(new QTemporaryDir("/dev/shm/zn-relocation-XXXXXX"));
        struct stat a, b;
        if (!other->isValid() || ::stat("/dev/shm", &a) != 0
            || ::stat(QFile::encodeName(root->path()).constData(), &b) != 0 || a.st_dev == b.st_dev)
            QSKIP("no second file system at /dev/shm");
        to = other->path() + "/virusdb";
    }
    // A user's old database directory: its description lists a link to a
    // file only root may read, and a link to a directory of root's.
    const QString secret = root->path() + "/secret";
    QVERIFY(avtest::writeFile(secret, "root only"));
    QVERIFY(QFile::setPermissions(secret, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    const QString from = root->path() + "/user/virusdb";
    QVERIFY(avtest::writeFile(from + "/a.hdb", avtest::eicarHdbLine()));
    QVERIFY(QFile::link(secret, from + "/loot.txt"));
    QVERIFY(avtest::writeJson(
        from + "/virusdb.json",
        QJsonObject{
            {"items", QJsonArray{item("a.hdb", 0, ""), item("loot.txt", 9, md5Of("root only"))}}}));
    d->updater.queueRelocation(from, to);
    QVERIFY(d->updater.prepare(false));
    waitForUpdateThread();
    QVERIFY(!QFileInfo::exists(to + "/loot.txt") || QFileInfo(to + "/loot.txt").isSymLink());
    QCOMPARE(avtest::readBytes(secret), QByteArray("root only"));

    // The old directory itself a link to root's directory: nothing moves.
    const QString rootDir = root->path() + "/rootdir";
    QVERIFY(avtest::writeFile(rootDir + "/b.hdb", avtest::eicarHdbLine()));
    QVERIFY(QDir(root->path() + "/user2").mkpath("."));
    QVERIFY(QFile::link(rootDir, root->path() + "/user2/virusdb"));
    d->updater.queueRelocation(root->path() + "/user2/virusdb", to);
    QVERIFY(d->updater.prepare(false));
    waitForUpdateThread();
    QVERIFY(QFileInfo::exists(rootDir + "/b.hdb"));
    QVERIFY(!QFileInfo::exists(to + "/b.hdb"));
}

// The target virusdb replaced by a link to another directory: the files
// land in a real directory in the link's place, and what the link pointed
// at is neither emptied nor written.
void tst_ZNUpdate::relocationReplacesALinkedTarget()
{
    startService();
    const QString from = root->path() + "/old/virusdb";
    QVERIFY(avtest::writeFile(from + "/a.hdb", avtest::eicarHdbLine()));
    const QString elsewhere = root->path() + "/elsewhere";
    QVERIFY(avtest::writeFile(elsewhere + "/precious", "keep me"));
    const QString to = root->path() + "/new/virusdb";
    QVERIFY(QDir().mkpath(root->path() + "/new"));
    QVERIFY(QFile::link(elsewhere, to));

    d->updater.queueRelocation(from, to);
    QVERIFY(d->updater.prepare(false));
    waitForUpdateThread();
    QVERIFY(!QFileInfo(to).isSymLink());
    QVERIFY(QFileInfo(to).isDir());
    QCOMPARE(avtest::readBytes(to + "/a.hdb"), avtest::eicarHdbLine());
    QCOMPARE(QDir(elsewhere).entryList(QDir::Files), QStringList{"precious"});
    QCOMPARE(avtest::readBytes(elsewhere + "/precious"), QByteArray("keep me"));
}

// A user keeps exchanging the database directory of a work area of theirs
// with a link to a directory only root may enter, while the administrator
// moves the work area back and forth: a work area the user can write is
// refused at every save, the moves between root's work areas reach nothing
// the user can swap, and root's directory is never touched.
void tst_ZNUpdate::relocationRaceTouchesNothingOutside()
{
    QVERIFY(::chmod(QFile::encodeName(root->path()), 0711) == 0);
    const QString victim = root->path() + "/victim";
    for (int i = 0; i < 100; ++i)
        QVERIFY(avtest::writeFile(victim + QString("/f%1.hdb").arg(i), QByteArray::number(i)));
    QVERIFY(::chmod(QFile::encodeName(victim), 0700) == 0);
    const QString user = root->path() + "/user";
    const QString userArea = user + "/area";
    QVERIFY(QDir().mkpath(userArea) && avtest::giveToNobody(user)
            && avtest::giveToNobody(userArea));
    const QStringList areas{root->path() + "/a", root->path() + "/b"};
    QVERIFY(avtest::writeFile(virusdb("a.hdb"), avtest::eicarHdbLine()));
    startService();

    const QByteArray link = QFile::encodeName(userArea + "/link");
    const QByteArray target = QFile::encodeName(victim);
    const QList<QByteArray> swapped{QFile::encodeName(userArea + "/virusdb"),
                                    QFile::encodeName(areas.at(0) + "/virusdb"),
                                    QFile::encodeName(areas.at(1) + "/virusdb")};
    const pid_t attacker = avtest::forkAsNobody([&] {
        for (;;) {
            for (const QByteArray& name : swapped) {
                ::symlink(target.constData(), link.constData());
                if (::renameat2(AT_FDCWD, name.constData(), AT_FDCWD, link.constData(),
                                RENAME_EXCHANGE)
                    != 0)
                    ::rename(link.constData(), name.constData());
            }
        }
    });
    QVERIFY(attacker > 0);
    int relocations = 0;
    for (int i = 0; relocations < 50; ++i) {
        const bool users = i % 3 == 2;
        const QString area = users ? userArea : areas.at(relocations % 2);
        const QJsonObject reply =
            request("antivirus_settings_save", QJsonObject{{"enabled", 1}, {"datadir", area}});
        if (users) {
            QCOMPARE(reply.value("err").toInt(), 9990);
            // Queued past the save's check, the move itself refuses it.
            d->updater.queueRelocation(d->settings.get().virusdbDir, userArea + "/virusdb");
            QVERIFY(d->updater.prepare(false));
            waitForUpdateThread();
            continue;
        }
        QCOMPARE(reply.value("err").toInt(), 0);
        waitForUpdateThread();
        ++relocations;
        QCOMPARE(avtest::readBytes(area + "/virusdb/a.hdb"), avtest::eicarHdbLine());
    }
    ::kill(attacker, SIGKILL);
    QCOMPARE(::waitpid(attacker, nullptr, 0), attacker);

    QCOMPARE(scan(avtest::eicar()), QString("Test.Sig"));
    QCOMPARE(QDir(victim).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 100);
    for (int i = 0; i < 100; ++i)
        QCOMPARE(avtest::readBytes(victim + QString("/f%1.hdb").arg(i)), QByteArray::number(i));
    // Nothing the service made is in the user's directory.
    QDirIterator it(user, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        struct stat info;
        QVERIFY(::lstat(QFile::encodeName(it.next()).constData(), &info) == 0);
        QCOMPARE(info.st_uid, avtest::kNobody);
    }
}

void tst_ZNUpdate::requestContract()
{
    // A fresh connection: the report comes with the journal's code.
    QJsonObject reply = request("antivirus_updvdb_running");
    QCOMPARE(reply.value("err").toInt(), 9999);
    const QJsonObject results = reply.value("results").toObject();
    QCOMPARE(QStringList(results.keys()),
             QStringList({"engine", "position", "rate", "success", "total"}));
    QCOMPARE(results.value("engine").toObject(), QJsonObject({{"loaded", 0}}));

    reply = request("antivirus_updvdb_start");
    QCOMPARE(reply.value("err").toInt(), 9869);
    QCOMPARE(reply.value("errmsg").toString(), QStringLiteral("没有设置工作区路径，请先进行设置 "));
    QVERIFY(!d->updater.upgradeWanted());

    // Help only: nothing is started.
    startService();
    QJsonObject helpOnly;
    std::atomic<bool> done{false};
    std::thread client([&] {
        KX2LocalServer::localRequest(
            socketName, QJsonObject{{"cmd", "antivirus_updvdb_start"}, {"help", false}}, &helpOnly,
            20);
        done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(done, kRequestTimeoutMs);
    client.join();
    QCOMPARE(helpOnly.value("comment").toString(), QString(""));
    QVERIFY(!d->updater.upgradeWanted());
    QVERIFY(mirror->requests().isEmpty());

    reply = request("help_interfaces");
    const QJsonObject all = reply.value("results").toObject();
    QCOMPARE(all.value("antivirus_updvdb_running").toObject().value("comment").toString(),
             QStringLiteral("<<此接口没有提供使用说明>>"));
    for (const char* name : {"antivirus_updvdb_start", "antivirus_updvdb_stop"}) {
        QCOMPARE(all.value(name).toObject().value("comment").toString(), QString(""));
        QCOMPARE(all.value(name).toObject().value("params-comment").toString(),
                 QStringLiteral("本接口没有参数"));
    }

    // Slot order: right after the settings methods.
    const QMetaObject* meta = router->metaObject();
    const int save =
        meta->indexOfMethod("antivirus_settings_save(QJsonObject*,QJsonObject,KX2Cabinet*)");
    QVERIFY(save >= 0);
    QCOMPARE(meta->method(save + 1).name(), QByteArray("antivirus_updvdb_running"));
    QCOMPARE(meta->method(save + 2).name(), QByteArray("antivirus_updvdb_start"));
    QCOMPARE(meta->method(save + 3).name(), QByteArray("antivirus_updvdb_stop"));
}

// A client that polls until no run is going on (znavctl update --wait)
// takes the first such report as the outcome of the run it waited for.
void tst_ZNUpdate::endedRunReportsItsOwnOutcome()
{
    QVERIFY(avtest::writeFile(virusdb("a.hdb"), avtest::eicarHdbLine()));
    startService();
    ZNAntiVirus* service = router->antivirusModule();
    // Runs succeed and fail in turn; a failed one on a file of its own name.
    for (int run = 0; run < 40; ++run) {
        const QString name = QString("r%1.hdb").arg(run);
        const bool succeeds = run % 2 == 0;
        const QByteArray bytes = hdbLine("sample " + name.toUtf8(), "Run.Sig");
        if (succeeds)
            mirror->setFile("/files/" + name, bytes);
        const QJsonObject description{{"url", mirror->url("/files/")},
                                      {"items", QJsonArray{item(name, bytes.size(), md5Of(bytes))}},
                                      {"updatetime", kUpdateTime}};
        mirror->setFile("/virusdb.json", QJsonDocument(description).toJson());
        QVERIFY(d->updater.requestUpgrade().ok());
        QJsonObject report;
        QElapsedTimer waited;
        waited.start();
        for (bool running = true; running;) {
            report = service->updVdbProgress(&running);
            QVERIFY(waited.elapsed() < kUpdateTimeoutMs);
        }
        const QString reason = report.value("lastreason").toString();
        QVERIFY2(report.value("lastresult").toInt() == (succeeds ? 1 : 0)
                     && (succeeds ? reason.isEmpty() : reason.endsWith(name + ": HTTP 404")),
                 qPrintable(QString("run %1: %2").arg(run).arg(QString(QJsonDocument(report).toJson()))));
    }
}

void tst_ZNUpdate::scheduleStartsDueUpdate()
{
    QVERIFY(avtest::writeFile(virusdb("a.hdb"), avtest::eicarHdbLine()));
    startService();
    publish({{"a.hdb", avtest::eicarHdbLine()}});
    const quint32 now = quint32(QDateTime::currentSecsSinceEpoch());
    ZNSchedule schedule = d->scheduler.schedule();
    schedule.updateNext = now + 3600;
    d->scheduler.setSchedule(schedule);
    d->scheduler.pass(now);
    QVERIFY(!d->updater.isRunning());
    QVERIFY(mirror->requests().isEmpty());

    schedule.updateNext = now - 1;
    d->scheduler.setSchedule(schedule);
    d->scheduler.pass(now);
    waitForUpdateThread();
    QCOMPARE(mirror->requestedPaths(), QList<QByteArray>({"/virusdb.json"}));
    QCOMPARE(d->updater.progress().value("success").toInt(), 1);
    const QDateTime next = QDateTime::fromSecsSinceEpoch(d->scheduler.schedule().updateNext);
    QVERIFY(next > QDateTime::currentDateTime());
    QCOMPARE(next.time(), QTime(5, 0));
}

void tst_ZNUpdate::mirrorToolAndClientUpdateService()
{
    const QString bin = qEnvironmentVariable("ZN_BIN_DIR");
    QVERIFY(avtest::writeFile(virusdb("a.hdb"), hdbLine(kThirdSample, "Old.Sig")));
    startService();

    // An administrator's mirror: the signature files and the tool's output.
    const QString mirrorDir = root->path() + "/mirror";
    QVERIFY(avtest::writeFile(mirrorDir + "/a.hdb", avtest::eicarHdbLine()));
    QVERIFY(avtest::writeFile(mirrorDir + "/b.hdb", hdbLine(kOtherSample, "Other.Sig")));
    QProcess tool;
    tool.start(bin + "/znavmirror", {"--updatetime", kUpdateTime, mirrorDir, mirror->url("/db")});
    QVERIFY(tool.waitForFinished(20000));
    QCOMPARE(tool.exitCode(), 0);
    for (const QString& name : QDir(mirrorDir).entryList(QDir::Files))
        mirror->setFile("/db/" + name, avtest::readBytes(mirrorDir + "/" + name));
    mirror->setFile("/virusdb.json", avtest::readBytes(mirrorDir + "/virusdb.json"));
    QCOMPARE(avtest::readJson(mirrorDir + "/virusdb.json").value("items").toArray().size(), 2);

    QProcess client;
    QSignalSpy finished(&client, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    client.start(bin + "/znavctl", {"--socket", socketName, "update", "--wait"});
    QVERIFY(finished.wait(kUpdateTimeoutMs));
    const QByteArray out = client.readAllStandardOutput();
    QVERIFY2(client.exitCode() == 0, out + client.readAllStandardError());
    QVERIFY2(out.contains(kUpdateTime), out.constData());
    QVERIFY2(out.contains("100%"), out.constData());
    QCOMPARE(mirror->requestedPaths(),
             QList<QByteArray>({"/virusdb.json", "/db/a.hdb", "/db/b.hdb"}));
    QCOMPARE(scan(avtest::eicar()), QString("Test.Sig"));
    QCOMPARE(scan(kOtherSample), QString("Other.Sig"));

    // A failing update: exit status 2, like every failure.
    mirror->remove("/db/b.hdb");
    QVERIFY(avtest::writeFile(virusdb("b.hdb"), "changed locally\n"));
    client.start(bin + "/znavctl", {"--socket", socketName, "update", "--wait"});
    QVERIFY(finished.wait(kUpdateTimeoutMs));
    QCOMPARE(client.exitCode(), 2);
    // It says why, and that the engine still scans.
    const QByteArray failed = client.readAllStandardOutput();
    QVERIFY2(failed.contains("reason:     " + mirror->url("/db/b.hdb").toUtf8() + ": HTTP 404"),
             failed.constData());
    QVERIFY2(failed.contains("engine:     loaded, 2 signatures"), failed.constData());

    // --status while idle answers with the report and exit status 0.
    client.start(bin + "/znavctl", {"--socket", socketName, "--json", "update", "--status"});
    QVERIFY(finished.wait(kUpdateTimeoutMs));
    QCOMPARE(client.exitCode(), 0);
    const QJsonObject status = QJsonDocument::fromJson(client.readAllStandardOutput()).object();
    QCOMPARE(status.value("results").toObject().value("updatetime").toString(),
             QString(kUpdateTime));
}

QTEST_GUILESS_MAIN(tst_ZNUpdate)
#include "tst_znupdate.moc"
