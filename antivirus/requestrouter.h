// RequestRouter: the application router of the antivirus service.
//
// It owns the one ZNAntiVirus module and publishes the "antivirus_*"
// request methods. Each method is thin: it converts the request's
// parameters, calls one operation of the module with the request's
// environment as journal, and puts the operation's output under "results".
// All decisions about the data belong to the module.
//
// Ownership: created without a parent by the application object, which adds
// it to the local server's router chain and deletes it after the server.
// The module is created in the constructor and deleted in the destructor.
//
// Methods that change something (scans, stops, missions, settings, the
// quarantine, logs, updates) are refused with 9870 to a peer that is not
// root and not in the group "lpcadmingroup" of config.json, when that key
// is set; reading methods and help are for every peer. A key that names no
// group (another JSON type, blank, unknown) makes loadConfigure() fail.
// Refusals are logged as events, a few per peer uid and minute
// (ZNRefusalLog).
//
// Threads: the forwarding operations run on the main thread at start-up;
// the request methods run on connection worker threads, possibly several at
// once. The router's state of its own is the group, set by loadConfigure()
// before any request is served, and the refusal log, which guards itself;
// the module guards the service state.

#ifndef REQUESTROUTER_H
#define REQUESTROUTER_H

#include <QJsonObject>

#include <atomic>

#include "kx2todorouter.h"
#include "znrefusallog.h"

class KX2Cabinet;
class KX2Journals;
class ZNAntiVirus;

class RequestRouter : public KX2TodoRouter
{
    Q_OBJECT
public:
    explicit RequestRouter(QObject* parent = nullptr);
    ~RequestRouter() override;

    // Forwarded to the module: see ZNAntiVirus.
    bool loadConfigure(KX2Journals& journal, const QJsonObject& configuration) override;
    virtual bool settingsLoad(KX2Journals& journal, QJsonObject* settings);
    virtual bool settingsSave(KX2Journals& journal, const QJsonObject& settings);
    virtual bool startUp(KX2Journals& journal, const QJsonObject& configuration);

    // The module this router owns; never null while the router lives.
    ZNAntiVirus* antivirusModule() const { return antivirus; }

private:
    static constexpr long kEveryPeer = -1;
    static constexpr long kRootOnly = -2;
    bool admitted(KX2Cabinet* envObject, const char* method);
    std::atomic<long> adminGroup{kEveryPeer};
    ZNRefusalLog refusals;

private slots:
    // Request methods, in the order help_interfaces lists them.
    void antivirus_settings_load(QJsonObject* retObject, QJsonObject cmdObject,
                                 KX2Cabinet* envObject);
    void antivirus_settings_save(QJsonObject* retObject, QJsonObject cmdObject,
                                 KX2Cabinet* envObject);
    void antivirus_updvdb_running(QJsonObject* retObject, QJsonObject cmdObject,
                                  KX2Cabinet* envObject);
    void antivirus_updvdb_start(QJsonObject* retObject, QJsonObject cmdObject,
                                KX2Cabinet* envObject);
    void antivirus_updvdb_stop(QJsonObject* retObject, QJsonObject cmdObject,
                               KX2Cabinet* envObject);
    void antivirus_scan_running(QJsonObject* retObject, QJsonObject cmdObject,
                                KX2Cabinet* envObject);
    void antivirus_scan_start(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject);
    void antivirus_scan_stop(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject);
    void antivirus_mission_alload(QJsonObject* retObject, QJsonObject cmdObject,
                                  KX2Cabinet* envObject);
    void antivirus_mission_create(QJsonObject* retObject, QJsonObject cmdObject,
                                  KX2Cabinet* envObject);
    void antivirus_mission_remove(QJsonObject* retObject, QJsonObject cmdObject,
                                  KX2Cabinet* envObject);
    void antivirus_log_alload(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject);
    void antivirus_log_remove(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject);
    void antivirus_quarantined_alload(QJsonObject* retObject, QJsonObject cmdObject,
                                      KX2Cabinet* envObject);
    void antivirus_quarantined_reduce(QJsonObject* retObject, QJsonObject cmdObject,
                                      KX2Cabinet* envObject);
    void antivirus_quarantined_remove(QJsonObject* retObject, QJsonObject cmdObject,
                                      KX2Cabinet* envObject);
    void antivirus_quarantined_restore(QJsonObject* retObject, QJsonObject cmdObject,
                                       KX2Cabinet* envObject);

private:
    Q_DISABLE_COPY(RequestRouter)

    ZNAntiVirus* const antivirus; // owned
};

#endif // REQUESTROUTER_H
