// znavctl: command-line client of the antivirus service.
//
//   znavctl [--cfg FILE | --socket NAME] [--timeout SECONDS] [--json] call CMD [PARAMS_JSON]
//   znavctl [...] update [--wait] | --stop | --status
//
// "call" sends one request over the service's local socket and prints the
// reply as indented JSON. "update" starts a virus database update (with
// --wait it follows it with a progress bar until it ends), "update --stop"
// stops a running one, "update --status" prints the progress report. With
// --json the update commands print the raw replies instead. The socket name is --socket, or else the "lpcid" of
// the service's configuration file (--cfg, by default the file the service
// itself reads).
//
// Exit status: 0 when the reply's err is 0 (update --wait: when the update
// succeeded; update --status: whenever a report came back); 1 for any other
// reply or a failed update; 2 with a one-line message on standard error
// when the service cannot be reached, does not answer in time, or the
// command line is unusable.
//
// Subcommands are looked up in one table, so friendlier commands that
// build their own requests can be added next to "call".

#include "kx2file.h"
#include "kx2localserver.h"
#include "kx2values.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QStringList>
#include <QTextStream>
#include <QThread>

#include <functional>

#include <unistd.h>

namespace {

const char kDefaultConfig[] = "/zelo/etc/antivirus/config.json";
const qint64 kDefaultTimeoutSeconds = 30;

enum ExitCode { ExitSuccess = 0, ExitFailedReply = 1, ExitNoReply = 2 };

struct Options
{
    QString configFile = QString::fromLatin1(kDefaultConfig);
    QString socketName;
    qint64 timeoutSeconds = kDefaultTimeoutSeconds;
    bool json = false; // print raw replies
    QStringList arguments; // the subcommand and its arguments
};

// Raised as a value, never thrown: the one-line reason a run cannot go on.
struct Failure
{
    QString message;
};

using Command = std::function<int(const Options&, const QStringList&)>;

void printLine(FILE* stream, const QString& text)
{
    QTextStream(stream) << text << '\n';
}

int fail(const QString& message)
{
    printLine(stderr, QStringLiteral("znavctl: ") + message);
    return ExitNoReply;
}

QString usage()
{
    return QStringLiteral(
        "usage: znavctl [--cfg FILE | --socket NAME] [--timeout SECONDS] [--json] "
        "(call CMD [PARAMS_JSON] | update [--wait | --stop | --status])");
}

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

// The socket name from --socket or from the configuration's "lpcid".
bool resolveSocket(const Options& options, QString& name, Failure& failure)
{
    if (!options.socketName.isEmpty()) {
        name = options.socketName;
        return true;
    }
    const QJsonObject configuration = KX2File::readJsonObject(options.configFile);
    name = toString(configuration.value(QStringLiteral("lpcid"))).trimmed();
    if (name.isEmpty()) {
        failure.message = QStringLiteral("no lpcid in %1").arg(options.configFile);
        return false;
    }
    return true;
}

// Sends `request`; false with the reason in `failure` when no reply came.
bool exchange(const Options& options, const QJsonObject& request, QJsonObject& reply, Failure& failure)
{
    QString name;
    if (!resolveSocket(options, name, failure))
        return false;
    if (!KX2LocalServer::localRequest(name, request, &reply, options.timeoutSeconds)) {
        failure.message = QStringLiteral("the service at %1 cannot be reached or did not answer within %2 s")
                              .arg(name)
                              .arg(options.timeoutSeconds);
        return false;
    }
    return true;
}

bool succeeded(const QJsonObject& reply)
{
    const QJsonValue err = reply.value(QStringLiteral("err"));
    return err.isDouble() && err.toDouble() == 0;
}

void printJson(const QJsonObject& reply)
{
    QTextStream(stdout) << QJsonDocument(reply).toJson(QJsonDocument::Indented);
}

// Sends `request` and prints the reply; the exit status follows its err.
int sendRequest(const Options& options, const QJsonObject& request)
{
    QJsonObject reply;
    Failure failure;
    if (!exchange(options, request, reply, failure))
        return fail(failure.message);
    printJson(reply);
    return succeeded(reply) ? ExitSuccess : ExitFailedReply;
}

QJsonObject command(const char* cmd)
{
    return QJsonObject{{QStringLiteral("cmd"), QLatin1String(cmd)}};
}

// The reply's message, or its code when it has none.
QString reason(const QJsonObject& reply)
{
    const QString message = reply.value(QStringLiteral("errmsg")).toString();
    return message.isEmpty() ? QStringLiteral("err %1").arg(reply.value(QStringLiteral("err")).toInt()) : message;
}

// "[=====>    ]  52%  123456/234567 bytes"
QString progressLine(const QJsonObject& report)
{
    const int width = 30;
    const int rate = qBound(0, report.value(QStringLiteral("rate")).toInt(), 100);
    const int filled = rate * width / 100;
    QString bar = QString(filled, QLatin1Char('=')) + QString(width - filled, QLatin1Char(' '));
    if (filled < width)
        bar[filled] = QLatin1Char('>');
    return QStringLiteral("[%1] %2%  %3/%4 bytes")
        .arg(bar)
        .arg(rate, 3)
        .arg(qint64(report.value(QStringLiteral("position")).toDouble()))
        .arg(qint64(report.value(QStringLiteral("total")).toDouble()));
}

void printStatus(const QJsonObject& reply)
{
    const QJsonObject report = reply.value(QStringLiteral("results")).toObject();
    QTextStream out(stdout);
    out << "running:    " << (succeeded(reply) ? "yes" : "no") << '\n';
    out << "progress:   " << progressLine(report) << '\n';
    const QJsonValue last = report.value(QStringLiteral("lastresult"));
    out << "last run:   "
        << (last.isUndefined() ? "none since the service started" : last.toInt() == 1 ? "succeeded" : "failed")
        << '\n';
    out << "updatetime: " << report.value(QStringLiteral("updatetime")).toString(QStringLiteral("unknown")) << '\n';
}

// Follows a started update until the service reports it ended.
int waitForUpdate(const Options& options)
{
    const bool terminal = ::isatty(STDOUT_FILENO);
    QString shown;
    QJsonObject reply;
    for (;;) {
        Failure failure;
        if (!exchange(options, command("antivirus_updvdb_running"), reply, failure))
            return fail(failure.message);
        const QString line = progressLine(reply.value(QStringLiteral("results")).toObject());
        if (!options.json && line != shown) {
            // On a terminal the bar is redrawn in place; elsewhere each
            // change is a line of its own.
            QTextStream(stdout) << (terminal ? "\r" : "") << line << (terminal ? "" : "\n") << Qt::flush;
            shown = line;
        }
        if (!succeeded(reply))
            break;
        // The service offers no notification; a short poll keeps the bar live.
        QThread::msleep(200);
    }
    const QJsonObject report = reply.value(QStringLiteral("results")).toObject();
    const bool ok = report.value(QStringLiteral("lastresult")).toInt() == 1;
    if (options.json) {
        printJson(reply);
    } else {
        QTextStream out(stdout);
        if (terminal)
            out << '\n';
        out << (ok ? "update succeeded" : "update failed") << '\n';
        out << "updatetime: " << report.value(QStringLiteral("updatetime")).toString(QStringLiteral("unknown"))
            << '\n';
    }
    return ok ? ExitSuccess : ExitFailedReply;
}

// update [--wait] | --stop | --status
int updateCommand(const Options& options, const QStringList& args)
{
    const QString mode = args.value(0);
    if (args.size() > 1
        || !(mode.isEmpty() || mode == QLatin1String("--wait") || mode == QLatin1String("--stop")
             || mode == QLatin1String("--status")))
        return fail(usage());

    const char* cmd = mode == QLatin1String("--stop") ? "antivirus_updvdb_stop"
        : mode == QLatin1String("--status")           ? "antivirus_updvdb_running"
                                                      : "antivirus_updvdb_start";
    QJsonObject reply;
    Failure failure;
    if (!exchange(options, command(cmd), reply, failure))
        return fail(failure.message);

    if (mode == QLatin1String("--status")) {
        options.json ? printJson(reply) : printStatus(reply);
        return reply.contains(QStringLiteral("results")) ? ExitSuccess : ExitFailedReply;
    }
    if (mode == QLatin1String("--wait") && succeeded(reply))
        return waitForUpdate(options);
    if (options.json)
        printJson(reply);
    else if (succeeded(reply))
        printLine(stdout, mode == QLatin1String("--stop") ? QStringLiteral("no update is running")
                                                          : QStringLiteral("update started"));
    else
        printLine(stdout, QStringLiteral("refused: ") + reason(reply));
    return succeeded(reply) ? ExitSuccess : ExitFailedReply;
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

const QHash<QString, Command>& commands()
{
    static const QHash<QString, Command> table{
        {QStringLiteral("call"), callCommand},
        {QStringLiteral("update"), updateCommand},
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
        return fail(QStringLiteral("unknown command %1; %2").arg(options.arguments.first(), usage()));
    return (*command)(options, options.arguments.mid(1));
}
