// AppData: the process's application object. It owns the application
// router (which owns the antivirus module) and the local server, reads
// config.json, starts serving, and turns SIGINT/SIGTERM into an orderly
// return from the event loop. It is the source of the trace level that the
// modules below read through kx2TraceLevel().
//
// Exactly one exists per process: create() makes it on the main thread
// after the QCoreApplication, IAppData() reads it from any thread, and
// destroy() frees it on the main thread once shutdown() has ended every
// other thread. initialize(), start(), shutdown() and destroy() run on the
// main thread; the public fields are written there before the server
// starts and only read afterwards, so readers on other threads need no lock.

#ifndef APPDATA_H
#define APPDATA_H

#include <QObject>
#include <QString>

#include <chrono>
#include <memory>

#include "kx2core.h"
#include "kx2tracelevel.h"

class RequestRouter;
class KX2LocalServer;
class QSocketNotifier;
class ScanTempDir;

class AppData : public QObject, public KX2Core, public KX2TraceLevelSource
{
    Q_OBJECT
public:
    ~AppData() override;

    // Routes SIGINT and SIGTERM to an orderly quit (through a pipe the event
    // loop reads, so a signal that arrives before the loop runs is acted on
    // once it does), ignores SIGHUP, SIGPIPE and SIGSEGV, ignores SIGIO (the
    // clean-file cache's lease breaks), and unblocks the stop signals. main() calls it first, before anything can take time.
    static void installSignalHandling();

    static AppData* create();
    // Frees the object created by create(); IAppData() is null afterwards.
    // Only after shutdown() returned true: no other thread may use it.
    static void destroy();

    // Loads config.json (cfgPath, or config.json in configDir when empty)
    // and hands it to the router. False when it was rejected; the reasons
    // are printed to the console.
    bool initialize(const QString& cfgPath);

    // Listens under lpcid and loads the user settings. False when the
    // configuration was not accepted or the server cannot listen; the
    // reason is printed to the console.
    bool start();

    // Stops listening and removes the socket file (when still ours).
    void stop();

    // The ordered stop after the event loop: stop() (no new connections),
    // then the antivirus component (scan task, keeper, updater and cache
    // writer stopped and their threads joined, the store closed), then
    // every open connection is ended. True when all that happened within
    // `timeout`; false leaves connections that may still call the router,
    // which must then not be destroyed.
    bool shutdown(std::chrono::milliseconds timeout);

    qint32 traceLevel() const override { return debuglevel; }

    bool configLoaded = false;
    QString appname;
    QString lpcid;
    qint32 debuglevel = 0;

    RequestRouter* router() const { return m_router.get(); }
    KX2LocalServer* server() const { return m_server.get(); }

private:
    AppData();
    void onSignalPipeReadable();
    bool applySocketAccess();
    void applyLogFile();

    static constexpr qint64 kDefaultLogMaxSize = 10 * 1024 * 1024;
    static constexpr int kDefaultLogBackups = 5;

    // Declaration order matters: the server goes before the router, and
    // the scans' temporary directory after both.
    std::unique_ptr<ScanTempDir> m_scanTemp;
    std::unique_ptr<RequestRouter> m_router;
    std::unique_ptr<KX2LocalServer> m_server;
    std::unique_ptr<QSocketNotifier> m_signalNotifier;
};

// The process's application object, or null before AppData::create().
AppData* IAppData();

#endif // APPDATA_H
