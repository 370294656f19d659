// A whole antivirus service served in-process for tests: a temporary root
// with the configuration's files, the application router with its module,
// and a local server on a real socket. Requests go over that socket from a
// client thread while the test's thread serves the event loop.
//
// Use from a Qt Test slot (the QTRY macros need it); one instance per test.

#ifndef AVSERVICE_H
#define AVSERVICE_H

#include <QtTest>

#include <atomic>
#include <thread>

#include "avpausegate.h"
#include "avtestsupport.h"
#include "kx2journals.h"
#include "kx2localserver.h"
#include "requestrouter.h"
#include "znantivirus.h"
#include "znantivirus_p.h"
#include "znengineref.h"

namespace avtest {

class Service
{
public:
    // Configured and serving; no settings applied yet. `config` adds or
    // replaces component keys of the configuration.
    bool start(const QJsonObject& config = QJsonObject())
    {
        if (!root.isValid())
            return false;
        dataDir = root.path() + "/data";
        scanDir = root.path() + "/scan";
        QDir().mkpath(dataDir);
        QDir().mkpath(scanDir);
        QJsonObject configuration = componentConfig(root.path());
        for (auto it = config.begin(); it != config.end(); ++it)
            configuration.insert(it.key(), it.value());
        router.reset(new RequestRouter());
        d = ZNAntiVirusPrivate::get(router->antivirusModule());
        d->tasks.currentFile().taking.install(&fileTaking);
        d->keeper.jobsTaken.install(&keeperJobs);
        KX2Journals journal;
        if (!router->loadConfigure(journal, configuration))
            return false;
        server.reset(new KX2LocalServer());
        server->add(router.data());
        socketName = root.path() + "/run/antivirus.sock";
        return server->start(socketName);
    }

    ~Service()
    {
        server.reset();
        router.reset();
    }

    // Writes the test signature into the work area's virus database and
    // saves enabled settings with `threads` workers; true once the engine
    // is loaded.
    bool enableWithEngine(int threads = 2, const QJsonObject& extra = QJsonObject())
    {
        writeFile(dataDir + "/virusdb/test.hdb", eicarHdbLine() + extraSignatures);
        QJsonObject settings{{"enabled", 1}, {"datadir", dataDir}, {"threads", threads}};
        for (auto it = extra.begin(); it != extra.end(); ++it)
            settings.insert(it.key(), it.value());
        QElapsedTimer timer;
        timer.start();
        // A save is refused (9871) while the update thread runs, which every
        // scan task starts.
        int saved = -1;
        while ((saved = call("antivirus_settings_save", settings).value("err").toInt()) == 9871
               && timer.elapsed() < 60000)
            QTest::qWait(20);
        if (saved != 0)
            return false;
        // The update thread may still be finishing its run (the last good
        // set is refreshed) once the engine is in place.
        while ((!d->engines.current() || d->updater.isRunning()) && timer.elapsed() < 60000)
            QTest::qWait(20);
        return bool(d->engines.current());
    }

    QJsonObject call(const QString& cmd, const QJsonObject& params = QJsonObject(),
                     int timeoutSeconds = 60)
    {
        QJsonObject packet{{"cmd", cmd}};
        if (!params.isEmpty())
            packet.insert("params", params);
        return request(packet, timeoutSeconds);
    }

    QJsonObject request(const QJsonObject& packet, int timeoutSeconds = 60)
    {
        QJsonObject reply;
        std::atomic<bool> done{false};
        std::thread client([&] {
            KX2LocalServer::localRequest(socketName, packet, &reply, timeoutSeconds);
            done = true;
        });
        QElapsedTimer timer;
        timer.start();
        while (!done && timer.elapsed() < (timeoutSeconds + 5) * 1000)
            QTest::qWait(5);
        client.join();
        return reply;
    }

    // Starts a scan and waits for the task thread to finish it.
    QJsonObject scan(const QString& path, int timeoutMs = 60000)
    {
        const QJsonObject reply = call("antivirus_scan_start", {{"path", path}});
        if (reply.value("err").toInt() == 0)
            waitIdle(timeoutMs);
        return reply;
    }

    bool waitIdle(int timeoutMs = 60000)
    {
        QElapsedTimer timer;
        timer.start();
        while ((d->tasks.isRunning() || d->keeper.isBusy()) && timer.elapsed() < timeoutMs)
            QTest::qWait(10);
        return !d->tasks.isRunning();
    }

    QList<QJsonObject> rows(const QString& sql)
    {
        int changes = 0, lastRowId = 0;
        QList<QJsonObject> result;
        d->store.exec(changes, lastRowId, result, sql);
        return result;
    }

    // Open unless a test holds them; they outlive the router (~Service).
    PauseGate fileTaking; // a worker takes its next file
    PauseGate keeperJobs; // the keeper has taken its jobs
    QTemporaryDir root;
    QScopedPointer<RequestRouter> router;
    QScopedPointer<KX2LocalServer> server;
    ZNAntiVirusPrivate* d = nullptr;
    QString socketName;
    QString dataDir;
    QString scanDir;
    QByteArray extraSignatures; // more .hdb lines for enableWithEngine()
};

} // namespace avtest

#endif // AVSERVICE_H
