// znavctl: command-line client of the antivirus service.
//
//   znavctl [--cfg FILE | --socket NAME] [--timeout SECONDS] [--json] COMMAND ...
//   znavctl COMMAND --help | --help | --version
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
//   settings [set KEY=VALUE...]     show / change the user settings
//   schedule [off | daily|weekly|monthly --time HH:MM [--day D] [--scope S]]
//                                   show / change the scheduled scan
//
// The socket name is --socket, or else the "lpcid" of the service's
// configuration file (--cfg, by default the file the service itself reads).
// --json (before the command, or after it) prints the raw reply for
// scripts instead of text for people.
//
// Every command line goes through QCommandLineParser: one parser for the
// global options, then one per command, declared next to the command, which
// also writes its --help.
//
// Exit status, one rule for every command: 0 when it did what was asked
// (update --status: whenever a report came back); 1 when scan --wait found
// infected files; 2 for everything else, with a one-line message on
// standard error: a refusal or failure the service replied (its code and
// message), a failed update, a service that is not running, does not admit
// the caller or does not answer in time, an unusable command line.

#include "znavctl.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonParseError>

namespace znavctl {

// One line, so every failure stays a one-line message.
QString usage()
{
    return QStringLiteral(
        "usage: znavctl [--cfg FILE | --socket NAME] [--timeout SECONDS] [--json] "
        "(call CMD [PARAMS_JSON] | scan PATH [--wait] | stop | status | update [--wait | --stop | "
        "--status] | logs|quarantine [--page N] [--size M] "
        "| restore|purge N... | prune | missions | mission add PATH | mission rm N... "
        "| settings [set KEY=VALUE...] | schedule [...]); znavctl COMMAND --help for more");
}

int usageFailure(const QString& command, const QString& reason)
{
    return fail(QStringLiteral("%1: %2; see znavctl %1 --help").arg(command, reason));
}

void addCallCommands(QList<Command>& table)
{
    table << Command{
        QStringLiteral("call"), QStringLiteral("CMD [PARAMS_JSON]"),
        QStringLiteral("Sends one request and prints the reply as indented JSON."),
        [](QCommandLineParser& parser) {
            parser.addPositionalArgument(QStringLiteral("CMD"),
                                         QStringLiteral("the method, e.g. help_interfaces"));
            parser.addPositionalArgument(QStringLiteral("PARAMS_JSON"),
                                         QStringLiteral("its parameters, a JSON object"),
                                         QStringLiteral("[PARAMS_JSON]"));
        },
        [](const Options& options, const QCommandLineParser& parser) {
            const QStringList args = parser.positionalArguments();
            if (args.isEmpty() || args.size() > 2 || args.at(0).trimmed().isEmpty())
                return usageFailure(QStringLiteral("call"),
                                    QStringLiteral("name one method and at most one JSON object"));
            QJsonObject request{{QStringLiteral("cmd"), args.at(0)}};
            if (args.size() == 2) {
                QJsonParseError error;
                const QJsonDocument params = QJsonDocument::fromJson(args.at(1).toUtf8(), &error);
                if (error.error != QJsonParseError::NoError || !params.isObject())
                    return fail(QStringLiteral("PARAMS_JSON is not a JSON object"));
                request.insert(QStringLiteral("params"), params.object());
            }
            return sendRequest(options, request);
        }};
}

} // namespace znavctl

using namespace znavctl;

namespace {

const QList<Command>& commands()
{
    static const QList<Command> table = [] {
        QList<Command> all;
        addCallCommands(all);
        addScanCommands(all);
        addUpdateCommands(all);
        addRecordCommands(all);
        addMissionCommands(all);
        addSettingsCommands(all);
        addReportCommands(all);
        return all;
    }();
    return table;
}

const Command* findCommand(const QString& name)
{
    for (const Command& command : commands()) {
        if (command.name == name)
            return &command;
    }
    return nullptr;
}

QString commandList()
{
    QStringList lines{QStringLiteral("Commands (znavctl COMMAND --help for each):")};
    for (const Command& command : commands())
        lines << QStringLiteral("  %1\n      %2")
                     .arg((command.name + QLatin1Char(' ') + command.synopsis).trimmed(),
                          command.description);
    return lines.join(QLatin1Char('\n'));
}

// Qt's help starts "Usage: ARGV0 [options]..."; the program's plain name
// (and for a command, the command) reads better than the path it was
// started by.
QString withProgramName(QString text, const QString& name)
{
    const QString started = QStringLiteral("Usage: ") + QCoreApplication::arguments().first();
    if (text.startsWith(started))
        text.replace(0, started.size(), QStringLiteral("Usage: ") + name);
    return text;
}

// The command's help: its usage line names the command, not just the program.
QString commandHelp(const Command& command, const QCommandLineParser& parser)
{
    return withProgramName(parser.helpText(),
                           QStringLiteral("znavctl [global options] ") + command.name);
}

QString exitStatusHelp()
{
    return QStringLiteral(
        "Exit status (znavctl(1)):\n"
        "  0  success\n"
        "  1  the service refused (its message on standard error), an update failed,\n"
        "     or scan --wait found infected files\n"
        "  2  no reply, a refused scan start, or an unusable command line");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("znavctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(ZN_VERSION));

    QCommandLineParser global;
    global.setApplicationDescription(QStringLiteral("Client of the antivirus service.\n\n")
                                     + commandList() + QStringLiteral("\n\n") + exitStatusHelp());
    const QCommandLineOption help = global.addHelpOption();
    const QCommandLineOption version = global.addVersionOption();
    const QCommandLineOption cfg(
        QStringLiteral("cfg"),
        QStringLiteral("Take the socket from the lpcid of FILE (default %1).")
            .arg(Options().configFile),
        QStringLiteral("FILE"));
    const QCommandLineOption socket(QStringLiteral("socket"),
                                    QStringLiteral("Connect to the socket NAME instead."),
                                    QStringLiteral("NAME"));
    const QCommandLineOption timeout(
        QStringLiteral("timeout"), QStringLiteral("Wait at most SECONDS for a reply (default 30)."),
        QStringLiteral("SECONDS"));
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("Print the raw replies, for scripts."));
    global.addOptions({cfg, socket, timeout, json});
    global.addPositionalArgument(QStringLiteral("COMMAND"), QStringLiteral("what to do (above)"),
                                 QStringLiteral("COMMAND [ARGUMENTS...]"));
    // Everything from the command on belongs to the command's own parser.
    global.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);

    if (!global.parse(QCoreApplication::arguments()))
        return fail(global.errorText() + QStringLiteral("; see znavctl --help"));
    if (global.isSet(version)) {
        printLine(stdout, QStringLiteral("znavctl ") + QCoreApplication::applicationVersion());
        return ExitSuccess;
    }
    const QStringList rest = global.positionalArguments();
    if (rest.isEmpty()) {
        if (global.isSet(help)) {
            printLine(stdout,
                      withProgramName(global.helpText(), QStringLiteral("znavctl")).trimmed());
            return ExitSuccess;
        }
        return fail(usage());
    }

    Options options;
    if (global.isSet(cfg))
        options.configFile = global.value(cfg);
    options.socketName = global.value(socket);
    if (global.isSet(cfg) && global.isSet(socket))
        return fail(QStringLiteral("--cfg and --socket exclude each other"));
    if (global.isSet(timeout)) {
        bool ok = false;
        options.timeoutSeconds = global.value(timeout).toLongLong(&ok);
        if (!ok || options.timeoutSeconds <= 0)
            return fail(QStringLiteral("--timeout needs a positive number of seconds"));
    }
    options.json = global.isSet(json);

    const Command* command = findCommand(rest.first());
    if (!command)
        return fail(QStringLiteral("unknown command %1; %2").arg(rest.first(), usage()));

    QCommandLineParser parser;
    parser.setApplicationDescription(command->description);
    const QCommandLineOption commandHelpOption = parser.addHelpOption();
    parser.addOption(json);
    command->declare(parser);
    if (!parser.parse(QStringList{QCoreApplication::arguments().first()} + rest.mid(1)))
        return usageFailure(command->name, parser.errorText().remove(QLatin1Char('.')).toLower());
    if (parser.isSet(commandHelpOption) || global.isSet(help)) {
        printLine(stdout, commandHelp(*command, parser).trimmed());
        return ExitSuccess;
    }
    options.json = options.json || parser.isSet(json);
    return command->run(options, parser);
}
