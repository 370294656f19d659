// znavctl: command-line client of the antivirus service.
//
//   znavctl [--cfg FILE | --socket NAME] [--timeout SECONDS] COMMAND ...
//
//   call CMD [PARAMS_JSON]              one request, the reply as indented JSON
//   logs [--page N] [--size M] [--json]        scan logs, rows N to N+M-1
//   quarantine [--page N] [--size M] [--json]  quarantined files
//   restore [--json] N...               move quarantined files back
//   purge [--json] N...                 delete quarantined files
//   prune [--json]                      drop records whose file is gone
//
// Sends one request over the service's local socket. The record commands
// print tables and one-line outcomes for people, or with --json the reply
// as indented JSON for scripts. The socket name is --socket, or else the "lpcid" of
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
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QStringList>
#include <QTextStream>
#include <QVector>

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

// One line, so every failure stays a one-line message.
QString usage()
{
    return QStringLiteral("usage: znavctl [--cfg FILE | --socket NAME] [--timeout SECONDS] "
                          "call CMD [PARAMS_JSON] | logs|quarantine [--page N] [--size M] [--json] | "
                          "restore|purge [--json] N... | prune [--json]");
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

bool replySucceeded(const QJsonObject& reply)
{
    const QJsonValue err = reply.value(QStringLiteral("err"));
    return err.isDouble() && err.toDouble() == 0;
}

// Sends `request` and leaves the reply in `reply`; false after printing
// why no reply came.
bool exchange(const Options& options, const QJsonObject& request, QJsonObject& reply)
{
    QString name;
    Failure failure;
    if (!resolveSocket(options, name, failure)) {
        fail(failure.message);
        return false;
    }
    if (!KX2LocalServer::localRequest(name, request, &reply, options.timeoutSeconds)) {
        fail(QStringLiteral("the service at %1 cannot be reached or did not answer within %2 s")
                 .arg(name)
                 .arg(options.timeoutSeconds));
        return false;
    }
    return true;
}

// Sends `request` and prints the reply; the exit status follows its err.
int sendRequest(const Options& options, const QJsonObject& request)
{
    QJsonObject reply;
    if (!exchange(options, request, reply))
        return ExitNoReply;
    QTextStream(stdout) << QJsonDocument(reply).toJson(QJsonDocument::Indented);
    return replySucceeded(reply) ? ExitSuccess : ExitFailedReply;
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

// --- Scan logs and quarantine ---------------------------------------------

// The arguments of a record command: --json, --page N, --size M (where
// allowed) and the record numbers (where allowed).
struct RecordArgs
{
    bool json = false;
    int page = 1;
    int size = 20;
    QJsonArray numbers;
};

bool positiveNumber(const QString& text, int& number)
{
    bool ok = false;
    number = text.toInt(&ok);
    return ok && number > 0;
}

bool parseRecordArgs(const QStringList& args, bool paged, bool numbered, RecordArgs& parsed, Failure& failure)
{
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (arg == QLatin1String("--json")) {
            parsed.json = true;
        } else if (paged && (arg == QLatin1String("--page") || arg == QLatin1String("--size"))) {
            int value = 0;
            if (i + 1 >= args.size() || !positiveNumber(args.at(++i), value)) {
                failure.message = QStringLiteral("%1 needs a positive number").arg(arg);
                return false;
            }
            (arg == QLatin1String("--page") ? parsed.page : parsed.size) = value;
        } else if (numbered && !arg.startsWith(QLatin1String("--"))) {
            int value = 0;
            if (!positiveNumber(arg, value)) {
                failure.message = QStringLiteral("%1 is not a record number").arg(arg);
                return false;
            }
            parsed.numbers.append(value);
        } else {
            failure.message = QStringLiteral("unexpected argument %1; %2").arg(arg, usage());
            return false;
        }
    }
    if (numbered && parsed.numbers.isEmpty()) {
        failure.message = QStringLiteral("name at least one record number; %1").arg(usage());
        return false;
    }
    return true;
}

// Prints rows as columns padded to their widest cell; the last column is
// left unpadded (paths).
void printTable(const QStringList& header, const QList<QStringList>& rows)
{
    QVector<int> widths(header.size(), 0);
    for (int c = 0; c < header.size(); ++c)
        widths[c] = header.at(c).size();
    for (const QStringList& row : rows) {
        for (int c = 0; c < row.size() && c < widths.size(); ++c)
            widths[c] = qMax(widths[c], row.at(c).size());
    }
    QTextStream out(stdout);
    auto line = [&](const QStringList& cells) {
        QStringList padded;
        for (int c = 0; c < cells.size(); ++c)
            padded << (c + 1 < cells.size() ? cells.at(c).leftJustified(widths[c]) : cells.at(c));
        out << padded.join(QStringLiteral("  ")) << '\n';
    };
    line(header);
    for (const QStringList& row : rows)
        line(row);
}

QString cell(const QJsonValue& value)
{
    return value.isDouble() ? QString::number(qint64(value.toDouble())) : value.toString();
}

// A failed reply for people: its code and message on standard error.
int reportFailure(const QString& what, const QJsonObject& reply)
{
    const int code = toInt(reply.value(QStringLiteral("err")));
    const QString message = reply.value(QStringLiteral("errmsg")).toString();
    printLine(stderr, QStringLiteral("znavctl: %1 failed (err %2%3)")
                          .arg(what)
                          .arg(code)
                          .arg(message.isEmpty() ? QString() : QStringLiteral(": ") + message));
    return ExitFailedReply;
}

// Sends a record command's request; with --json prints the reply as is.
// Returns -1 when the caller should print the successful reply itself.
int recordRequest(const Options& options, const RecordArgs& args, const QString& what, const QString& cmd,
                  const QJsonObject& params, QJsonObject& reply)
{
    QJsonObject request{{QStringLiteral("cmd"), cmd}};
    if (!params.isEmpty())
        request.insert(QStringLiteral("params"), params);
    if (args.json)
        return sendRequest(options, request);
    if (!exchange(options, request, reply))
        return ExitNoReply;
    return replySucceeded(reply) ? -1 : reportFailure(what, reply);
}

int listing(const Options& options, const QStringList& argv, const QString& what, const QString& cmd,
            const QStringList& header, const std::function<QStringList(const QJsonObject&)>& row)
{
    RecordArgs args;
    Failure failure;
    if (!parseRecordArgs(argv, true, false, args, failure))
        return fail(failure.message);
    QJsonObject reply;
    const QJsonObject params{{QStringLiteral("page"), args.page}, {QStringLiteral("ofpage"), args.size}};
    const int status = recordRequest(options, args, what, cmd, params, reply);
    if (status >= 0)
        return status;
    const QJsonObject results = reply.value(QStringLiteral("results")).toObject();
    const QJsonArray records = results.value(QStringLiteral("records")).toArray();
    QList<QStringList> rows;
    for (const QJsonValue& record : records)
        rows << row(record.toObject());
    printTable(header, rows);
    const int total = toInt(results.value(QStringLiteral("reccount")));
    if (rows.isEmpty())
        printLine(stdout, QStringLiteral("(no rows from %1; %2 in all)").arg(args.page).arg(total));
    else
        printLine(stdout, QStringLiteral("(rows %1-%2 of %3)").arg(args.page).arg(args.page + rows.size() - 1).arg(total));
    return ExitSuccess;
}

// logs [--page N] [--size M] [--json]
int logsCommand(const Options& options, const QStringList& argv)
{
    return listing(options, argv, QStringLiteral("logs"), QStringLiteral("antivirus_log_alload"),
                   {"LOG", "STATE", "START", "END", "SECONDS", "FILES", "SCANNED", "INFECTED", "PATH"},
                   [](const QJsonObject& log) {
                       const int state = toInt(log.value(QStringLiteral("state")));
                       return QStringList{
                           cell(log.value(QStringLiteral("logno"))),
                           state == 9 ? QStringLiteral("done") : state == 8 ? QStringLiteral("cancelled")
                                                                            : QString::number(state),
                           cell(log.value(QStringLiteral("starttime"))),
                           cell(log.value(QStringLiteral("endtime"))),
                           cell(log.value(QStringLiteral("times"))),
                           cell(log.value(QStringLiteral("totality"))),
                           cell(log.value(QStringLiteral("resolved"))),
                           cell(log.value(QStringLiteral("infectes"))),
                           cell(log.value(QStringLiteral("path"))),
                       };
                   });
}

// quarantine [--page N] [--size M] [--json]
int quarantineCommand(const Options& options, const QStringList& argv)
{
    return listing(options, argv, QStringLiteral("quarantine"), QStringLiteral("antivirus_quarantined_alload"),
                   {"RECORD", "TIME", "VIRUS", "FILE", "PATH"}, [](const QJsonObject& record) {
                       return QStringList{
                           cell(record.value(QStringLiteral("iftno"))),
                           cell(record.value(QStringLiteral("time"))),
                           cell(record.value(QStringLiteral("virus"))),
                           toInt(record.value(QStringLiteral("removed"))) ? QStringLiteral("missing")
                                                                          : QStringLiteral("kept"),
                           cell(record.value(QStringLiteral("path"))),
                       };
                   });
}

int numberedCommand(const Options& options, const QStringList& argv, const QString& what, const QString& cmd,
                    const QString& done)
{
    RecordArgs args;
    Failure failure;
    if (!parseRecordArgs(argv, false, true, args, failure))
        return fail(failure.message);
    QJsonObject reply;
    const int status = recordRequest(options, args, what, cmd, {{QStringLiteral("iftnos"), args.numbers}}, reply);
    if (status >= 0) {
        if (status == ExitFailedReply && toInt(reply.value(QStringLiteral("err"))) == 9999)
            printLine(stderr, QStringLiteral("znavctl: no record was %1 (unknown numbers, or refused: see the "
                                             "service's trace)").arg(done));
        return status;
    }
    printLine(stdout, QStringLiteral("%1; list the quarantine to see what remains").arg(done.left(1).toUpper() + done.mid(1)));
    return ExitSuccess;
}

// restore [--json] N...
int restoreCommand(const Options& options, const QStringList& argv)
{
    return numberedCommand(options, argv, QStringLiteral("restore"), QStringLiteral("antivirus_quarantined_restore"),
                           QStringLiteral("queued for restoring"));
}

// purge [--json] N...
int purgeCommand(const Options& options, const QStringList& argv)
{
    return numberedCommand(options, argv, QStringLiteral("purge"), QStringLiteral("antivirus_quarantined_remove"),
                           QStringLiteral("deleted"));
}

// prune [--json]
int pruneCommand(const Options& options, const QStringList& argv)
{
    RecordArgs args;
    Failure failure;
    if (!parseRecordArgs(argv, false, false, args, failure))
        return fail(failure.message);
    QJsonObject reply;
    const int status = recordRequest(options, args, QStringLiteral("prune"),
                                     QStringLiteral("antivirus_quarantined_reduce"), QJsonObject(), reply);
    if (status >= 0)
        return status;
    const int amount = toInt(reply.value(QStringLiteral("results")).toObject().value(QStringLiteral("amount")));
    printLine(stdout, QStringLiteral("%1 record(s) of vanished files pruned").arg(amount));
    return ExitSuccess;
}

const QHash<QString, Command>& commands()
{
    static const QHash<QString, Command> table{
        {QStringLiteral("call"), callCommand},
        {QStringLiteral("logs"), logsCommand},
        {QStringLiteral("quarantine"), quarantineCommand},
        {QStringLiteral("restore"), restoreCommand},
        {QStringLiteral("purge"), purgeCommand},
        {QStringLiteral("prune"), pruneCommand},
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
