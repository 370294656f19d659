// User settings through the request methods antivirus_settings_save and
// antivirus_settings_load, over a real local socket served in-process, and
// on the settings file they write.

#include <QtTest>

#include <atomic>
#include <thread>

#include "avpausegate.h"
#include "avtestsupport.h"
#include "kx2cabinet.h"
#include "kx2file.h"
#include "kx2journals.h"
#include "kx2localserver.h"
#include "kx2rpcpacket.h"
#include "requestrouter.h"
#include "znantivirus.h"
#include "znantivirus_p.h"

#include <QLocalSocket>

#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const int kRequestTimeoutMs = 30000;

QJsonObject defaultSchedule()
{
    return QJsonObject{{"mode", 0}, {"minute", 0}, {"hour", 6},
                       {"week", 7}, {"day", 28},   {"scope", 1}};
}

int hardwareThreads()
{
    return qMax(1, QThread::idealThreadCount());
}

} // namespace

class tst_ZNSettings : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void loadWithoutFileGivesDefaults();
    void loadBeforeConfigurationGivesEmptyObject();
    void saveNormalises_data();
    void saveNormalises();
    void refusalsComeInOrder();
    void saveWithoutWorkAreaWritesNothing();
    void unwritableFileIsRefused();
    void oversizedSettingsRefusedOnALiveConnection();
    void saveOnFullFileSystemFailsAndKeepsFile();
    void loadAddsUpdateTimeAndAppliesNothing();
    void startUpLoadApplies();
    void relocationQueuedOnlyWhenWorkAreaChanges();
    void workAreaOthersCanChangeIsRefused_data();
    void workAreaOthersCanChangeIsRefused();
    void disabledSaveKeepsThreadsAndStopsSchedule();
    void scheduleSettingsApplied();
    void saveHoldsTaskAndUpdateStartsOff();
    void helpDocuments();

private:
    void request(const QJsonObject& packet, QJsonObject* reply);
    QJsonObject save(const QJsonObject& settings);
    QJsonObject load();
    void waitForUpdateThread();
    QString settingsPath() const { return root->path() + "/etc/settings.json"; }

    // Hold an update thread where it publishes its engine, and a worker as
    // it takes a file; they outlive the router.
    avtest::PauseGate installing;
    avtest::PauseGate fileTaking;
    QScopedPointer<QTemporaryDir> root;
    QScopedPointer<RequestRouter> router;
    QScopedPointer<KX2LocalServer> server;
    ZNAntiVirusPrivate* d = nullptr;
    QString socketName;
    QString dataDir;
    QString savedCurrentDir;
};

void tst_ZNSettings::init()
{
    root.reset(new QTemporaryDir());
    QVERIFY(root->isValid());
    dataDir = root->path() + "/data";
    QVERIFY(QDir().mkpath(dataDir));
    savedCurrentDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(root->path()));

    router.reset(new RequestRouter());
    d = ZNAntiVirusPrivate::get(router->antivirusModule());
    d->engines.installing.install(&installing);
    d->tasks.currentFile().taking.install(&fileTaking);
    KX2Journals journal;
    QVERIFY(router->loadConfigure(journal, avtest::componentConfig(root->path())));

    server.reset(new KX2LocalServer());
    server->add(router.data());
    socketName = root->path() + "/run/antivirus.sock";
    QVERIFY(server->start(socketName));
}

void tst_ZNSettings::cleanup()
{
    server.reset();
    router.reset();
    d = nullptr;
    QDir::setCurrent(savedCurrentDir);
    root.reset();
}

// Sends one request from a client thread while this thread serves the
// server's event loop.
void tst_ZNSettings::request(const QJsonObject& packet, QJsonObject* reply)
{
    std::atomic<bool> done{false};
    bool answered = false;
    std::thread client([&] {
        answered =
            KX2LocalServer::localRequest(socketName, packet, reply, kRequestTimeoutMs / 1000);
        done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(done, kRequestTimeoutMs + 5000);
    client.join();
    QVERIFY2(answered, "no reply from the local server");
}

QJsonObject tst_ZNSettings::save(const QJsonObject& settings)
{
    QJsonObject reply;
    request(QJsonObject{{"cmd", "antivirus_settings_save"}, {"params", settings}}, &reply);
    return reply;
}

QJsonObject tst_ZNSettings::load()
{
    QJsonObject reply;
    request(QJsonObject{{"cmd", "antivirus_settings_load"}}, &reply);
    return reply;
}

void tst_ZNSettings::waitForUpdateThread()
{
    QTRY_VERIFY_WITH_TIMEOUT(!d->updater.isRunning(), 60000);
}

void tst_ZNSettings::loadWithoutFileGivesDefaults()
{
    const QJsonObject reply = load();
    QCOMPARE(reply.value("err").toInt(), 0);
    const QJsonObject expected{{"enabled", 0},
                               {"datadir", ""},
                               {"threads", hardwareThreads()},
                               {"vdbauto", 0},
                               {"schedule", defaultSchedule()}};
    QCOMPARE(reply.value("results").toObject(), expected);
    QVERIFY(!QFileInfo::exists(settingsPath()));
}

void tst_ZNSettings::loadBeforeConfigurationGivesEmptyObject()
{
    QVERIFY(avtest::writeJson(settingsPath(), QJsonObject{{"enabled", 1}, {"datadir", dataDir}}));
    RequestRouter unconfigured;
    KX2Cabinet env;
    QJsonObject reply;
    QVERIFY(unconfigured.dispatch(reply, QJsonObject{{"cmd", "antivirus_settings_load"}}, &env));
    env.toRetObject(reply, false);
    QCOMPARE(reply.value("err").toInt(), 0);
    QVERIFY(reply.contains("results"));
    QCOMPARE(reply.value("results").toObject(), QJsonObject());
}

void tst_ZNSettings::saveNormalises_data()
{
    QTest::addColumn<QJsonObject>("input");
    QTest::addColumn<QJsonObject>("expected"); // keys that differ from the defaults

    const QString data = QStringLiteral("DATA"); // replaced by the work area
    auto base = [&](QJsonObject extra) {
        if (!extra.contains("datadir"))
            extra.insert("datadir", data);
        return extra;
    };
    QTest::newRow("enabled true") << base({{"enabled", true}}) << QJsonObject{{"enabled", 1}};
    QTest::newRow("enabled yes") << base({{"enabled", "Yes"}}) << QJsonObject{{"enabled", 1}};
    QTest::newRow("enabled \"false\"") << base({{"enabled", "false"}}) << QJsonObject{};
    QTest::newRow("enabled missing") << base({}) << QJsonObject{};
    QTest::newRow("threads 0") << base({{"threads", 0}}) << QJsonObject{{"threads", 1}};
    QTest::newRow("threads -4") << base({{"threads", -4}}) << QJsonObject{{"threads", 1}};
    QTest::newRow("threads \"6\"") << base({{"threads", "6"}}) << QJsonObject{{"threads", 6}};
    QTest::newRow("threads 2.7") << base({{"threads", 2.7}}) << QJsonObject{{"threads", 2}};
    QTest::newRow("vdbauto 1") << base({{"vdbauto", 1}}) << QJsonObject{{"vdbauto", 1}};
    QTest::newRow("vdbauto \"no\"") << base({{"vdbauto", "no"}}) << QJsonObject{};
    QTest::newRow("datadir trimmed")
        << QJsonObject{{"datadir", "  " + data + " \t"}} << QJsonObject{};
    QTest::newRow("datadir relative existing")
        << QJsonObject{{"datadir", " data/../data/ "}} << QJsonObject{};
    QTest::newRow("datadir missing stays as given")
        << QJsonObject{{"datadir", "  missing/work "}} << QJsonObject{{"datadir", "missing/work"}};
    QTest::newRow("schedule partial kept") << base({{"schedule", QJsonObject{{"mode", 2}}}})
                                           << QJsonObject{{"schedule", QJsonObject{{"mode", 2}}}};
    QTest::newRow("schedule empty") << base({{"schedule", QJsonObject()}}) << QJsonObject{};
    QTest::newRow("schedule not an object") << base({{"schedule", 5}}) << QJsonObject{};
    QTest::newRow("unknown keys kept")
        << base({{"color", "blue"}, {"nested", QJsonObject{{"a", 1}}}})
        << QJsonObject{{"color", "blue"}, {"nested", QJsonObject{{"a", 1}}}};
}

void tst_ZNSettings::saveNormalises()
{
    QFETCH(QJsonObject, input);
    QFETCH(QJsonObject, expected);
    if (input.value("datadir").toString().contains("DATA"))
        input["datadir"] = input.value("datadir").toString().replace("DATA", dataDir);

    QJsonObject full{{"enabled", 0},
                     {"datadir", dataDir},
                     {"threads", hardwareThreads()},
                     {"vdbauto", 0},
                     {"schedule", defaultSchedule()}};
    for (auto it = expected.begin(); it != expected.end(); ++it)
        full[it.key()] = it.value();

    const QJsonObject reply = save(input);
    QCOMPARE(reply.value("err").toInt(), 0);
    QVERIFY(!reply.contains("errmsg"));
    // The file holds the normalised object as indented JSON.
    QCOMPARE(avtest::readBytes(settingsPath()),
             QJsonDocument(full).toJson(QJsonDocument::Indented));
    waitForUpdateThread();
    QCOMPARE(load().value("results").toObject(), full);
}

void tst_ZNSettings::refusalsComeInOrder()
{
    const QJsonObject settings{{"enabled", 0}, {"datadir", dataDir}, {"threads", 3}};
    QVERIFY(avtest::writeFile(settingsPath(), "{\"marker\": 1}\n"));
    const QString file = d->configuration.settingsFile;

    d->configuration.settingsFile.clear();
    QJsonObject reply = save(settings);
    QCOMPARE(reply.value("err").toInt(), 9987);
    QCOMPARE(reply.value("errmsg").toString(), QStringLiteral("系统配置文存在错误，请重新安装"));
    d->configuration.settingsFile = file;

    // An update run held where it installs its engine: saves wait for it.
    QVERIFY(avtest::writeFile(dataDir + "/virusdb/test.hdb", avtest::eicarHdbLine()));
    QVERIFY(avtest::writeFile(dataDir + "/scan/f", "clean"));
    d->settings.exchange(
        ZNSettingsSnapshot::fromJson(QJsonObject{{"enabled", 1}, {"datadir", dataDir}}));
    {
        avtest::PauseGate::Hold hold(installing);
        QVERIFY(d->updater.prepare(true));
        reply = save(settings);
        QCOMPARE(reply.value("err").toInt(), 9871);
        QCOMPARE(reply.value("errmsg").toString(),
                 QStringLiteral("前面的配置请求仍在处理中，请稍后再次重试"));
    }
    waitForUpdateThread();

    // A scan held on its first file: saves wait for it too, and that
    // refusal comes first.
    {
        avtest::PauseGate::Hold hold(fileTaking);
        QVERIFY(router->antivirusModule()->scanStart(dataDir + "/scan", false).ok());
        reply = save(settings);
        QCOMPARE(reply.value("err").toInt(), 9992);
        QCOMPARE(reply.value("errmsg").toString(), QStringLiteral("杀毒过程中禁止修改配置"));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!d->tasks.isRunning(), 20000);

    // Refused saves leave the file and the running settings alone.
    QCOMPARE(avtest::readBytes(settingsPath()), QByteArray("{\"marker\": 1}\n"));
    QCOMPARE(d->settings.get().threads, 0);

    reply = save(settings);
    QCOMPARE(reply.value("err").toInt(), 0);
    QCOMPARE(d->settings.get().threads, 3);
    QCOMPARE(avtest::readJson(settingsPath()).value("threads").toInt(), 3);
}

void tst_ZNSettings::saveWithoutWorkAreaWritesNothing()
{
    for (const QJsonObject& settings :
         {QJsonObject{{"enabled", 1}}, QJsonObject{{"datadir", "   "}}}) {
        const QJsonObject reply = save(settings);
        QCOMPARE(reply.value("err").toInt(), 9869);
        QVERIFY(reply.contains("errmsg"));
        QVERIFY(!QFileInfo::exists(settingsPath()));
        QVERIFY(!d->settings.get().enabled);
    }
}

void tst_ZNSettings::unwritableFileIsRefused()
{
    QVERIFY(avtest::writeFile(root->path() + "/blocker", "file"));
    d->configuration.settingsFile = root->path() + "/blocker/settings.json";
    const QJsonObject reply =
        save(QJsonObject{{"enabled", 1}, {"datadir", dataDir}, {"threads", 5}});
    QCOMPARE(reply.value("err").toInt(), 9990);
    QCOMPARE(reply.value("errmsg").toString(), QStringLiteral("配置文保存失败"));
    QVERIFY(!d->settings.get().enabled);
    QCOMPARE(d->settings.get().threads, 0);
    QVERIFY(d->settings.get().dataDir.isEmpty());
}

void tst_ZNSettings::oversizedSettingsRefusedOnALiveConnection()
{
    QVERIFY(avtest::writeFile(settingsPath(), "{\"marker\": 1}\n"));
    const QJsonObject good{{"enabled", 0}, {"datadir", dataDir}, {"threads", 2}};
    QJsonObject huge = good;
    huge.insert("threads", 3);
    huge.insert("pad", QString(1024 * 1024, 'p'));
    // Both requests on one connection: the refusal must not be reported
    // with the outcome of the save before it.
    QByteArray bytes =
        KX2RpcPacket(QJsonObject{{"cmd", "antivirus_settings_save"}, {"params", good}}).toDatagram()
        + KX2RpcPacket(QJsonObject{{"cmd", "antivirus_settings_save"}, {"params", huge}})
              .toDatagram();
    QList<QJsonObject> replies;
    std::atomic<bool> done{false};
    std::thread client([&] {
        QLocalSocket socket;
        socket.connectToServer(socketName);
        if (socket.waitForConnected(kRequestTimeoutMs) && socket.write(bytes) == bytes.size()) {
            QByteArray buffer;
            while (replies.size() < 2 && socket.waitForReadyRead(kRequestTimeoutMs)) {
                buffer.append(socket.readAll());
                for (KX2RpcPacket packet; packet.fromDatagram(buffer) == KX2RpcPacket::Taken;)
                    replies.append(packet);
            }
        }
        done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(done, kRequestTimeoutMs + 5000);
    client.join();
    QCOMPARE(replies.size(), 2);
    QCOMPARE(replies.at(0).value("err").toInt(), 0);
    QCOMPARE(replies.at(1).value("err").toInt(), 9990);
    QCOMPARE(replies.at(1).value("errmsg").toString(),
             QStringLiteral("配置内容过大，不能超过1MiB"));
    // Nothing of the refused object was written or applied.
    QCOMPARE(avtest::readJson(settingsPath()).value("threads").toInt(), 2);
    QVERIFY(!avtest::readJson(settingsPath()).contains("pad"));
    QCOMPARE(d->settings.get().threads, 2);
    QCOMPARE(load().value("err").toInt(), 0);
}

void tst_ZNSettings::saveOnFullFileSystemFailsAndKeepsFile()
{
    if (::geteuid() != 0)
        QSKIP("mounting a small file system needs root");
    const QString small = root->path() + "/small";
    QVERIFY(QDir().mkpath(small));
    const QByteArray where = QFile::encodeName(small);
    if (::mount("tmpfs", where.constData(), "tmpfs", 0, "size=64k") != 0)
        QSKIP("tmpfs cannot be mounted here");
    d->configuration.settingsFile = small + "/settings.json";
    QVERIFY(avtest::writeFile(d->configuration.settingsFile, "{\"marker\": 1}\n"));
    {
        QFile filler(small + "/filler");
        QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size()) {}
    }
    const QJsonObject reply = save(QJsonObject{
        {"enabled", 0}, {"datadir", dataDir}, {"threads", 5}, {"note", QString(16000, 'n')}});
    const QByteArray after = avtest::readBytes(d->configuration.settingsFile);
    ::umount2(where.constData(), MNT_DETACH);
    QCOMPARE(reply.value("err").toInt(), 9990);
    QCOMPARE(reply.value("errmsg").toString(), QStringLiteral("配置文保存失败"));
    QCOMPARE(after, QByteArray("{\"marker\": 1}\n"));
    QCOMPARE(d->settings.get().threads, 0);
}

void tst_ZNSettings::loadAddsUpdateTimeAndAppliesNothing()
{
    QVERIFY(avtest::writeJson(settingsPath(), QJsonObject{{"enabled", 1}, {"datadir", dataDir}}));
    const QString description = root->path() + "/etc/virusdb.json";

    QVERIFY(avtest::writeJson(
        description, QJsonObject{{"updatetime", "2026-12-01 05:00:00"}, {"items", QJsonArray()}}));
    QJsonObject results = load().value("results").toObject();
    QCOMPARE(results.value("updatetime").toString(), QStringLiteral("2026-12-01 05:00:00"));
    QCOMPARE(results.value("enabled").toInt(), 1);
    // Reading for a client changes nothing in the running service.
    QVERIFY(!d->settings.get().enabled);
    QVERIFY(d->settings.get().dataDir.isEmpty());
    QVERIFY(!d->updater.isRunning());

    QVERIFY(avtest::writeJson(description, QJsonObject{{"updatetime", ""}}));
    QVERIFY(!load().value("results").toObject().contains("updatetime"));
    QVERIFY(avtest::writeFile(description, "{ not json"));
    QVERIFY(!load().value("results").toObject().contains("updatetime"));
}

void tst_ZNSettings::startUpLoadApplies()
{
    QVERIFY(avtest::writeJson(
        settingsPath(),
        QJsonObject{{"enabled", "yes"}, {"datadir", " " + dataDir + " "}, {"threads", 4}}));
    // A save killed part-way left its temporary file; start-up removes it.
    const pid_t dead = ::fork();
    if (dead == 0)
        ::_exit(0);
    QCOMPARE(::waitpid(dead, nullptr, 0), dead);
    const QString stale = KX2File::temporaryPrefix(settingsPath()) + QString::number(dead) + ".1";
    QVERIFY(avtest::writeFile(stale, "{\"half"));
    KX2Journals journal;
    QVERIFY(router->settingsLoad(journal, nullptr));
    QVERIFY(!QFileInfo::exists(stale));
    QVERIFY(router->antivirusModule()->settingsLoaded);
    QCOMPARE(journal.err(), 9999);
    QVERIFY(d->settings.get().enabled);
    QCOMPARE(d->settings.get().threads, 4);
    QCOMPARE(d->settings.get().dataDir, dataDir);
    QCOMPARE(d->settings.get().virusdbDir, dataDir + "/virusdb");
    waitForUpdateThread();
    // Loading never rewrites the file.
    QCOMPARE(avtest::readJson(settingsPath()).value("enabled").toString(), QStringLiteral("yes"));

    // A file without a work area loads nothing.
    QVERIFY(avtest::writeJson(settingsPath(), QJsonObject{{"enabled", 1}}));
    QVERIFY(!router->settingsLoad(journal, nullptr));
    QVERIFY(!router->antivirusModule()->settingsLoaded);
}

void tst_ZNSettings::workAreaOthersCanChangeIsRefused_data()
{
    // How the work area "<root>/share/area" is laid out before the save.
    QTest::addColumn<QString>("layout");
    QTest::addColumn<bool>("safe");
    QTest::newRow("area writable by all") << "area 0777" << false;
    QTest::newRow("directory above writable by all") << "share 0777" << false;
    QTest::newRow("area of a user's") << "area nobody" << false;
    QTest::newRow("missing area below a user's directory") << "no area, share nobody" << false;
    QTest::newRow("quarantine made by a user") << ".qra nobody" << false;
    QTest::newRow("quarantine a link to a directory") << ".qra link" << false;
    QTest::newRow("database set of a user's") << "virusdb nobody" << false;
    QTest::newRow("signature file of a user's") << "virusdb/a.hdb nobody" << false;
    QTest::newRow("sticky directory of root's above") << "share 1777" << true;
    QTest::newRow("missing area below root's") << "no area" << true;
    QTest::newRow("database set a link of root's") << "virusdb link" << true;
}

// The service moves users' files into the work area and loads its
// signatures from it: a work area that any other user can change is
// refused at the save and, saved before it became so, not used at start-up.
void tst_ZNSettings::workAreaOthersCanChangeIsRefused()
{
    QFETCH(QString, layout);
    QFETCH(bool, safe);
    const QString share = root->path() + "/share";
    const QString area = share + "/area";
    const QString elsewhere = root->path() + "/elsewhere";
    QVERIFY(QDir().mkpath(area + "/virusdb") && QDir().mkpath(elsewhere));
    QVERIFY(avtest::writeFile(area + "/virusdb/a.hdb", avtest::eicarHdbLine()));
    const QByteArray shareBytes = QFile::encodeName(share);
    if (layout.contains("no area"))
        QVERIFY(QDir(area).removeRecursively());
    if (layout == "share 0777" || layout == "share 1777")
        QVERIFY(::chmod(shareBytes, layout.mid(6).toUInt(nullptr, 8)) == 0);
    else if (layout == "area 0777")
        QVERIFY(::chmod(QFile::encodeName(area), 0777) == 0);
    else if (layout == ".qra link")
        QVERIFY(QFile::link(elsewhere, area + "/.qra"));
    else if (layout == "virusdb link")
        QVERIFY(QDir(area + "/virusdb").removeRecursively()
                && QFile::link(elsewhere, area + "/virusdb"));
    else if (layout.endsWith("nobody")) {
        const QString what = layout.section(' ', -2, -2);
        const QString owned = what == "area" ? area : what == "share" ? share : area + "/" + what;
        QVERIFY(QFileInfo::exists(owned) || QDir().mkpath(owned));
        QVERIFY(avtest::giveToNobody(owned));
    }
    const auto elsewhereMode = QFileInfo(elsewhere).permissions();

    const QByteArray before = avtest::readBytes(settingsPath());
    const QJsonObject reply = save(QJsonObject{{"enabled", 1}, {"datadir", area}});
    // A link is never followed to change what it points at.
    QCOMPARE(QFileInfo(elsewhere).permissions(), elsewhereMode);
    if (safe) {
        QCOMPARE(reply.value("err").toInt(), 0);
        QCOMPARE(d->settings.get().dataDir, area);
        return;
    }
    QCOMPARE(reply.value("err").toInt(), 9990);
    QVERIFY2(reply.value("errmsg").toString().startsWith(QStringLiteral("工作区不安全")),
             qPrintable(reply.value("errmsg").toString()));
    QCOMPARE(avtest::readBytes(settingsPath()), before);
    QVERIFY(d->settings.get().dataDir.isEmpty());

    // Saved before it became unsafe: a new start runs without it.
    QVERIFY(avtest::writeJson(settingsPath(), QJsonObject{{"enabled", 1}, {"datadir", area}}));
    KX2Journals journal;
    router->settingsLoad(journal, nullptr);
    QVERIFY(d->settings.get().dataDir.isEmpty());
    waitForUpdateThread();
    QVERIFY(!QFileInfo::exists(area + "/virusdb.good"));
}

void tst_ZNSettings::relocationQueuedOnlyWhenWorkAreaChanges()
{
    const QString areaA = root->path() + "/a";
    const QString areaB = root->path() + "/b";
    const QString systemDir = root->path() + "/system-virusdb";
    QVERIFY(QDir().mkpath(areaB));
    QVERIFY(avtest::writeFile(systemDir + "/test.hdb", avtest::eicarHdbLine()));

    // From no work area: the first one takes a copy of the system
    // directory's files, which stay where they are.
    QCOMPARE(save(QJsonObject{{"enabled", 1}, {"datadir", areaA}}).value("err").toInt(), 0);
    waitForUpdateThread();
    QVERIFY(QFileInfo::exists(areaA + "/virusdb/test.hdb"));
    QCOMPARE(avtest::readBytes(systemDir + "/test.hdb"), avtest::eicarHdbLine());

    QCOMPARE(save(QJsonObject{{"enabled", 1}, {"datadir", areaB}}).value("err").toInt(), 0);
    QCOMPARE(d->settings.get().virusdbDir, areaB + "/virusdb");
    waitForUpdateThread();
    QVERIFY(QFileInfo::exists(areaB + "/virusdb/test.hdb"));
    QVERIFY(!QFileInfo::exists(areaA + "/virusdb/test.hdb"));
    QCOMPARE(d->updater.queuedRelocations(), 0);
    const ZNEngineRef loaded = d->engines.current();
    QVERIFY(loaded);

    // The same work area again: no move and no engine preparation.
    QCOMPARE(save(QJsonObject{{"enabled", 1}, {"datadir", areaB + "/"}, {"threads", 2}})
                 .value("err")
                 .toInt(),
             0);
    QVERIFY(!d->updater.isRunning());
    waitForUpdateThread();
    QCOMPARE(d->engines.current().get(), loaded.get());
    QCOMPARE(d->updater.queuedRelocations(), 0);
    QCOMPARE(d->settings.get().threads, 2);
    QVERIFY(QFileInfo::exists(areaB + "/virusdb/test.hdb"));

    // An old work area without a virus database directory: nothing moves.
    QVERIFY(QDir(areaB + "/virusdb").removeRecursively());
    QCOMPARE(save(QJsonObject{{"enabled", 1}, {"datadir", areaA}}).value("err").toInt(), 0);
    QCOMPARE(d->settings.get().dataDir, areaA);
    waitForUpdateThread();
    QCOMPARE(d->updater.queuedRelocations(), 0);
    QVERIFY(!QFileInfo::exists(areaB + "/virusdb"));
}

void tst_ZNSettings::disabledSaveKeepsThreadsAndStopsSchedule()
{
    const quint32 before = ZNSchedule::nextTime(1, 0, 5, 0, 1, QDateTime::currentDateTime());
    QCOMPARE(save(QJsonObject{{"enabled", 1}, {"datadir", dataDir}, {"vdbauto", 1}})
                 .value("err")
                 .toInt(),
             0);
    const quint32 after = ZNSchedule::nextTime(1, 0, 5, 0, 1, QDateTime::currentDateTime());
    QVERIFY(d->scheduler.schedule().updateNext == before
            || d->scheduler.schedule().updateNext == after);
    QCOMPARE(QDateTime::fromSecsSinceEpoch(d->scheduler.schedule().updateNext).time(), QTime(5, 0));
    QVERIFY(d->scheduler.isRunning());
    QVERIFY(!d->scheduler.isStopping());
    waitForUpdateThread();

    QCOMPARE(save(QJsonObject{{"enabled", 0}, {"datadir", dataDir}, {"threads", 3}})
                 .value("err")
                 .toInt(),
             0);
    QVERIFY(!d->settings.get().enabled);
    QCOMPARE(d->settings.get().threads, 3);
    QVERIFY(d->scheduler.isStopping());
    QTRY_VERIFY_WITH_TIMEOUT(!d->scheduler.isRunning(), 10000);

    // Enabled again: a new schedule thread.
    QCOMPARE(save(QJsonObject{{"enabled", 1}, {"datadir", dataDir}, {"vdbauto", 1}})
                 .value("err")
                 .toInt(),
             0);
    QVERIFY(d->scheduler.isRunning());
    QVERIFY(!d->scheduler.isStopping());
    waitForUpdateThread();
}

void tst_ZNSettings::scheduleSettingsApplied()
{
    QCOMPARE(save(QJsonObject{
                      {"enabled", 1}, {"datadir", dataDir}, {"schedule", QJsonObject{{"mode", 0}}}})
                 .value("err")
                 .toInt(),
             0);
    QCOMPARE(d->scheduler.schedule().scanNext, 0u);
    QCOMPARE(d->scheduler.schedule().updateNext, 0u);
    QVERIFY(!d->scheduler.isRunning());
    QVERIFY(!d->scheduler.isStopping());
    waitForUpdateThread();

    const QJsonObject weekly{{"mode", 2}, {"minute", 30}, {"hour", "7"},
                             {"week", 3}, {"day", 9},     {"scope", 2}};
    const quint32 before = ZNSchedule::nextTime(2, 30, 7, 3, 9, QDateTime::currentDateTime());
    QCOMPARE(save(QJsonObject{{"enabled", 1}, {"datadir", dataDir}, {"schedule", weekly}})
                 .value("err")
                 .toInt(),
             0);
    const quint32 after = ZNSchedule::nextTime(2, 30, 7, 3, 9, QDateTime::currentDateTime());
    QCOMPARE(d->scheduler.schedule().mode, 2);
    QCOMPARE(d->scheduler.schedule().minute, 30);
    QCOMPARE(d->scheduler.schedule().hour, 7);
    QCOMPARE(d->scheduler.schedule().week, 3);
    QCOMPARE(d->scheduler.schedule().day, 9);
    QCOMPARE(d->scheduler.schedule().scope, 2);
    QVERIFY(d->scheduler.schedule().scanNext == before
            || d->scheduler.schedule().scanNext == after);
    QVERIFY(d->scheduler.isRunning());

    // Mode 0 clears the next scan and keeps the other members.
    QCOMPARE(save(QJsonObject{{"enabled", 1},
                              {"datadir", dataDir},
                              {"schedule", QJsonObject{{"mode", 0}, {"hour", 1}}}})
                 .value("err")
                 .toInt(),
             0);
    QCOMPARE(d->scheduler.schedule().mode, 0);
    QCOMPARE(d->scheduler.schedule().scanNext, 0u);
    QCOMPARE(d->scheduler.schedule().hour, 7);
}

// A save holds task starts off from its check that no task runs until its
// settings are applied; the lock it holds for that is taken here in turn by
// the test, standing for the save and then for a task start.
void tst_ZNSettings::saveHoldsTaskAndUpdateStartsOff()
{
    QVERIFY(avtest::writeFile(dataDir + "/virusdb/a.hdb", avtest::eicarHdbLine()));
    const QJsonObject settings{{"enabled", 1}, {"datadir", dataDir}, {"threads", 1}};
    QCOMPARE(save(settings).value("err").toInt(), 0);
    waitForUpdateThread();
    QVERIFY(d->engines.current());
    const QString path = root->path() + "/scan/clean";
    QVERIFY(avtest::writeFile(path, "clean"));
    const auto blockedWhileHeld = [this](const std::function<void()>& call,
                                         KX2Mutex* lock = nullptr) {
        std::atomic<bool> returned{false};
        KX2MutexLocker held(lock ? *lock : d->tasks.startLock());
        std::thread caller([&] {
            call();
            returned = true;
        });
        // Long enough for the call to run to its end were it not held.
        QTest::qWait(300);
        const bool early = returned || d->tasks.isRunning() || d->updater.isRunning();
        held.unlock();
        caller.join();
        return !early;
    };

    bool started = false;
    QVERIFY(blockedWhileHeld([&] { started = d->tasks.start(path, false).ok(); }));
    QVERIFY(started);
    QTRY_VERIFY_WITH_TIMEOUT(!d->tasks.isRunning(), kRequestTimeoutMs);
    waitForUpdateThread();

    bool saved = false;
    QVERIFY(blockedWhileHeld([&] {
        KX2Journals journal;
        saved = router->antivirusModule()->settingsSave(journal, settings);
    }));
    QVERIFY(saved);
    waitForUpdateThread();

    // An update run, asked for or scheduled, does not start between a
    // save's check that none runs and its new work area.
    bool updating = false;
    QVERIFY(blockedWhileHeld([&] { updating = router->antivirusModule()->updVdbStart().ok(); },
                             &d->settingsChange));
    QVERIFY(updating);
    waitForUpdateThread();
    QVERIFY(blockedWhileHeld([&] { d->scheduledUpdate(); }, &d->settingsChange));
    waitForUpdateThread();
}

void tst_ZNSettings::helpDocuments()
{
    QJsonObject reply;
    request(QJsonObject{{"cmd", "antivirus_settings_save"},
                        {"help", false},
                        {"params", QJsonObject{{"enabled", 1}, {"datadir", dataDir}}}},
            &reply);
    QVERIFY(!reply.contains("results"));
    QCOMPARE(reply.value("err").toInt(), 9999);
    QVERIFY(!QFileInfo::exists(settingsPath()));

    request(QJsonObject{{"cmd", "help_interfaces"}}, &reply);
    const QJsonObject all = reply.value("results").toObject();
    for (const char* name : {"antivirus_settings_load", "antivirus_settings_save"}) {
        const QJsonObject doc = all.value(name).toObject();
        QCOMPARE(doc.value("comment").toString(), QStringLiteral("<<此接口没有提供使用说明>>"));
        QCOMPARE(doc.value("cmd").toString(), QString::fromLatin1(name));
    }
}

QTEST_GUILESS_MAIN(tst_ZNSettings)
#include "tst_znsettings.moc"
