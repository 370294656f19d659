// znavctl: command-line client of the antivirus service.
//
//   znavctl [--cfg FILE | --socket NAME] [--timeout SECONDS] [--json] COMMAND ...
//
//   call CMD [PARAMS_JSON]          one request, the reply as indented JSON
//   scan PATH [--wait]              queue a scan (--wait: follow it; exit 1
//                                   when infected files were found)
//   stop | status                   stop the running scan / show progress
//   update [--wait | --stop | --status]
//                                   virus database update (--wait: progress bar)
//   logs [--page N] [--size M]      scan logs, rows N to N+M-1
//   quarantine [--page N] [--size M]
//                                   quarantined files
//   restore N... | purge N...       move back / delete quarantined files
//   prune                           drop records whose file is gone
//   missions                        registered folders and files
//   mission add PATH | mission rm N...
//
// The socket name is --socket, or else the "lpcid" of the service's
// configuration file (--cfg, by default the file the service itself reads).
// --json (before the command, or after it for the record commands) prints
// the raw reply for scripts instead of text for people.
//
// Exit status: 0 when the reply's err is 0 (update --wait: when the update
// succeeded; update --status: whenever a report came back); 1 for any other
// reply or a failed update; 2 with a one-line message on standard error
// when the service cannot be reached, does not answer in time, or the
// command line is unusable.
//
// Subcommands are looked up in one table; each family of commands lives in
// a file of its own (znavctl_*.cpp).

#include "znavctl.h"

#include <QCoreApplication>
#include <QHash>
#include <QJsonDocument>
#include <QJsonParseError>

#include <functional>

namespace znavctl {

// One line, so every failure stays a one-line message.
QString usage()
{
    return QStringLiteral(
        "usage: znavctl [--cfg FILE | --socket NAME] [--timeout SECONDS] [--json] "
        "(call CMD [PARAMS_JSON] | scan PATH [--wait] | stop | status | update [--wait | --stop | "
        "--status] | logs|quarantine [--page N] [--size M] "
        "| restore|purge N... | prune | missions | mission add PATH | mission rm N...)");
}

// call CMD [PARAMS_JSON]
int callCommand(const Options& options, const QStringList& args)
{
    if (args.isEmpty() || args.size() > 2 || args.at(0).trimmed().isEmpty())
        return fail(usage());
    QJsonObject request{{QStringLiteral("cmd"), args.at(0)}};
    if (args.size() == 2) {
        QJsonParseError error;
        const QJsonDocument params = QJsonDocument::fromJson(args.at(1).toUtf8(), &error);
        if (error.error != QJsonParseError::NoError || !params.isObject())
            return fail(QStringLiteral("PARAMS_JSON is not a JSON object"));
        request.insert(QStringLiteral("params"), params.object());
    }
    return sendRequest(options, request);
}

} // namespace znavctl

using namespace znavctl;

namespace {

using Command = std::function<int(const Options&, const QStringList&)>;

bool parseOptions(const QStringList& argv, Options& options, Failure& failure)
{
    bool sawCfg = false;
    for (int i = 1; i < argv.size(); ++i) {
        const QString& arg = argv.at(i);
        const bool takesValue = arg == QLatin1String("--cfg") || arg == QLatin1String("--socket")
            || arg == QLatin1String("--timeout");
        if (arg == QLatin1String("--json")) {
            options.json = true;
            continue;
        }
        if (!takesValue) {
            if (arg.startsWith(QLatin1String("--"))) {
                failure.message = QStringLiteral("unknown option %1").arg(arg);
                return false;
            }
            options.arguments = argv.mid(i);
            break;
        }
        if (i + 1 >= argv.size()) {
            failure.message = QStringLiteral("%1 needs a value").arg(arg);
            return false;
        }
        const QString value = argv.at(++i);
        if (arg == QLatin1String("--cfg")) {
            options.configFile = value;
            sawCfg = true;
        } else if (arg == QLatin1String("--socket")) {
            options.socketName = value;
        } else {
            bool ok = false;
            options.timeoutSeconds = value.toLongLong(&ok);
            if (!ok || options.timeoutSeconds <= 0) {
                failure.message = QStringLiteral("--timeout needs a positive number of seconds");
                return false;
            }
        }
    }
    if (sawCfg && !options.socketName.isEmpty()) {
        failure.message = QStringLiteral("--cfg and --socket exclude each other");
        return false;
    }
    return true;
}

const QHash<QString, Command>& commands()
{
    static const QHash<QString, Command> table{
        {QStringLiteral("call"), callCommand},
        {QStringLiteral("scan"), scanCommand},
        {QStringLiteral("stop"), stopCommand},
        {QStringLiteral("status"), statusCommand},
        {QStringLiteral("update"), updateCommand},
        {QStringLiteral("logs"), logsCommand},
        {QStringLiteral("quarantine"), quarantineCommand},
        {QStringLiteral("restore"), restoreCommand},
        {QStringLiteral("purge"), purgeCommand},
        {QStringLiteral("prune"), pruneCommand},
        {QStringLiteral("missions"), missionsCommand},
        {QStringLiteral("mission"), missionCommand},
    };
    return table;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList argv_ = QCoreApplication::arguments();
    if (argv_.contains(QLatin1String("-h")) || argv_.contains(QLatin1String("--help"))) {
        printLine(stdout, usage());
        return ExitSuccess;
    }
    Options options;
    Failure failure;
    if (!parseOptions(argv_, options, failure))
        return fail(failure.message);
    if (options.arguments.isEmpty())
        return fail(usage());
    const auto command = commands().constFind(options.arguments.first());
    if (command == commands().constEnd())
        return fail(
            QStringLiteral("unknown command %1; %2").arg(options.arguments.first(), usage()));
    return (*command)(options, options.arguments.mid(1));
}
