// znavctl logs | quarantine [--page N] [--size M] [--json], restore N...,
// purge N..., prune [--json]: scan logs and quarantined files for people
// (tables, one-line outcomes) and for scripts (--json, the raw reply).

#include "znavctl.h"

#include "kx2values.h"

#include <QJsonArray>

#include <functional>

namespace znavctl {
namespace {

// The numbers of restore and purge: positive whole numbers, at least one.
bool recordNumbers(const QCommandLineParser& parser, QJsonArray& numbers, Failure& failure)
{
    for (const QString& arg : parser.positionalArguments()) {
        int value = 0;
        if (!positiveNumber(arg, value)) {
            failure.message = QStringLiteral("%1 is not a record number").arg(arg);
            return false;
        }
        numbers.append(value);
    }
    if (numbers.isEmpty()) {
        failure.message = QStringLiteral("name at least one record number");
        return false;
    }
    return true;
}

// Sends a record command's request; with --json prints the reply as is.
// Returns -1 when the caller should print the successful reply itself.
int recordRequest(const Options& options, const QString& what, const QString& cmd,
                  const QJsonObject& params, QJsonObject& reply)
{
    QJsonObject request{{QStringLiteral("cmd"), cmd}};
    if (!params.isEmpty())
        request.insert(QStringLiteral("params"), params);
    if (options.json)
        return sendRequest(options, request);
    Failure failure;
    if (!exchange(options, request, reply, failure))
        return fail(failure.message);
    return succeeded(reply) ? -1 : reportFailure(what, reply);
}

int listing(const Options& options, const QCommandLineParser& parser, const QString& what,
            const QString& cmd, const QStringList& header,
            const std::function<QStringList(const QJsonObject&)>& row)
{
    if (!parser.positionalArguments().isEmpty())
        return usageFailure(
            what,
            QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));
    int page = 1;
    int size = 20;
    for (const char* name : {"page", "size"}) {
        const QString option = QLatin1String(name);
        if (parser.isSet(option)
            && !positiveNumber(parser.value(option), option == QLatin1String("page") ? page : size))
            return usageFailure(what, QStringLiteral("--%1 needs a positive number").arg(option));
    }
    QJsonObject reply;
    const QJsonObject params{{QStringLiteral("page"), page}, {QStringLiteral("ofpage"), size}};
    const int status = recordRequest(options, what, cmd, params, reply);
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
        printLine(stdout, QStringLiteral("(no rows from %1; %2 in all)").arg(page).arg(total));
    else
        printLine(
            stdout,
            QStringLiteral("(rows %1-%2 of %3)").arg(page).arg(page + rows.size() - 1).arg(total));
    return ExitSuccess;
}

// logs [--page N] [--size M] [--json]
int logsCommand(const Options& options, const QCommandLineParser& parser)
{
    return listing(
        options, parser, QStringLiteral("logs"), QStringLiteral("antivirus_log_alload"),
        {"LOG", "STATE", "START", "END", "SECONDS", "FILES", "SCANNED", "INFECTED", "LIMITED",
         "PATH"},
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
                cell(log.value(QStringLiteral("limited"))),
                cell(log.value(QStringLiteral("path"))),
            };
        });
}

// quarantine [--page N] [--size M] [--json]
int quarantineCommand(const Options& options, const QCommandLineParser& parser)
{
    return listing(options, parser, QStringLiteral("quarantine"),
                   QStringLiteral("antivirus_quarantined_alload"),
                   {"RECORD", "TIME", "VIRUS", "FILE", "PATH"}, [](const QJsonObject& record) {
                       return QStringList{
                           cell(record.value(QStringLiteral("iftno"))),
                           cell(record.value(QStringLiteral("time"))),
                           cell(record.value(QStringLiteral("virus"))),
                           toInt(record.value(QStringLiteral("removed")))
                               ? QStringLiteral("missing")
                               : QStringLiteral("kept"),
                           cell(record.value(QStringLiteral("path"))),
                       };
                   });
}

int numberedCommand(const Options& options, const QCommandLineParser& parser, const QString& what,
                    const QString& cmd, const QString& done)
{
    QJsonArray numbers;
    Failure failure;
    if (!recordNumbers(parser, numbers, failure))
        return usageFailure(what, failure.message);
    QJsonObject reply;
    const int status =
        recordRequest(options, what, cmd, {{QStringLiteral("iftnos"), numbers}}, reply);
    if (status >= 0)
        return status;
    printLine(stdout,
              QStringLiteral("%1; list the quarantine to see what remains")
                  .arg(done.left(1).toUpper() + done.mid(1)));
    return ExitSuccess;
}

// restore [--json] N...
int restoreCommand(const Options& options, const QCommandLineParser& parser)
{
    return numberedCommand(options, parser, QStringLiteral("restore"),
                           QStringLiteral("antivirus_quarantined_restore"),
                           QStringLiteral("queued for restoring"));
}

// purge [--json] N...
int purgeCommand(const Options& options, const QCommandLineParser& parser)
{
    return numberedCommand(options, parser, QStringLiteral("purge"),
                           QStringLiteral("antivirus_quarantined_remove"),
                           QStringLiteral("deleted"));
}

// prune [--json]
int pruneCommand(const Options& options, const QCommandLineParser& parser)
{
    if (!parser.positionalArguments().isEmpty())
        return usageFailure(
            QStringLiteral("prune"),
            QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));
    QJsonObject reply;
    const int status =
        recordRequest(options, QStringLiteral("prune"),
                      QStringLiteral("antivirus_quarantined_reduce"), QJsonObject(), reply);
    if (status >= 0)
        return status;
    const int amount =
        toInt(reply.value(QStringLiteral("results")).toObject().value(QStringLiteral("amount")));
    printLine(stdout, QStringLiteral("%1 record(s) of vanished files pruned").arg(amount));
    return ExitSuccess;
}

void pagedOptions(QCommandLineParser& parser)
{
    parser.addOptions({
        {QStringLiteral("page"), QStringLiteral("First row to show, counted from 1 (default 1)."),
         QStringLiteral("N")},
        {QStringLiteral("size"), QStringLiteral("Rows to show (default 20)."), QStringLiteral("M")},
    });
}

void numberOperands(QCommandLineParser& parser)
{
    parser.addPositionalArgument(QStringLiteral("N"),
                                 QStringLiteral("record numbers, as the quarantine lists them"),
                                 QStringLiteral("N..."));
}

} // namespace

void addRecordCommands(QList<Command>& table)
{
    table << Command{QStringLiteral("logs"), QStringLiteral("[--page N] [--size M]"),
                     QStringLiteral("Lists the scan logs, one row per finished or stopped task."),
                     pagedOptions, logsCommand};
    table << Command{QStringLiteral("quarantine"), QStringLiteral("[--page N] [--size M]"),
                     QStringLiteral("Lists the quarantined files."), pagedOptions,
                     quarantineCommand};
    table << Command{QStringLiteral("restore"), QStringLiteral("N..."),
                     QStringLiteral("Moves quarantined files back to where they were found."),
                     numberOperands, restoreCommand};
    table << Command{QStringLiteral("purge"), QStringLiteral("N..."),
                     QStringLiteral("Deletes quarantined files and their records."), numberOperands,
                     purgeCommand};
    table << Command{QStringLiteral("prune"), QString(),
                     QStringLiteral("Drops the records of quarantined files that are gone."),
                     [](QCommandLineParser&) {}, pruneCommand};
}

} // namespace znavctl
