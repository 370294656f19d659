// Virus engine lifecycle with real libclamav engines built from signature
// files that the tests write: first load off the request thread, failed
// reloads, counted references across a reload.

#include <QtTest>

#include <clamav.h>
#include <fcntl.h>
#include <unistd.h>

#include "avengineledger.h"
#include "avpausegate.h"
#include "avtestsupport.h"
#include "kx2journals.h"
#include "znantivirus.h"
#include "znantivirus_p.h"

namespace {

const int kLoadTimeoutMs = 60000;

// Scans a file with `engine`; returns libclamav's result and the name found.
int scanFile(const ZNEngineRef& engine, const ZNAntiVirusPrivate* d, const QString& path,
             QString* virusName = nullptr)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY);
    if (fd < 0)
        return -1;
    const char* name = nullptr;
    unsigned long scanned = 0;
    cl_scan_options options = *d->engines.options();
    const int result = cl_scandesc(fd, QFile::encodeName(path).constData(), &name, &scanned,
                                   engine.get(), &options);
    ::close(fd);
    if (virusName)
        *virusName = name ? QString::fromUtf8(name) : QString();
    return result;
}

} // namespace

class tst_ZNEngine : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void referencesAreCounted();
    void firstLoadHappensOnUpdateThread();
    void brokenSetFallsBackToLastGoodOne();
    void missingDirectoryChangesNothing();
    void heldReferenceSurvivesReload();
    void prepareWhileUpdateThreadRuns();
    void destructionWaitsForUpdateThread();

private:
    // Configures the module and applies settings whose work area is `data`.
    void startService(bool withDatabase = true);
    // A new module over the same directories, started and loaded.
    void restartModule();
    void waitForUpdateThread();

    // Holds an update thread where it publishes its engine; outlives the
    // modules.
    avtest::PauseGate installing;
    QScopedPointer<QTemporaryDir> root;
    QScopedPointer<ZNAntiVirus> module;
    ZNAntiVirusPrivate* d = nullptr;
    QString dataDir;
    QString virusdbDir;
    QString infectedFile;
};

void tst_ZNEngine::init()
{
    QCOMPARE(avtest::liveEngines(), 0);
    root.reset(new QTemporaryDir());
    QVERIFY(root->isValid());
    dataDir = root->path() + "/data";
    virusdbDir = dataDir + "/virusdb";
    infectedFile = root->path() + "/scan/sample.com";
    QVERIFY(avtest::writeFile(infectedFile, avtest::eicar()));
    QCOMPARE(QCryptographicHash::hash(avtest::eicar(), QCryptographicHash::Md5).toHex(),
             avtest::eicarHdbLine().left(32));

    module.reset(new ZNAntiVirus());
    d = ZNAntiVirusPrivate::get(module.data());
    d->engines.installing.install(&installing);
    KX2Journals journal;
    QVERIFY(module->loadConfigure(journal, avtest::componentConfig(root->path())));
}

void tst_ZNEngine::cleanup()
{
    module.reset();
    d = nullptr;
    // Every engine goes with the module: nothing leaks.
    QCOMPARE(avtest::liveEngines(), 0);
    root.reset();
}

void tst_ZNEngine::startService(bool withDatabase)
{
    QVERIFY(QDir().mkpath(dataDir));
    if (withDatabase)
        QVERIFY(avtest::writeFile(virusdbDir + "/test.hdb", avtest::eicarHdbLine()));
    QVERIFY(avtest::writeJson(root->path() + "/etc/settings.json",
                              QJsonObject{{"enabled", true}, {"datadir", dataDir}}));
    KX2Journals journal;
    QVERIFY(module->settingsLoad(journal, nullptr));
}

void tst_ZNEngine::restartModule()
{
    module.reset();
    module.reset(new ZNAntiVirus());
    d = ZNAntiVirusPrivate::get(module.data());
    d->engines.installing.install(&installing);
    KX2Journals journal;
    QVERIFY(module->loadConfigure(journal, avtest::componentConfig(root->path())));
    QVERIFY(module->settingsLoad(journal, nullptr));
    waitForUpdateThread();
}

void tst_ZNEngine::waitForUpdateThread()
{
    QTRY_VERIFY_WITH_TIMEOUT(!d->updater.isRunning(), kLoadTimeoutMs);
}

void tst_ZNEngine::referencesAreCounted()
{
    ZNEngineRef none;
    QVERIFY(!ZNEngineRef(none));

    ZNEngineRef first = ZNEngineRef::create();
    QVERIFY(first);
    QCOMPARE(avtest::liveEngines(), 1);
    ZNEngineRef second = first;
    QCOMPARE(second.get(), first.get());
    first.reset();
    QVERIFY(!first);
    QCOMPARE(avtest::liveEngines(), 1); // `second` still holds it
    ZNEngineRef moved = std::move(second);
    QVERIFY(!second);
    QCOMPARE(avtest::liveEngines(), 1);
    moved = ZNEngineRef();
    QCOMPARE(avtest::liveEngines(), 0);
}

void tst_ZNEngine::firstLoadHappensOnUpdateThread()
{
    QVERIFY(!d->engines.current());
    QVERIFY(d->updater.reloadPending());
    {
        // Held where it publishes: only the update thread may get there.
        avtest::PauseGate::Hold hold(installing);
        startService();
        QVERIFY(d->updater.isRunning());
        QTRY_COMPARE_WITH_TIMEOUT(installing.held(), 1, kLoadTimeoutMs);
        QVERIFY(!installing.reachedByCloser());
    }
    waitForUpdateThread();
    const ZNEngineRef engine = d->engines.current();
    QVERIFY(engine);
    QVERIFY(!d->updater.reloadPending());

    QString virus;
    QCOMPARE(scanFile(engine, d, infectedFile, &virus), int(CL_VIRUS));
    QVERIFY2(virus.startsWith("Test.Sig"), qPrintable(virus)); // unsigned databases get a suffix
    QVERIFY(avtest::writeFile(root->path() + "/scan/clean.txt", "nothing to see"));
    QCOMPARE(scanFile(engine, d, root->path() + "/scan/clean.txt"), int(CL_CLEAN));
}

void tst_ZNEngine::brokenSetFallsBackToLastGoodOne()
{
    startService();
    waitForUpdateThread();
    QVERIFY(d->engines.current());
    QVERIFY(QFileInfo::exists(virusdbDir + ".good/test.hdb"));

    // A file that does not load, found by a reload: the last set that
    // loaded scans instead and is put back in place; the broken set is
    // kept aside.
    QVERIFY(avtest::writeFile(virusdbDir + "/broken.hdb", "this is not a signature\n"));
    QVERIFY(d->updater.prepare(true));
    waitForUpdateThread();
    QVERIFY(!d->updater.reloadPending());
    QCOMPARE(scanFile(d->engines.current(), d, infectedFile), int(CL_VIRUS));
    QVERIFY(!QFileInfo::exists(virusdbDir + "/broken.hdb"));
    QVERIFY(QFileInfo::exists(virusdbDir + "/test.hdb"));
    QVERIFY(QFileInfo::exists(virusdbDir + ".broken/broken.hdb"));

    // At start-up as well.
    QVERIFY(avtest::writeFile(virusdbDir + "/broken.hdb", "garbage\n"));
    restartModule();
    QCOMPARE(scanFile(d->engines.current(), d, infectedFile), int(CL_VIRUS));
    QCOMPARE(d->engines.report().value("loaded").toInt(), 1);

    // With no good set either there is no engine, and the report says why.
    QVERIFY(avtest::writeFile(virusdbDir + "/broken.hdb", "garbage\n"));
    QVERIFY(QDir(virusdbDir + ".good").removeRecursively());
    restartModule();
    QVERIFY(!d->engines.current());
    QVERIFY(d->updater.reloadPending());
    const QJsonObject report = d->engines.report();
    QCOMPARE(report.value("loaded").toInt(), 0);
    QVERIFY2(report.value("loaderror").toString().contains("broken.hdb"),
             qPrintable(report.value("loaderror").toString()));

    // Once the file is repaired, the pending reload goes through.
    QVERIFY(QFile::remove(virusdbDir + "/broken.hdb"));
    QVERIFY(d->updater.prepare(false));
    waitForUpdateThread();
    QVERIFY(d->engines.current());
    QVERIFY(!d->engines.report().contains("loaderror"));
}

void tst_ZNEngine::missingDirectoryChangesNothing()
{
    // Without a work area there is nothing to load, not even the current
    // directory.
    QVERIFY(d->settings.get().virusdbDir.isEmpty());

    startService(false);
    waitForUpdateThread();
    QVERIFY(!QFileInfo::exists(virusdbDir));
    QVERIFY(!d->engines.current());
    QVERIFY(d->updater.reloadPending());
    QVERIFY(d->updater.reloadPending());
    QCOMPARE(avtest::liveEngines(), 0);
}

void tst_ZNEngine::heldReferenceSurvivesReload()
{
    startService();
    waitForUpdateThread();
    ZNEngineRef held = d->engines.current();
    QVERIFY(held);
    QCOMPARE(avtest::liveEngines(), 1);

    const QByteArray other = "another sample";
    QVERIFY(avtest::writeFile(virusdbDir + "/other.hdb",
                              QCryptographicHash::hash(other, QCryptographicHash::Md5).toHex() + ":"
                                  + QByteArray::number(other.size()) + ":Other.Sig\n"));
    QVERIFY(d->updater.prepare(true));
    waitForUpdateThread();
    QVERIFY(!d->updater.reloadPending());
    QVERIFY(d->engines.current().get() != held.get());
    QCOMPARE(avtest::liveEngines(), 2);

    // The replaced engine still scans for its holder.
    QString virus;
    QCOMPARE(scanFile(held, d, infectedFile, &virus), int(CL_VIRUS));
    QVERIFY2(virus.startsWith("Test.Sig"), qPrintable(virus)); // unsigned databases get a suffix

    held.reset();
    QCOMPARE(avtest::liveEngines(), 1);
    QVERIFY(avtest::writeFile(root->path() + "/scan/other.bin", other));
    QCOMPARE(scanFile(d->engines.current(), d, root->path() + "/scan/other.bin", &virus),
             int(CL_VIRUS));
    QVERIFY2(virus.startsWith("Other.Sig"), qPrintable(virus));
}

void tst_ZNEngine::prepareWhileUpdateThreadRuns()
{
    startService();
    waitForUpdateThread();
    {
        // Hold the update thread at the point where it publishes its engine.
        avtest::PauseGate::Hold hold(installing);
        QVERIFY(d->updater.prepare(true));
        QTRY_VERIFY_WITH_TIMEOUT(!d->updater.reloadPending(), kLoadTimeoutMs);
        QVERIFY(d->updater.isRunning());

        QVERIFY(!d->updater.prepare(false));
        QVERIFY(!d->updater.reloadPending());
        QVERIFY(!d->updater.prepare(true));
        QVERIFY(d->updater.reloadPending());
    }
    waitForUpdateThread();
    // The forced request arrived too late for that run; it stays pending
    // for the next one.
    QVERIFY(d->updater.reloadPending());
    QVERIFY(d->updater.prepare(false));
    waitForUpdateThread();
    QVERIFY(!d->updater.reloadPending());
}

void tst_ZNEngine::destructionWaitsForUpdateThread()
{
    startService();
    // Destroyed while the update thread may still be loading: the module
    // waits for it, and the engine it publishes is freed with the module
    // (cleanup() checks that none is left, ASan that nothing was touched
    // after being freed).
    module.reset();
    d = nullptr;
}

QTEST_GUILESS_MAIN(tst_ZNEngine)
#include "tst_znengine.moc"
