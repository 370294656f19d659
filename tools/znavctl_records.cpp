// znavctl logs | quarantine [--last N] [--since TIME] [--page N] [--size M]
// [--json], restore N...,
// purge N..., prune [--json]: scan logs and quarantined files for people
// (tables, one-line outcomes) and for scripts (--json, the raw reply).

#include "znavctl.h"

#include "kx2values.h"

#include <QJsonArray>

#include <algorithm>
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

// The rows of a listing the user asked for: by default the newest first
// (--last N of them, 20 unless given), those stamped at or after --since;
// with --page or --size the window of rows as stored, oldest first.
struct Selection
{
    bool window = false;
    int page = 1;
    int size = 20;
    int last = 20;
    bool lastGiven = false;
    QString since; // "yyyy-MM-dd HH:mm:ss", or empty
};

bool selectionOf(const QCommandLineParser& parser, Selection& selection, QString& problem)
{
    for (const char* name : {"page", "size", "last"}) {
        const QString option = QLatin1String(name);
        if (!parser.isSet(option))
            continue;
        int& target = option == QLatin1String("page") ? selection.page
            : option == QLatin1String("size")         ? selection.size
                                                      : selection.last;
        if (!positiveNumber(parser.value(option), target)) {
            problem = QStringLiteral("--%1 needs a positive number").arg(option);
            return false;
        }
    }
    selection.window = parser.isSet(QStringLiteral("page")) || parser.isSet(QStringLiteral("size"));
    selection.lastGiven = parser.isSet(QStringLiteral("last"));
    if (parser.isSet(QStringLiteral("since"))
        && !sinceStamp(parser.value(QStringLiteral("since")), selection.since)) {
        problem = QStringLiteral("--since needs a time (2026-12-08 or \"2026-12-08 09:30\") or an "
                                 "age (90m, 24h, 7d)");
        return false;
    }
    if (selection.window && (selection.lastGiven || !selection.since.isEmpty())) {
        problem = QStringLiteral("--page and --size do not go with --last or --since");
        return false;
    }
    return true;
}

// Most rows a listing with --since reads.
const int kMostListed = 1000000;

// The newest rows of `cmd` as `selection` asks, newest first. With --since
// the newest rows are read in growing batches until one reaches past it.
bool newestSelected(const Options& options, const char* cmd, const char* timeKey,
                    const Selection& selection, QJsonArray& rows, int& total, Failure& failure)
{
    if (selection.since.isEmpty())
        return newestRecords(options, cmd, selection.last, rows, total, failure);
    const int wanted = selection.lastGiven ? selection.last : kMostListed;
    for (int batch = std::min(wanted, 500);; batch = std::min(wanted, batch * 4)) {
        QJsonArray newest;
        if (!newestRecords(options, cmd, batch, newest, total, failure))
            return false;
        rows = QJsonArray();
        for (const QJsonValue& row : qAsConst(newest)) {
            if (rows.size() == wanted
                || row.toObject().value(QLatin1String(timeKey)).toString() < selection.since)
                return true;
            rows.append(row);
        }
        if (newest.size() >= total || batch >= wanted)
            return true;
    }
}

int listing(const Options& options, const QCommandLineParser& parser, const QString& what,
            const char* cmd, const char* timeKey, const QStringList& header,
            const std::function<QStringList(const QJsonObject&)>& row)
{
    if (!parser.positionalArguments().isEmpty())
        return usageFailure(
            what,
            QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));
    Selection selection;
    QString problem;
    if (!selectionOf(parser, selection, problem))
        return usageFailure(what, problem);
    QJsonArray records;
    int total = 0;
    if (selection.window) {
        QJsonObject reply;
        const QJsonObject params{{QStringLiteral("page"), selection.page},
                                 {QStringLiteral("ofpage"), selection.size}};
        const int status = recordRequest(options, what, QLatin1String(cmd), params, reply);
        if (status >= 0)
            return status;
        const QJsonObject results = reply.value(QStringLiteral("results")).toObject();
        records = results.value(QStringLiteral("records")).toArray();
        total = toInt(results.value(QStringLiteral("reccount")));
    } else {
        Failure failure;
        if (!newestSelected(options, cmd, timeKey, selection, records, total, failure))
            return fail(QStringLiteral("%1 failed: %2").arg(what, failure.message));
        if (options.json) {
            printJson(QJsonObject{{QStringLiteral("err"), 0},
                                  {QStringLiteral("results"),
                                   QJsonObject{{QStringLiteral("reccount"), total},
                                               {QStringLiteral("records"), records}}}});
            return ExitSuccess;
        }
    }
    QList<QStringList> rows;
    for (const QJsonValue& record : qAsConst(records))
        rows << row(record.toObject());
    printTable(header, rows);
    if (selection.window)
        printLine(
            stdout,
            rows.isEmpty()
                ? QStringLiteral("(no rows from %1; %2 in all)").arg(selection.page).arg(total)
                : QStringLiteral("(rows %1-%2 of %3, oldest first)")
                      .arg(selection.page)
                      .arg(selection.page + rows.size() - 1)
                      .arg(total));
    else
        printLine(stdout,
                  QStringLiteral("(%1 newest%2, of %3 in all)")
                      .arg(rows.size())
                      .arg(selection.since.isEmpty() ? QString()
                                                     : QStringLiteral(" since ") + selection.since)
                      .arg(total));
    return ExitSuccess;
}

// logs [--page N] [--size M] [--json]
int logsCommand(const Options& options, const QCommandLineParser& parser)
{
    return listing(
        options, parser, QStringLiteral("logs"), "antivirus_log_alload", "endtime",
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
    return listing(options, parser, QStringLiteral("quarantine"), "antivirus_quarantined_alload",
                   "time", {"RECORD", "TIME", "VIRUS", "FILE", "PATH"},
                   [](const QJsonObject& record) {
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
        {QStringLiteral("last"),
         QStringLiteral("Show the N newest rows, newest first (default 20)."), QStringLiteral("N")},
        {QStringLiteral("since"),
         QStringLiteral("Only rows from this time on: 2026-12-08, \"2026-12-08 09:30\", or an age "
                        "such as 90m, 24h, 7d."),
         QStringLiteral("TIME")},
        {QStringLiteral("page"),
         QStringLiteral("Instead: the rows as stored, oldest first, from row N (counted from 1)."),
         QStringLiteral("N")},
        {QStringLiteral("size"), QStringLiteral("With --page: rows to show (default 20)."),
         QStringLiteral("M")},
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
    table << Command{QStringLiteral("logs"),
                     QStringLiteral("[--last N] [--since TIME] | [--page N] [--size M]"),
                     QStringLiteral("Lists the scan logs, one row per finished or stopped task."),
                     pagedOptions, logsCommand};
    table << Command{QStringLiteral("quarantine"),
                     QStringLiteral("[--last N] [--since TIME] | [--page N] [--size M]"),
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
