// znavctl update [--wait | --stop | --status]

#include "znavctl.h"

#include "kx2escape.h"

#include <QJsonDocument>
#include <QTextStream>
#include <QThread>

#include <unistd.h>

namespace znavctl {
namespace {

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

// "reason: ..." when the last run failed; the engine's state.
void printOutcome(QTextStream& out, const QJsonObject& report)
{
    const QString reason = kx2Escaped(report.value(QStringLiteral("lastreason")).toString());
    if (!reason.isEmpty())
        out << "reason:     " << reason << '\n';
    const QJsonObject engine = report.value(QStringLiteral("engine")).toObject();
    if (engine.value(QStringLiteral("loaded")).toInt() == 1) {
        out << "engine:     loaded, "
            << qint64(engine.value(QStringLiteral("signatures")).toDouble())
            << " signatures, set installed "
            << kx2Escaped(engine.value(QStringLiteral("installtime"))
                              .toString(QStringLiteral("at an unknown time")))
            << '\n';
    } else {
        out << "engine:     not loaded (scans are refused)\n";
    }
    const QString loadError = kx2Escaped(engine.value(QStringLiteral("loaderror")).toString());
    if (!loadError.isEmpty())
        out << "load error: " << loadError << '\n';
}

void printStatus(const QJsonObject& reply)
{
    const QJsonObject report = reply.value(QStringLiteral("results")).toObject();
    QTextStream out(stdout);
    out << "running:    " << (succeeded(reply) ? "yes" : "no") << '\n';
    out << "progress:   " << progressLine(report) << '\n';
    const QJsonValue last = report.value(QStringLiteral("lastresult"));
    out << "last run:   "
        << (last.isUndefined()      ? "none since the service started"
                : last.toInt() == 1 ? "succeeded"
                                    : "failed")
        << '\n';
    out << "updatetime: "
        << kx2Escaped(
               report.value(QStringLiteral("updatetime")).toString(QStringLiteral("unknown")))
        << '\n';
    printOutcome(out, report);
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
            QTextStream(stdout) << (terminal ? "\r" : "") << line << (terminal ? "" : "\n")
                                << Qt::flush;
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
        out << "updatetime: "
            << report.value(QStringLiteral("updatetime")).toString(QStringLiteral("unknown"))
            << '\n';
        printOutcome(out, report);
    }
    return ok ? ExitSuccess : ExitError;
}

// update [--wait | --stop | --status]
int updateCommand(const Options& options, const QCommandLineParser& parser)
{
    if (!parser.positionalArguments().isEmpty())
        return usageFailure(QStringLiteral("update"), QStringLiteral("takes no operands"));
    QString mode;
    for (const char* flag : {"wait", "stop", "status"}) {
        if (!parser.isSet(QLatin1String(flag)))
            continue;
        if (!mode.isEmpty())
            return usageFailure(
                QStringLiteral("update"),
                QStringLiteral("--%1 and --%2 exclude each other").arg(mode, QLatin1String(flag)));
        mode = QLatin1String(flag);
    }

    const char* cmd = mode == QLatin1String("stop") ? "antivirus_updvdb_stop"
        : mode == QLatin1String("status")           ? "antivirus_updvdb_running"
                                                    : "antivirus_updvdb_start";
    QJsonObject reply;
    Failure failure;
    if (!exchange(options, command(cmd), reply, failure))
        return fail(failure.message);

    if (mode == QLatin1String("status")) {
        options.json ? printJson(reply) : printStatus(reply);
        return reply.contains(QStringLiteral("results")) ? ExitSuccess : ExitError;
    }
    if (mode == QLatin1String("wait") && succeeded(reply))
        return waitForUpdate(options);
    if (options.json)
        printJson(reply);
    else if (succeeded(reply))
        printLine(stdout,
                  mode == QLatin1String("stop") ? QStringLiteral("no update is running")
                                                : QStringLiteral("update started"));
    else
        printLine(stdout, QStringLiteral("refused: ") + reason(reply));
    return succeeded(reply) ? ExitSuccess : ExitError;
}

} // namespace

void addUpdateCommands(QList<Command>& table)
{
    table << Command{
        QStringLiteral("update"), QStringLiteral("[--wait | --stop | --status]"),
        QStringLiteral("Starts a virus database update, follows it, stops it or reports on it."),
        [](QCommandLineParser& parser) {
            parser.addOptions({
                {QStringLiteral("wait"),
                 QStringLiteral("Start and follow the update with a progress bar; exit 1 when it "
                                "fails.")},
                {QStringLiteral("stop"), QStringLiteral("Stop the running update.")},
                {QStringLiteral("status"),
                 QStringLiteral("Report the running or last update and the engine's state.")},
            });
        },
        updateCommand};
}

} // namespace znavctl
