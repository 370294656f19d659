#include "requestrouter.h"

#include <QJsonDocument>

#include "kx2cabinet.h"
#include "znantivirus.h"

namespace {

const QLatin1String kHelp("help");

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
