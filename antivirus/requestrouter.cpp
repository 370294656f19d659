#include "requestrouter.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <algorithm>
#include <vector>

#include "kx2cabinet.h"
#include "kx2journals.h"
#include "kx2peer.h"
#include "kx2trace.h"
#include "kx2values.h"
#include "znantivirus.h"
#include "zntrace.h"

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
// toInt, numbers below 1 dropped, repeats dropped; in ascending order.
// Sorting a plain array finds the repeats without a set node per number,
// which made a request of a million numbers cost a hundred megabytes.
QList<int> numberList(const QJsonValue& value)
{
    const QJsonArray elements = value.toArray();
    std::vector<int> numbers;
    numbers.reserve(size_t(elements.size()));
    for (const QJsonValue& element : elements) {
        const int number = toInt(element);
        if (number > 0)
            numbers.push_back(number);
    }
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    QList<int> out;
    out.reserve(int(numbers.size()));
    for (int number : numbers)
        out << number;
    return out;
}

// The listing window: "page" is the position of the first row (1 to
// 1000000), "ofpage" the most rows (1 to 99999999); missing means 1.
const int kLastPage = 1000000;
const int kMostRows = 99999999;

int windowValue(const QJsonObject& params, const char* key, int highest)
{
    return qBound(1, toInt(params.value(QLatin1String(key))), highest);
}

// The request carried "help": its whole reply is the method's fixed help
// document, and nothing else happens.
bool answeredWithHelp(QJsonObject* retObject, const QJsonObject& cmdObject,
                      const char* help = kCommentHelp)
{
    if (!cmdObject.contains(kHelp))
        return false;
    *retObject = helpDocument(help);
    return true;
}

// The required number list `key` of the request; empty, with 9995 set,
// when it holds no usable number.
QList<int> requiredNumbers(const QJsonObject& cmdObject, const char* key, KX2Cabinet* envObject)
{
    const QList<int> numbers = numberList(requestParams(cmdObject).value(QLatin1String(key)));
    if (numbers.isEmpty())
        envObject->setErr(KX2ErrorCode::MissingParameter,
                          QStringLiteral("缺少参数: ") + QLatin1String(key));
    return numbers;
}

// Success on the journal when the operation succeeded; otherwise its code
// and message stand.
void succeedIf(bool ok, KX2Cabinet* envObject)
{
    if (ok)
        envObject->setErr(0, QString());
}

// The one place an operation's outcome enters the request's journal: its
// failure as it is, or err 0.
bool settle(const KX2Status& status, KX2Cabinet* envObject)
{
    succeedIf(envObject->report(status), envObject);
    return status.ok();
}

// As settle(), with the operation's output under "results" on success.
void resultsIf(const KX2Status& status, const QJsonObject& results, QJsonObject* retObject,
               KX2Cabinet* envObject)
{
    if (settle(status, envObject))
        retObject->insert(QStringLiteral("results"), results);
}

} // namespace

// Changing methods are for root and the members of "lpcadmingroup" (when
// set); a request dispatched in-process is the service's own.
bool RequestRouter::admitted(KX2Cabinet* envObject, const char* method)
{
    const long group = adminGroup.load();
    const KX2Peer peer = KX2Peer::of(*envObject);
    if (group == kEveryPeer || !peer.known || peer.uid == 0
        || (group >= 0 && peer.isMemberOf(gid_t(group))))
        return true;
    envObject->setErr(KX2ErrorCode::PermissionDenied, QStringLiteral("没有权限执行此操作"));
    const QString line = QStringLiteral("[refused] 拒绝请求 %1: uid %2 pid %3")
                             .arg(QLatin1String(method))
                             .arg(peer.uid)
                             .arg(peer.pid);
    const QStringList lines =
        refusals.refuse(peer.uid, line, QDateTime::currentMSecsSinceEpoch());
    for (const QString& event : lines)
        znEvent(event);
    return false;
}

RequestRouter::RequestRouter(QObject* parent)
    : KX2TodoRouter(parent), antivirus(new ZNAntiVirus(nullptr))
{
}

RequestRouter::~RequestRouter()
{
    delete antivirus;
}

bool RequestRouter::loadConfigure(KX2Journals& journal, const QJsonObject& configuration)
{
    // Without the key every peer may change things; a key that cannot be
    // read as a group must not mean the same, so it stops the start.
    const QJsonValue group = configuration.value(QStringLiteral("lpcadmingroup"));
    const long id = group.isUndefined() ? kEveryPeer : kx2GroupId(group);
    // Should a caller serve requests all the same, root alone may change.
    adminGroup = group.isUndefined() || id >= 0 ? id : kRootOnly;
    if (adminGroup.load() == kRootOnly) {
        journal.add(PRETTY(Q_FUNC_INFO, __LINE__), QStringLiteral("lpcadmingroup"), false,
                    QStringLiteral("未知的 lpcadmingroup: ") + kx2SettingText(group));
        return false;
    }
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
    if (answeredWithHelp(retObject, cmdObject, "{}"))
        return;
    QJsonObject settings;
    antivirus->settingsLoad(*envObject, &settings);
    resultsIf(KX2Status::success(), settings, retObject, envObject);
}

// "params" is the whole settings object.
void RequestRouter::antivirus_settings_save(QJsonObject* retObject, QJsonObject cmdObject,
                                            KX2Cabinet* envObject)
{
    if (answeredWithHelp(retObject, cmdObject, "{}"))
        return;
    if (!admitted(envObject, "antivirus_settings_save"))
        return;
    succeedIf(antivirus->settingsSave(*envObject, requestParams(cmdObject)), envObject);
}

// Progress of the virus database update; err 0 only while one runs, else
// the journal's code stands (the report is there either way).
void RequestRouter::antivirus_updvdb_running(QJsonObject* retObject, QJsonObject cmdObject,
                                             KX2Cabinet* envObject)
{
    if (answeredWithHelp(retObject, cmdObject, "{}"))
        return;
    QJsonObject progress;
    bool running = false;
    progress = antivirus->updVdbProgress(&running);
    retObject->insert(QStringLiteral("results"), progress);
    succeedIf(running, envObject);
}

void RequestRouter::antivirus_updvdb_start(QJsonObject* retObject, QJsonObject cmdObject,
                                           KX2Cabinet* envObject)
{
    if (answeredWithHelp(retObject, cmdObject))
        return;
    if (!admitted(envObject, "antivirus_updvdb_start"))
        return;
    envObject->begin();
    settle(antivirus->updVdbStart(), envObject);
}

// Blocks this connection's worker for up to kUpdateStopWaitMs.
void RequestRouter::antivirus_updvdb_stop(QJsonObject* retObject, QJsonObject cmdObject,
                                          KX2Cabinet* envObject)
{
    if (answeredWithHelp(retObject, cmdObject))
        return;
    if (!admitted(envObject, "antivirus_updvdb_stop"))
        return;
    envObject->begin();
    succeedIf(antivirus->updVdbStop(kUpdateStopWaitMs), envObject);
}

// Progress of the running or last scan task.
void RequestRouter::antivirus_scan_running(QJsonObject* retObject, QJsonObject cmdObject,
                                           KX2Cabinet* envObject)
{
    if (answeredWithHelp(retObject, cmdObject))
        return;
    envObject->begin();
    resultsIf(KX2Status::success(), antivirus->scanProgress(), retObject, envObject);
}

// "path" (trimmed, required): the directory or file to scan; "waitvdb":
// wait for a running virus database update first; "full": scan every file,
// also those known unchanged since they were found clean.
void RequestRouter::antivirus_scan_start(QJsonObject* retObject, QJsonObject cmdObject,
                                         KX2Cabinet* envObject)
{
    if (answeredWithHelp(retObject, cmdObject))
        return;
    if (!admitted(envObject, "antivirus_scan_start"))
        return;
    envObject->begin();
    const QJsonObject params = requestParams(cmdObject);
    const QString path = params.value(QLatin1String("path")).toString().trimmed();
    if (path.isEmpty()) {
        envObject->setErr(KX2ErrorCode::MissingParameter, QStringLiteral("缺少参数: path"));
        return;
    }
    settle(antivirus->scanStart(path, toBool(params.value(QLatin1String("waitvdb"))),
                                toBool(params.value(QLatin1String("full")))),
           envObject);
}

// Stops the running scan; returns once it has ended.
void RequestRouter::antivirus_scan_stop(QJsonObject* retObject, QJsonObject cmdObject,
                                        KX2Cabinet* envObject)
{
    if (answeredWithHelp(retObject, cmdObject))
        return;
    if (!admitted(envObject, "antivirus_scan_stop"))
        return;
    envObject->begin();
    antivirus->scanStop();
    succeedIf(true, envObject);
}

// Every mission keyed by its stored path.
void RequestRouter::antivirus_mission_alload(QJsonObject* retObject, QJsonObject cmdObject,
                                             KX2Cabinet* envObject)
{
    if (answeredWithHelp(retObject, cmdObject))
        return;
    envObject->begin();
    QJsonObject missions;
    const KX2Status status = antivirus->missionAlload(missions);
    resultsIf(status, missions, retObject, envObject);
}

// "path" (required, untrimmed): the directory or file to register.
void RequestRouter::antivirus_mission_create(QJsonObject* retObject, QJsonObject cmdObject,
                                             KX2Cabinet* envObject)
{
    if (answeredWithHelp(retObject, cmdObject))
        return;
    if (!admitted(envObject, "antivirus_mission_create"))
        return;
    envObject->begin();
    const QString path = requestParams(cmdObject).value(QLatin1String("path")).toString();
    if (path.isEmpty()) {
        envObject->setErr(KX2ErrorCode::MissingParameter, QStringLiteral("缺少参数: path"));
        return;
    }
    settle(antivirus->missionCreate(path), envObject);
}

// "msnnos" (required): the numbers of the missions to delete.
void RequestRouter::antivirus_mission_remove(QJsonObject* retObject, QJsonObject cmdObject,
                                             KX2Cabinet* envObject)
{
    if (answeredWithHelp(retObject, cmdObject))
        return;
    if (!admitted(envObject, "antivirus_mission_remove"))
        return;
    envObject->begin();
    const QList<int> numbers = requiredNumbers(cmdObject, "msnnos", envObject);
    if (!numbers.isEmpty())
        settle(antivirus->missionRemove(numbers), envObject);
}

// "page", "ofpage": the window of scan log rows.
void RequestRouter::antivirus_log_alload(QJsonObject* retObject, QJsonObject cmdObject,
                                         KX2Cabinet* envObject)
{
    if (answeredWithHelp(retObject, cmdObject))
        return;
    envObject->begin();
    const QJsonObject params = requestParams(cmdObject);
    QJsonObject listing;
    const KX2Status status = antivirus->logAlload(listing, windowValue(params, "page", kLastPage),
                                                  windowValue(params, "ofpage", kMostRows));
    resultsIf(status, listing, retObject, envObject);
}

// "lognos" (required): the scan log rows to delete.
void RequestRouter::antivirus_log_remove(QJsonObject* retObject, QJsonObject cmdObject,
                                         KX2Cabinet* envObject)
{
    if (answeredWithHelp(retObject, cmdObject))
        return;
    if (!admitted(envObject, "antivirus_log_remove"))
        return;
    envObject->begin();
    const QList<int> numbers = requiredNumbers(cmdObject, "lognos", envObject);
    if (!numbers.isEmpty())
        settle(antivirus->logRemove(numbers), envObject);
}

// "page", "ofpage": the window of quarantine records.
void RequestRouter::antivirus_quarantined_alload(QJsonObject* retObject, QJsonObject cmdObject,
                                                 KX2Cabinet* envObject)
{
    if (answeredWithHelp(retObject, cmdObject))
        return;
    envObject->begin();
    const QJsonObject params = requestParams(cmdObject);
    QJsonObject listing;
    const KX2Status status =
        antivirus->quarantinedAlload(listing, windowValue(params, "page", kLastPage),
                                     windowValue(params, "ofpage", kMostRows));
    resultsIf(status, listing, retObject, envObject);
}

// Prunes records whose quarantined file is gone, with the number pruned in
// "amount"; a store failure is reported as such.
void RequestRouter::antivirus_quarantined_reduce(QJsonObject* retObject, QJsonObject cmdObject,
                                                 KX2Cabinet* envObject)
{
    if (answeredWithHelp(retObject, cmdObject))
        return;
    if (!admitted(envObject, "antivirus_quarantined_reduce"))
        return;
    envObject->begin();
    int amount = 0;
    const KX2Status status = antivirus->quarantinedReduce(amount);
    resultsIf(status, QJsonObject{{QStringLiteral("amount"), amount}}, retObject, envObject);
}

// "iftnos" (required): the quarantined files to delete with their records.
void RequestRouter::antivirus_quarantined_remove(QJsonObject* retObject, QJsonObject cmdObject,
                                                 KX2Cabinet* envObject)
{
    if (answeredWithHelp(retObject, cmdObject))
        return;
    if (!admitted(envObject, "antivirus_quarantined_remove"))
        return;
    envObject->begin();
    const QList<int> numbers = requiredNumbers(cmdObject, "iftnos", envObject);
    if (!numbers.isEmpty())
        settle(antivirus->quarantinedRemove(numbers), envObject);
}

// "iftnos" (required): the quarantined files to move back to their former
// paths; success once at least one move is queued.
void RequestRouter::antivirus_quarantined_restore(QJsonObject* retObject, QJsonObject cmdObject,
                                                  KX2Cabinet* envObject)
{
    if (answeredWithHelp(retObject, cmdObject))
        return;
    if (!admitted(envObject, "antivirus_quarantined_restore"))
        return;
    envObject->begin();
    const QList<int> numbers = requiredNumbers(cmdObject, "iftnos", envObject);
    if (!numbers.isEmpty())
        settle(antivirus->quarantinedRestore(numbers), envObject);
}
