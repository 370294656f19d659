#include "requestrouter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include "kx2cabinet.h"
#include "kx2journals.h"
#include "kx2values.h"
#include "znantivirus.h"

namespace {

const QLatin1String kHelp("help");
const char kCommentHelp[] = "{\"comment\": \"\"}";
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

// A parameter as a list of record numbers: each element converted with
// toInt, numbers below 1 dropped, repeats dropped (first occurrence kept).
QList<int> numberList(const QJsonValue& value)
{
    QList<int> numbers;
    QSet<int> taken;
    for (const QJsonValue& element : value.toArray()) {
        const int number = toInt(element);
        if (number > 0 && !taken.contains(number)) {
            taken.insert(number);
            numbers << number;
        }
    }
    return numbers;
}

// The listing window: "page" is the position of the first row (1 to
// 1000000), "ofpage" the most rows (1 to 99999999); missing means 1.
const int kLastPage = 1000000;
const int kMostRows = 99999999;

int windowValue(const QJsonObject& params, const char* key, int highest)
{
    return qBound(1, toInt(params.value(QLatin1String(key))), highest);
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

// Progress of the running or last scan task.
void RequestRouter::antivirus_scan_running(QJsonObject* retObject, QJsonObject cmdObject,
                                           KX2Cabinet* envObject)
{
    if (cmdObject.contains(kHelp)) {
        *retObject = helpDocument(kCommentHelp);
        return;
    }
    envObject->begin();
    QJsonObject progress;
    if (antivirus->scanRunning(*envObject, progress)) {
        retObject->insert(QStringLiteral("results"), progress);
        envObject->setErr(0, QString());
    }
}

// "path" (trimmed, required): the directory or file to scan; "waitvdb":
// wait for a running virus database update first.
void RequestRouter::antivirus_scan_start(QJsonObject* retObject, QJsonObject cmdObject,
                                         KX2Cabinet* envObject)
{
    if (cmdObject.contains(kHelp)) {
        *retObject = helpDocument(kCommentHelp);
        return;
    }
    envObject->begin();
    const QJsonObject params = requestParams(cmdObject);
    const QString path = params.value(QLatin1String("path")).toString().trimmed();
    if (path.isEmpty()) {
        envObject->setErr(KX2ErrorCode::MissingParameter, QStringLiteral("缺少参数: path"));
        return;
    }
    if (antivirus->scanStart(*envObject, path, toBool(params.value(QLatin1String("waitvdb")))))
        envObject->setErr(0, QString());
}

// Stops the running scan; returns once it has ended.
void RequestRouter::antivirus_scan_stop(QJsonObject* retObject, QJsonObject cmdObject,
                                        KX2Cabinet* envObject)
{
    if (cmdObject.contains(kHelp)) {
        *retObject = helpDocument(kCommentHelp);
        return;
    }
    envObject->begin();
    if (antivirus->scanStop(*envObject))
        envObject->setErr(0, QString());
}

// Every mission keyed by its stored path.
void RequestRouter::antivirus_mission_alload(QJsonObject* retObject, QJsonObject cmdObject,
                                             KX2Cabinet* envObject)
{
    if (cmdObject.contains(kHelp)) {
        *retObject = helpDocument(kCommentHelp);
        return;
    }
    envObject->begin();
    QJsonObject missions;
    if (antivirus->missionAlload(*envObject, missions)) {
        retObject->insert(QStringLiteral("results"), missions);
        envObject->setErr(0, QString());
    }
}

// "path" (required, untrimmed): the directory or file to register.
void RequestRouter::antivirus_mission_create(QJsonObject* retObject, QJsonObject cmdObject,
                                             KX2Cabinet* envObject)
{
    if (cmdObject.contains(kHelp)) {
        *retObject = helpDocument(kCommentHelp);
        return;
    }
    envObject->begin();
    const QString path = requestParams(cmdObject).value(QLatin1String("path")).toString();
    if (path.isEmpty()) {
        envObject->setErr(KX2ErrorCode::MissingParameter, QStringLiteral("缺少参数: path"));
        return;
    }
    if (antivirus->missionCreate(*envObject, path))
        envObject->setErr(0, QString());
}

// "msnnos" (required): the numbers of the missions to delete.
void RequestRouter::antivirus_mission_remove(QJsonObject* retObject, QJsonObject cmdObject,
                                             KX2Cabinet* envObject)
{
    if (cmdObject.contains(kHelp)) {
        *retObject = helpDocument(kCommentHelp);
        return;
    }
    envObject->begin();
    const QList<int> numbers = numberList(requestParams(cmdObject).value(QLatin1String("msnnos")));
    if (numbers.isEmpty()) {
        envObject->setErr(KX2ErrorCode::MissingParameter, QStringLiteral("缺少参数: msnnos"));
        return;
    }
    if (antivirus->missionRemove(*envObject, numbers))
        envObject->setErr(0, QString());
}

// "page", "ofpage": the window of scan log rows.
void RequestRouter::antivirus_log_alload(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
{
    if (cmdObject.contains(kHelp)) {
        *retObject = helpDocument(kCommentHelp);
        return;
    }
    envObject->begin();
    const QJsonObject params = requestParams(cmdObject);
    QJsonObject listing;
    if (antivirus->logAlload(*envObject, listing, windowValue(params, "page", kLastPage),
                             windowValue(params, "ofpage", kMostRows))) {
        retObject->insert(QStringLiteral("results"), listing);
        envObject->setErr(0, QString());
    }
}

// "lognos" (required): the scan log rows to delete.
void RequestRouter::antivirus_log_remove(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
{
    if (cmdObject.contains(kHelp)) {
        *retObject = helpDocument(kCommentHelp);
        return;
    }
    envObject->begin();
    const QList<int> numbers = numberList(requestParams(cmdObject).value(QLatin1String("lognos")));
    if (numbers.isEmpty()) {
        envObject->setErr(KX2ErrorCode::MissingParameter, QStringLiteral("缺少参数: lognos"));
        return;
    }
    if (antivirus->logRemove(*envObject, numbers))
        envObject->setErr(0, QString());
}

// "page", "ofpage": the window of quarantine records.
void RequestRouter::antivirus_quarantined_alload(QJsonObject* retObject, QJsonObject cmdObject,
                                                 KX2Cabinet* envObject)
{
    if (cmdObject.contains(kHelp)) {
        *retObject = helpDocument(kCommentHelp);
        return;
    }
    envObject->begin();
    const QJsonObject params = requestParams(cmdObject);
    QJsonObject listing;
    if (antivirus->quarantinedAlload(*envObject, listing, windowValue(params, "page", kLastPage),
                                     windowValue(params, "ofpage", kMostRows))) {
        retObject->insert(QStringLiteral("results"), listing);
        envObject->setErr(0, QString());
    }
}

// Prunes records whose quarantined file is gone; always succeeds, with the
// number pruned in "amount".
void RequestRouter::antivirus_quarantined_reduce(QJsonObject* retObject, QJsonObject cmdObject,
                                                 KX2Cabinet* envObject)
{
    if (cmdObject.contains(kHelp)) {
        *retObject = helpDocument(kCommentHelp);
        return;
    }
    envObject->begin();
    const int amount = antivirus->quarantinedReduce(*envObject);
    retObject->insert(QStringLiteral("results"), QJsonObject{{QStringLiteral("amount"), amount}});
    envObject->setErr(0, QString());
}

// "iftnos" (required): the quarantined files to delete with their records.
void RequestRouter::antivirus_quarantined_remove(QJsonObject* retObject, QJsonObject cmdObject,
                                                 KX2Cabinet* envObject)
{
    if (cmdObject.contains(kHelp)) {
        *retObject = helpDocument(kCommentHelp);
        return;
    }
    envObject->begin();
    const QList<int> numbers = numberList(requestParams(cmdObject).value(QLatin1String("iftnos")));
    if (numbers.isEmpty()) {
        envObject->setErr(KX2ErrorCode::MissingParameter, QStringLiteral("缺少参数: iftnos"));
        return;
    }
    if (antivirus->quarantinedRemove(*envObject, numbers))
        envObject->setErr(0, QString());
}

// "iftnos" (required): the quarantined files to move back to their former
// paths; success once at least one move is queued.
void RequestRouter::antivirus_quarantined_restore(QJsonObject* retObject, QJsonObject cmdObject,
                                                  KX2Cabinet* envObject)
{
    if (cmdObject.contains(kHelp)) {
        *retObject = helpDocument(kCommentHelp);
        return;
    }
    envObject->begin();
    const QList<int> numbers = numberList(requestParams(cmdObject).value(QLatin1String("iftnos")));
    if (numbers.isEmpty()) {
        envObject->setErr(KX2ErrorCode::MissingParameter, QStringLiteral("缺少参数: iftnos"));
        return;
    }
    if (antivirus->quarantinedRestore(*envObject, numbers))
        envObject->setErr(0, QString());
}
