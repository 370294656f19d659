// znavctl logs | quarantine [--page N] [--size M] [--json], restore N...,
// purge N..., prune [--json]: scan logs and quarantined files for people
// (tables, one-line outcomes) and for scripts (--json, the raw reply).

#include "znavctl.h"

#include "kx2values.h"

#include <QJsonArray>

#include <functional>

namespace znavctl {
namespace {

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

bool parseRecordArgs(const QStringList& args, bool paged, bool numbered, RecordArgs& parsed,
                     Failure& failure)
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

// A failed reply for people: its code and message on standard error.
int reportFailure(const QString& what, const QJsonObject& reply)
{
    const int code = toInt(reply.value(QStringLiteral("err")));
    const QString message = reply.value(QStringLiteral("errmsg")).toString();
    printLine(stderr,
              QStringLiteral("znavctl: %1 failed (err %2%3)")
                  .arg(what)
                  .arg(code)
                  .arg(message.isEmpty() ? QString() : QStringLiteral(": ") + message));
    return ExitFailedReply;
}

// Sends a record command's request; with --json prints the reply as is.
// Returns -1 when the caller should print the successful reply itself.
int recordRequest(const Options& options, const RecordArgs& args, const QString& what,
                  const QString& cmd, const QJsonObject& params, QJsonObject& reply)
{
    QJsonObject request{{QStringLiteral("cmd"), cmd}};
    if (!params.isEmpty())
        request.insert(QStringLiteral("params"), params);
    if (args.json || options.json)
        return sendRequest(options, request);
    Failure failure;
    if (!exchange(options, request, reply, failure))
        return fail(failure.message);
    return succeeded(reply) ? -1 : reportFailure(what, reply);
}

int listing(const Options& options, const QStringList& argv, const QString& what,
            const QString& cmd, const QStringList& header,
            const std::function<QStringList(const QJsonObject&)>& row)
{
    RecordArgs args;
    Failure failure;
    if (!parseRecordArgs(argv, true, false, args, failure))
        return fail(failure.message);
    QJsonObject reply;
    const QJsonObject params{{QStringLiteral("page"), args.page},
                             {QStringLiteral("ofpage"), args.size}};
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
        printLine(stdout,
                  QStringLiteral("(rows %1-%2 of %3)")
                      .arg(args.page)
                      .arg(args.page + rows.size() - 1)
                      .arg(total));
    return ExitSuccess;
}

} // namespace

// logs [--page N] [--size M] [--json]
int logsCommand(const Options& options, const QStringList& argv)
{
    return listing(
        options, argv, QStringLiteral("logs"), QStringLiteral("antivirus_log_alload"),
        {"LOG", "STATE", "START", "END", "SECONDS", "FILES", "SCANNED", "INFECTED", "PATH"},
        [](const QJsonObject& log) {
            const int state = toInt(log.value(QStringLiteral("state")));
            return QStringList{
                cell(log.value(QStringLiteral("logno"))),
                state == 9       ? QStringLiteral("done")
                    : state == 8 ? QStringLiteral("cancelled")
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
    return listing(
        options, argv, QStringLiteral("quarantine"), QStringLiteral("antivirus_quarantined_alload"),
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

int numberedCommand(const Options& options, const QStringList& argv, const QString& what,
                    const QString& cmd, const QString& done)
{
    RecordArgs args;
    Failure failure;
    if (!parseRecordArgs(argv, false, true, args, failure))
        return fail(failure.message);
    QJsonObject reply;
    const int status =
        recordRequest(options, args, what, cmd, {{QStringLiteral("iftnos"), args.numbers}}, reply);
    if (status >= 0)
        return status;
    printLine(stdout,
              QStringLiteral("%1; list the quarantine to see what remains")
                  .arg(done.left(1).toUpper() + done.mid(1)));
    return ExitSuccess;
}

// restore [--json] N...
int restoreCommand(const Options& options, const QStringList& argv)
{
    return numberedCommand(options, argv, QStringLiteral("restore"),
                           QStringLiteral("antivirus_quarantined_restore"),
                           QStringLiteral("queued for restoring"));
}

// purge [--json] N...
int purgeCommand(const Options& options, const QStringList& argv)
{
    return numberedCommand(options, argv, QStringLiteral("purge"),
                           QStringLiteral("antivirus_quarantined_remove"),
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
    const int status =
        recordRequest(options, args, QStringLiteral("prune"),
                      QStringLiteral("antivirus_quarantined_reduce"), QJsonObject(), reply);
    if (status >= 0)
        return status;
    const int amount =
        toInt(reply.value(QStringLiteral("results")).toObject().value(QStringLiteral("amount")));
    printLine(stdout, QStringLiteral("%1 record(s) of vanished files pruned").arg(amount));
    return ExitSuccess;
}

} // namespace znavctl
