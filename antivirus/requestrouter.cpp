#include "requestrouter.h"

#include <QJsonDocument>

#include "kx2cabinet.h"
#include "znantivirus.h"

namespace {

const QLatin1String kHelp("help");
// How long antivirus_updvdb_stop waits for the update thread to end.
const int kUpdateStopWaitMs = 15000;

// A help document from its fixed JSON text.
QJsonObject helpDocument(const char* json)
{
    return QJsonDocument::fromJson(QByteArray(json)).object();
}

QJsonObject requestParams(const QJsonObject& cmdObject)
{
    return cmdObject.value(QLatin1String("params")).toObject();
}

} // namespace

RequestRouter::RequestRouter(QObject* parent)
    : KX2TodoRouter(parent)
    , antivirus(new ZNAntiVirus(nullptr))
{
}

RequestRouter::~RequestRouter()
{
    delete antivirus;
}

bool RequestRouter::loadConfigure(KX2Journals& journal, const QJsonObject& configuration)
{
    return antivirus->loadConfigure(journal, configuration);
}

bool RequestRouter::settingsLoad(KX2Journals& journal, QJsonObject* settings)
{
    return antivirus->settingsLoad(journal, settings);
}

bool RequestRouter::settingsSave(KX2Journals& journal, const QJsonObject& settings)
{
    return antivirus->settingsSave(journal, settings);
}

bool RequestRouter::startUp(KX2Journals& journal, const QJsonObject& configuration)
{
    return antivirus->startUp(journal, configuration);
}

// The normalised settings; the defaults when the file is missing or
// unusable. Always succeeds.
void RequestRouter::antivirus_settings_load(QJsonObject* retObject, QJsonObject cmdObject,
                                            KX2Cabinet* envObject)
{
    if (cmdObject.contains(kHelp)) {
        *retObject = helpDocument("{}");
        return;
    }
    QJsonObject settings;
    antivirus->settingsLoad(*envObject, &settings);
    retObject->insert(QStringLiteral("results"), settings);
    envObject->setErr(0, QString());
}

// "params" is the whole settings object.
void RequestRouter::antivirus_settings_save(QJsonObject* retObject, QJsonObject cmdObject,
                                            KX2Cabinet* envObject)
{
    if (cmdObject.contains(kHelp)) {
        *retObject = helpDocument("{}");
        return;
    }
    if (antivirus->settingsSave(*envObject, requestParams(cmdObject)))
        envObject->setErr(0, QString());
}

// Progress of the virus database update; err 0 only while one runs, else
// the journal's code stands (the report is there either way).
void RequestRouter::antivirus_updvdb_running(QJsonObject* retObject, QJsonObject cmdObject,
                                             KX2Cabinet* envObject)
{
    if (cmdObject.contains(kHelp)) {
        *retObject = helpDocument("{}");
        return;
    }
    QJsonObject progress;
    const bool running = antivirus->updVdbRunning(*envObject, progress);
    retObject->insert(QStringLiteral("results"), progress);
    if (running)
        envObject->setErr(0, QString());
}

void RequestRouter::antivirus_updvdb_start(QJsonObject* retObject, QJsonObject cmdObject,
                                           KX2Cabinet* envObject)
{
    if (cmdObject.contains(kHelp)) {
        *retObject = helpDocument("{\"comment\":\"\"}");
        return;
    }
    envObject->begin();
    if (antivirus->updVdbStart(*envObject))
        envObject->setErr(0, QString());
}

// Blocks this connection's worker for up to kUpdateStopWaitMs.
void RequestRouter::antivirus_updvdb_stop(QJsonObject* retObject, QJsonObject cmdObject,
                                          KX2Cabinet* envObject)
{
    if (cmdObject.contains(kHelp)) {
        *retObject = helpDocument("{\"comment\":\"\"}");
        return;
    }
    envObject->begin();
    if (antivirus->updVdbStop(*envObject, kUpdateStopWaitMs))
        envObject->setErr(0, QString());
}
