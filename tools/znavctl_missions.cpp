// znavctl missions | mission add PATH | mission rm N...: the registered
// folders and files, as a table for people or the raw reply with --json.

#include "znavctl.h"

#include "kx2escape.h"
#include "kx2values.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

#include <algorithm>

namespace znavctl {
namespace {

QString lastScan(const QJsonObject& mission)
{
    const QJsonValue end = mission.value(QStringLiteral("lastscantime"));
    return end.isString() ? kx2Escaped(end.toString()) : QStringLiteral("never");
}

int missionFailure(const QString& what, const QJsonObject& reply)
{
    printLine(stderr, QStringLiteral("znavctl: %1 failed: %2").arg(what, reason(reply)));
    return ExitError;
}

// Sends a mission request; with --json prints the raw reply and returns its
// status, otherwise -1 for a successful reply left in `reply`.
int missionRequest(const Options& options, const QString& what, const QJsonObject& request,
                   QJsonObject& reply)
{
    if (options.json)
        return sendRequest(options, request);
    Failure failure;
    if (!exchange(options, request, reply, failure))
        return fail(failure.message);
    return succeeded(reply) ? -1 : missionFailure(what, reply);
}

int addMission(const Options& options, const QStringList& args)
{
    if (args.size() != 1 || args.first().isEmpty())
        return usageFailure(QStringLiteral("mission"), QStringLiteral("add takes one path"));
    // The service resolves relative paths against its own working directory,
    // not the caller's: send an absolute one.
    const QString path = QFileInfo(args.first()).absoluteFilePath();
    QJsonObject request = command("antivirus_mission_create");
    request.insert(QStringLiteral("params"), QJsonObject{{QStringLiteral("path"), path}});
    QJsonObject reply;
    const int status = missionRequest(options, QStringLiteral("mission add"), request, reply);
    if (status >= 0)
        return status;
    printLine(stdout,
              QStringLiteral("registered %1").arg(kx2Escaped(QDir::toNativeSeparators(path))));
    return ExitSuccess;
}

int removeMissions(const Options& options, const QStringList& args)
{
    QJsonArray numbers;
    for (const QString& arg : args) {
        bool ok = false;
        const int number = arg.toInt(&ok);
        if (!ok || number <= 0)
            return fail(QStringLiteral("%1 is not a mission number").arg(arg));
        numbers.append(number);
    }
    if (numbers.isEmpty())
        return usageFailure(QStringLiteral("mission"),
                            QStringLiteral("rm takes one or more mission numbers"));
    QJsonObject request = command("antivirus_mission_remove");
    request.insert(QStringLiteral("params"), QJsonObject{{QStringLiteral("msnnos"), numbers}});
    QJsonObject reply;
    const int status = missionRequest(options, QStringLiteral("mission rm"), request, reply);
    if (status >= 0)
        return status;
    printLine(stdout, QStringLiteral("removed"));
    return ExitSuccess;
}

// missions: number, type, path and last scan of every mission.
int missionsCommand(const Options& options, const QCommandLineParser& parser)
{
    if (!parser.positionalArguments().isEmpty())
        return usageFailure(QStringLiteral("missions"), QStringLiteral("takes no operands"));
    QJsonObject reply;
    const int status = missionRequest(options, QStringLiteral("missions"),
                                      command("antivirus_mission_alload"), reply);
    if (status >= 0)
        return status;
    QList<QJsonObject> missions;
    const QJsonObject listing = reply.value(QStringLiteral("results")).toObject();
    for (auto it = listing.begin(); it != listing.end(); ++it)
        missions << it.value().toObject();
    std::sort(missions.begin(), missions.end(), [](const QJsonObject& a, const QJsonObject& b) {
        return toInt(a.value(QStringLiteral("msnno"))) < toInt(b.value(QStringLiteral("msnno")));
    });
    QList<QStringList> rows;
    for (const QJsonObject& mission : missions) {
        rows << QStringList{cell(mission.value(QStringLiteral("msnno"))),
                            toInt(mission.value(QStringLiteral("type"))) == 1
                                ? QStringLiteral("folder")
                                : QStringLiteral("file"),
                            lastScan(mission), cell(mission.value(QStringLiteral("path")))};
    }
    printTable({QStringLiteral("MISSION"), QStringLiteral("TYPE"), QStringLiteral("LAST SCAN"),
                QStringLiteral("PATH")},
               rows);
    return ExitSuccess;
}

// mission add PATH | mission rm N...
int missionCommand(const Options& options, const QCommandLineParser& parser)
{
    const QStringList args = parser.positionalArguments();
    const QString verb = args.value(0);
    if (verb == QLatin1String("add"))
        return addMission(options, args.mid(1));
    if (verb == QLatin1String("rm"))
        return removeMissions(options, args.mid(1));
    return usageFailure(QStringLiteral("mission"), QStringLiteral("say add PATH or rm N..."));
}

} // namespace

void addMissionCommands(QList<Command>& table)
{
    table << Command{QStringLiteral("missions"), QString(),
                     QStringLiteral("Lists the registered folders and files (missions)."),
                     [](QCommandLineParser&) {}, missionsCommand};
    table << Command{
        QStringLiteral("mission"), QStringLiteral("add PATH | rm N..."),
        QStringLiteral("Registers a folder or file as a mission, or removes missions."),
        [](QCommandLineParser& parser) {
            parser.addPositionalArgument(
                QStringLiteral("action"),
                QStringLiteral("add PATH registers PATH (made absolute here); rm N... removes the "
                               "missions numbered N"),
                QStringLiteral("add PATH | rm N..."));
        },
        missionCommand};
}

} // namespace znavctl
