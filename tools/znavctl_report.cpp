// znavctl report [--since TIME] [--json]: one screen for an administrator:
// what keeps the service from protecting, the engine and its database's
// age, the last update, the running scan, the last scan of every path
// scanned lately (missions marked), the detections since a time, and the
// quarantine.

#include "znavctl.h"

#include "kx2escape.h"
#include "kx2values.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QMap>
#include <QTextStream>

namespace znavctl {
namespace {

// Scan log rows looked through for the last scan of each path, and
// quarantine records for the counts.
const int kRecentLogs = 200;
const int kMostRecords = 100000;

struct Sources
{
    QJsonObject scan;   // antivirus_scan_running results
    QJsonObject update; // antivirus_updvdb_running results
    QJsonArray logs;    // newest first
    QJsonArray records; // newest first
    int recordCount = 0;
};

bool results(const Options& options, const char* cmd, QJsonObject& out, Failure& failure)
{
    QJsonObject reply;
    if (!exchange(options, command(cmd), reply, failure))
        return false;
    // antivirus_updvdb_running answers 9999 when no update runs, with its
    // report all the same.
    out = reply.value(QStringLiteral("results")).toObject();
    if (!out.isEmpty() || succeeded(reply))
        return true;
    failure.message = reason(reply);
    return false;
}

bool gather(const Options& options, Sources& sources, Failure& failure)
{
    int logCount = 0;
    return results(options, "antivirus_scan_running", sources.scan, failure)
        && results(options, "antivirus_updvdb_running", sources.update, failure)
        && newestRecords(options, "antivirus_log_alload", kRecentLogs, sources.logs, logCount,
                         failure)
        && newestRecords(options, "antivirus_quarantined_alload", kMostRecords, sources.records,
                         sources.recordCount, failure);
}

QString ageOf(const QString& stamp)
{
    const QDateTime when = QDateTime::fromString(stamp, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    if (!when.isValid())
        return QString();
    const qint64 hours = when.secsTo(QDateTime::currentDateTime()) / 3600;
    return hours < 48 ? QStringLiteral("%1 h old").arg(hours)
                      : QStringLiteral("%1 days old").arg(hours / 24);
}

// The report as one object, the same for text and --json.
QJsonObject reportOf(const Sources& sources, const QString& since)
{
    QJsonObject out;
    out.insert(QStringLiteral("warnings"),
               sources.scan.value(QStringLiteral("warnings")).toArray());
    const QJsonObject engine = sources.update.value(QStringLiteral("engine")).toObject();
    out.insert(QStringLiteral("engine"), engine);
    out.insert(QStringLiteral("databaseage"),
               ageOf(engine.value(QStringLiteral("installtime")).toString()));
    QJsonObject update;
    for (const char* key : {"updatetime", "lastresult", "lastreason"}) {
        if (sources.update.contains(QLatin1String(key)))
            update.insert(QLatin1String(key), sources.update.value(QLatin1String(key)));
    }
    out.insert(QStringLiteral("update"), update);
    const bool running = toInt(sources.scan.value(QStringLiteral("running"))) != 0;
    out.insert(QStringLiteral("scanning"),
               running ? sources.scan.value(QStringLiteral("path")) : QJsonValue());

    // The newest log of each path; a mission's path carries its number.
    QMap<QString, int> missions;
    const QJsonObject listed = sources.scan.value(QStringLiteral("missions")).toObject();
    // A folder's mission is stored with a trailing "/", its scan log without.
    const auto plain = [](QString path) {
        while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
            path.chop(1);
        return path;
    };
    for (auto it = listed.begin(); it != listed.end(); ++it)
        missions.insert(plain(it.key()),
                        toInt(it.value().toObject().value(QStringLiteral("msnno"))));
    QJsonArray lastScans;
    QStringList seen;
    for (const QJsonValue& entry : sources.logs) {
        QJsonObject log = entry.toObject();
        const QString path = log.value(QStringLiteral("path")).toString();
        if (seen.contains(path))
            continue;
        seen << path;
        if (missions.contains(plain(path)))
            log.insert(QStringLiteral("msnno"), missions.value(plain(path)));
        lastScans.append(log);
    }
    out.insert(QStringLiteral("lastscans"), lastScans);

    int detections = 0;
    int leftInPlace = 0;
    int kept = 0;
    qint64 bytes = 0;
    bool sized = true;
    for (const QJsonValue& entry : sources.records) {
        const QJsonObject record = entry.toObject();
        const bool moved = toInt(record.value(QStringLiteral("moved"))) != 0;
        if (record.value(QStringLiteral("time")).toString() >= since) {
            ++detections;
            leftInPlace += moved ? 0 : 1;
        }
        if (!moved || toInt(record.value(QStringLiteral("removed"))) != 0)
            continue;
        ++kept;
        const QFileInfo file(record.value(QStringLiteral("quarantined")).toString());
        sized = sized && file.exists();
        bytes += file.size();
    }
    out.insert(QStringLiteral("since"), since);
    out.insert(QStringLiteral("detections"),
               QJsonObject{{QStringLiteral("count"), detections},
                           {QStringLiteral("leftinplace"), leftInPlace}});
    QJsonObject quarantine{{QStringLiteral("records"), sources.recordCount},
                           {QStringLiteral("files"), kept}};
    if (sized)
        quarantine.insert(QStringLiteral("bytes"), double(bytes));
    out.insert(QStringLiteral("quarantine"), quarantine);
    return out;
}

void printReport(const QJsonObject& report)
{
    QTextStream out(stdout);
    const QJsonArray warnings = report.value(QStringLiteral("warnings")).toArray();
    out << "protected:  " << (warnings.isEmpty() ? "yes" : "no") << '\n';
    for (const QJsonValue& gap : warnings)
        out << "warning:    " << kx2Escaped(gap.toString()) << '\n';
    const QJsonObject engine = report.value(QStringLiteral("engine")).toObject();
    if (toInt(engine.value(QStringLiteral("loaded"))) == 1)
        out << "engine:     " << cell(engine.value(QStringLiteral("signatures")))
            << " signatures, set installed "
            << kx2Escaped(engine.value(QStringLiteral("installtime")).toString()) << " ("
            << report.value(QStringLiteral("databaseage")).toString() << ")\n";
    else
        out << "engine:     not loaded"
            << (engine.contains(QStringLiteral("loaderror")) ? QStringLiteral(": ")
                        + kx2Escaped(engine.value(QStringLiteral("loaderror")).toString())
                                                             : QString())
            << '\n';
    const QJsonObject update = report.value(QStringLiteral("update")).toObject();
    out << "update:     "
        << (!update.contains(QStringLiteral("lastresult"))
                ? QStringLiteral("none since the service started")
                : toInt(update.value(QStringLiteral("lastresult"))) == 1
                ? QStringLiteral("last run succeeded")
                : QStringLiteral("last run failed: ")
                    + kx2Escaped(update.value(QStringLiteral("lastreason")).toString()))
        << "; set of "
        << kx2Escaped(
               update.value(QStringLiteral("updatetime")).toString(QStringLiteral("unknown date")))
        << '\n';
    const QJsonValue scanning = report.value(QStringLiteral("scanning"));
    out << "scanning:   "
        << (scanning.isString() ? kx2Escaped(scanning.toString()) : QStringLiteral("no")) << '\n';
    const QJsonObject detections = report.value(QStringLiteral("detections")).toObject();
    out << "detected:   " << cell(detections.value(QStringLiteral("count"))) << " since "
        << report.value(QStringLiteral("since")).toString() << " ("
        << cell(detections.value(QStringLiteral("leftinplace"))) << " left in place)\n";
    const QJsonObject quarantine = report.value(QStringLiteral("quarantine")).toObject();
    out << "quarantine: " << cell(quarantine.value(QStringLiteral("files"))) << " files ("
        << (quarantine.contains(QStringLiteral("bytes"))
                ? QString::number(quarantine.value(QStringLiteral("bytes")).toDouble() / 1048576.0,
                                  'f', 1)
                    + QStringLiteral(" MiB")
                : QStringLiteral("size unknown: the quarantine is root's"))
        << "), " << cell(quarantine.value(QStringLiteral("records"))) << " records\n";
    out.flush();
    QList<QStringList> rows;
    for (const QJsonValue& entry : report.value(QStringLiteral("lastscans")).toArray()) {
        const QJsonObject log = entry.toObject();
        rows << QStringList{log.contains(QStringLiteral("msnno")) ? QStringLiteral("mission ")
                                    + cell(log.value(QStringLiteral("msnno")))
                                                                  : QStringLiteral("-"),
                            cell(log.value(QStringLiteral("endtime"))),
                            toInt(log.value(QStringLiteral("state"))) == 9
                                ? QStringLiteral("done")
                                : QStringLiteral("stopped"),
                            cell(log.value(QStringLiteral("resolved"))),
                            cell(log.value(QStringLiteral("infectes"))),
                            cell(log.value(QStringLiteral("path")))};
    }
    if (rows.isEmpty()) {
        printLine(stdout, QStringLiteral("last scans: none"));
        return;
    }
    printLine(stdout, QStringLiteral("last scans:"));
    printTable({QStringLiteral("MISSION"), QStringLiteral("ENDED"), QStringLiteral("STATE"),
                QStringLiteral("SCANNED"), QStringLiteral("INFECTED"), QStringLiteral("PATH")},
               rows);
}

int reportCommand(const Options& options, const QCommandLineParser& parser)
{
    if (!parser.positionalArguments().isEmpty())
        return usageFailure(QStringLiteral("report"), QStringLiteral("takes no operands"));
    QString since;
    if (!sinceStamp(parser.isSet(QStringLiteral("since")) ? parser.value(QStringLiteral("since"))
                                                          : QStringLiteral("24h"),
                    since))
        return usageFailure(QStringLiteral("report"),
                            QStringLiteral("--since needs a time (2026-12-08 or \"2026-12-08 "
                                           "09:30\") or an age (90m, 24h, 7d)"));
    Sources sources;
    Failure failure;
    if (!gather(options, sources, failure))
        return fail(QStringLiteral("report failed: ") + failure.message);
    const QJsonObject report = reportOf(sources, since);
    if (options.json)
        printJson(QJsonObject{{QStringLiteral("err"), 0}, {QStringLiteral("results"), report}});
    else
        printReport(report);
    return ExitSuccess;
}

} // namespace

void addReportCommands(QList<Command>& table)
{
    table << Command{QStringLiteral("report"), QStringLiteral("[--since TIME]"),
                     QStringLiteral("One screen: protection, engine, updates, last scans, "
                                    "detections, quarantine."),
                     [](QCommandLineParser& parser) {
                         parser.addOption({QStringLiteral("since"),
                                           QStringLiteral("Count detections from this time on "
                                                          "(default 24h): 2026-12-08, an age "
                                                          "such as 7d."),
                                           QStringLiteral("TIME")});
                     },
                     reportCommand};
}

} // namespace znavctl
