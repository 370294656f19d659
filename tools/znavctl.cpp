// znavctl: command-line client of the antivirus service.
//
//   znavctl [--cfg FILE | --socket NAME] [--timeout SECONDS] call CMD [PARAMS_JSON]
//
// Sends one request over the service's local socket and prints the reply
// as indented JSON. The socket name is --socket, or else the "lpcid" of
// the service's configuration file (--cfg, by default the file the service
// itself reads).
//
// Exit status: 0 when the reply's err is 0; 1 for any other reply; 2 with
// a one-line message on standard error when the service cannot be reached,
// does not answer in time, or the command line is unusable.
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

#include <functional>

namespace {

const char kDefaultConfig[] = "/zelo/etc/antivirus/config.json";
const qint64 kDefaultTimeoutSeconds = 30;

enum ExitCode { ExitSuccess = 0, ExitFailedReply = 1, ExitNoReply = 2 };

struct Options
{
    QString configFile = QString::fromLatin1(kDefaultConfig);
    QString socketName;
    qint64 timeoutSeconds = kDefaultTimeoutSeconds;
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
        "usage: znavctl [--cfg FILE | --socket NAME] [--timeout SECONDS] call CMD [PARAMS_JSON]");
}

bool parseOptions(const QStringList& argv, Options& options, Failure& failure)
{
    bool sawCfg = false;
    for (int i = 1; i < argv.size(); ++i) {
        const QString& arg = argv.at(i);
        const bool takesValue = arg == QLatin1String("--cfg") || arg == QLatin1String("--socket")
            || arg == QLatin1String("--timeout");
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

// Sends `request` and prints the reply; the exit status follows its err.
int sendRequest(const Options& options, const QJsonObject& request)
{
    QString name;
    Failure failure;
    if (!resolveSocket(options, name, failure))
        return fail(failure.message);
    QJsonObject reply;
    if (!KX2LocalServer::localRequest(name, request, &reply, options.timeoutSeconds)) {
        return fail(QStringLiteral("the service at %1 cannot be reached or did not answer within %2 s")
                        .arg(name)
                        .arg(options.timeoutSeconds));
    }
    QTextStream(stdout) << QJsonDocument(reply).toJson(QJsonDocument::Indented);
    const QJsonValue err = reply.value(QStringLiteral("err"));
    return err.isDouble() && err.toDouble() == 0 ? ExitSuccess : ExitFailedReply;
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
