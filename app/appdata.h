// AppData: the process's application object. It owns the application
// router (which owns the antivirus module) and the local server, reads
// config.json, starts serving, and turns SIGINT/SIGTERM into an orderly
// return from the event loop.
//
// Exactly one exists per process: create() makes it on the main thread
// after the QCoreApplication, IAppData() reads it from any thread. It is
// never destroyed while the process runs. initialize() and start() run on
// the main thread; the public fields are written there before the server
// starts and only read afterwards, so readers on other threads need no lock.

#ifndef APPDATA_H
#define APPDATA_H

#include <QObject>
#include <QString>

#include <memory>

#include "kx2core.h"

class RequestRouter;
class KX2LocalServer;
class QSocketNotifier;

class AppData : public QObject, public KX2Core
{
    Q_OBJECT
public:
    ~AppData() override;

    static AppData* create();

    // Loads config.json (cfgPath, or config.json in configDir when empty)
    // and hands it to the router. False when it was rejected; the reasons
    // are printed to the console.
    bool initialize(const QString& cfgPath);

    // Listens under lpcid and loads the user settings. False when the
    // configuration was not accepted or the server cannot listen.
    bool start();

    bool configLoaded = false;
    QString appname;
    QString lpcid;
    qint32 debuglevel = 0;

    RequestRouter* router() const { return m_router.get(); }
    KX2LocalServer* server() const { return m_server.get(); }

private:
    AppData();
    void installSignalHandlers();
    void onSignalPipeReadable();

    // Declaration order matters: the server goes before the router.
    std::unique_ptr<RequestRouter> m_router;
    std::unique_ptr<KX2LocalServer> m_server;
    std::unique_ptr<QSocketNotifier> m_signalNotifier;
};

// The process's application object, or null before AppData::create().
AppData* IAppData();

#endif // APPDATA_H
