// znavctl scan PATH [--full] [--wait], stop, status: start, follow, stop
// and report scan tasks.

#include "znavctl.h"

#include "kx2escape.h"
#include "kx2values.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTextStream>
#include <QThread>

#include <sys/ioctl.h>
#include <unistd.h>

namespace znavctl {
namespace {

// How often --wait asks for progress.
const unsigned long kPollIntervalMs = 500;
// How long --wait waits after the end for the task's quarantine records
// (the keeper writes them within seconds), and how many of the newest
// scan log rows and records beyond the task's count it looks through.
const int kFindingsWaitMs = 10000;
const int kRecentLogs = 10;
const int kRecentSlack = 50;

// The reason of a refused request: in English where the client knows the
// code, and the service's own err and errmsg.
QString refusal(const QJsonObject& reply, const QString& path = QString())
{
    const QString message = kx2Escaped(reply.value(QStringLiteral("errmsg")).toString());
    const QString english = inEnglish(reply, path);
    return QStringLiteral("%1%2 (err %3)")
        .arg(english.isEmpty() ? QString() : english + QStringLiteral(": "),
             message.isEmpty() ? QStringLiteral("the service reported no result") : message)
        .arg(reply.value(QStringLiteral("err")).toInt());
}

// Terminal columns a character takes: two for the wide East Asian ranges.
int columnsOf(QChar c)
{
    const ushort u = c.unicode();
    if (c.isLowSurrogate())
        return 0;
    const bool wide = (u >= 0x1100 && u <= 0x115f) || (u >= 0x2e80 && u <= 0xa4cf)
        || (u >= 0xac00 && u <= 0xd7a3) || (u >= 0xf900 && u <= 0xfaff)
        || (u >= 0xfe30 && u <= 0xfe4f) || (u >= 0xff00 && u <= 0xff60)
        || (u >= 0xffe0 && u <= 0xffe6);
    return wide ? 2 : 1;
}

int columnsOf(const QString& text)
{
    int columns = 0;
    for (const QChar c : text)
        columns += columnsOf(c);
    return columns;
}

// The end of `text` in at most `columns` columns, "..." marking a cut.
QString fitLeft(const QString& text, int columns)
{
    if (columnsOf(text) <= columns)
        return text;
    int used = 3;
    int start = text.size();
    while (start > 0 && used + columnsOf(text.at(start - 1)) <= columns)
        used += columnsOf(text.at(--start));
    if (start < text.size() && text.at(start).isLowSurrogate())
        ++start;
    return QStringLiteral("...") + text.mid(start);
}

int terminalColumns()
{
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

// One antivirus_scan_running result.
struct Progress
{
    QString path;
    QString current;
    int total = 0;
    int scans = 0;
    int percentage = 0;
    int infected = 0;
    int limited = 0; // not scanned in full, counted in `scans`
    bool running = false;

    static Progress from(const QJsonObject& results)
    {
        Progress p;
        p.path = results.value(QStringLiteral("path")).toString();
        p.current = kx2Escaped(results.value(QStringLiteral("currfile")).toString());
        p.total = results.value(QStringLiteral("total")).toInt();
        p.scans = results.value(QStringLiteral("scans")).toInt();
        p.percentage = results.value(QStringLiteral("percentage")).toInt();
        p.infected = results.value(QStringLiteral("infectes")).toInt();
        p.limited = results.value(QStringLiteral("limited")).toInt();
        p.running = results.value(QStringLiteral("running")).toInt() != 0;
        return p;
    }
};

// Shows the progress of a followed scan: a bar redrawn in place on a
// terminal, a plain line per change otherwise, nothing for --json.
class ProgressView
{
public:
    enum Mode { Bar, Lines, Silent };
    explicit ProgressView(Mode mode) : mode(mode) {}

    void waiting(const QString& otherPath)
    {
        put(QStringLiteral("waiting: another scan is running: ") + kx2Escaped(otherPath));
    }

    void show(const Progress& p)
    {
        if (mode == Bar) {
            const int width = 20;
            const int filled = qBound(0, p.percentage, 100) * width / 100;
            QString line = QStringLiteral("[%1%2] %3%  %4/%5 files  %6 infected")
                               .arg(QString(filled, QLatin1Char('#')),
                                    QString(width - filled, QLatin1Char('-')))
                               .arg(p.percentage, 3)
                               .arg(p.scans)
                               .arg(p.total)
                               .arg(p.infected);
            // One column stays free so the line never wraps.
            const int room = terminalColumns() - 1 - columnsOf(line) - 2;
            if (room >= 8 && !p.current.isEmpty())
                line += QStringLiteral("  ") + fitLeft(p.current, room);
            put(line);
        } else {
            put(QStringLiteral("progress: %1%, %2 of %3 files, %4 infected, current: %5")
                    .arg(p.percentage)
                    .arg(p.scans)
                    .arg(p.total)
                    .arg(p.infected)
                    .arg(p.current));
        }
    }

    // Ends the bar's line, so what follows starts on a line of its own.
    void finish()
    {
        if (mode == Bar && !last.isEmpty())
            writeOut(QStringLiteral("\n"));
        last.clear();
    }

private:
    void put(const QString& line)
    {
        if (mode == Silent || line == last)
            return;
        if (mode == Bar)
            writeOut(QStringLiteral("\r") + line + QStringLiteral("\x1b[K"));
        else
            writeOut(line + QLatin1Char('\n'));
        last = line;
    }

    static void writeOut(const QString& text)
    {
        QTextStream(stdout) << text;
        ::fflush(stdout);
    }

    Mode mode;
    QString last;
};

// What a finished task found: its scan log row and its detections.
struct Findings
{
    int logNo = 0;
    QJsonArray detections; // the task's quarantine records, newest first
};

// Reads the findings of task `taskNo` once its log row and the records of
// its `infected` detections are there, or what is there at the deadline.
Findings findingsOf(const Options& options, int taskNo, int infected)
{
    Findings found;
    QDeadlineTimer deadline(kFindingsWaitMs);
    while (taskNo > 0) {
        found = Findings();
        QJsonArray rows;
        int total = 0;
        Failure failure;
        if (newestRecords(options, "antivirus_log_alload", kRecentLogs, rows, total, failure)) {
            for (const QJsonValue& row : qAsConst(rows)) {
                if (toInt(row.toObject().value(QStringLiteral("tskno"))) == taskNo)
                    found.logNo = toInt(row.toObject().value(QStringLiteral("logno")));
            }
        }
        if (infected > 0
            && newestRecords(options, "antivirus_quarantined_alload", infected + kRecentSlack, rows,
                             total, failure)) {
            for (const QJsonValue& row : qAsConst(rows)) {
                if (toInt(row.toObject().value(QStringLiteral("tskno"))) == taskNo)
                    found.detections.append(row);
            }
        }
        if ((found.logNo > 0 && found.detections.size() >= infected) || deadline.hasExpired())
            break;
        QThread::msleep(200);
    }
    return found;
}

// What the service did with a detection, for people.
QString actionOf(const QJsonObject& record)
{
    if (toInt(record.value(QStringLiteral("moved"))) != 0)
        return QStringLiteral("quarantined: ")
            + kx2Escaped(record.value(QStringLiteral("quarantined")).toString());
    const QString why = kx2Escaped(record.value(QStringLiteral("reason")).toString());
    return QStringLiteral("left in place")
        + (why.isEmpty() ? QString() : QStringLiteral(": ") + why);
}

// The detections as a table, and how to find them later.
void printFindings(const Findings& found, int infected)
{
    QList<QStringList> rows;
    for (const QJsonValue& entry : found.detections) {
        const QJsonObject record = entry.toObject();
        rows << QStringList{cell(record.value(QStringLiteral("path"))),
                            cell(record.value(QStringLiteral("virus"))), actionOf(record)};
    }
    if (!rows.isEmpty())
        printTable(
            {QStringLiteral("INFECTED FILE"), QStringLiteral("VIRUS"), QStringLiteral("ACTION")},
            rows);
    if (rows.size() < infected)
        printLine(stderr,
                  QStringLiteral("znavctl: warning: %1 of %2 detections have no quarantine record "
                                 "yet (already recorded by an earlier scan, or still being moved); "
                                 "see znavctl quarantine")
                      .arg(infected - rows.size())
                      .arg(infected));
    if (found.logNo > 0)
        printLine(stdout, QStringLiteral("scan log: %1 (znavctl logs)").arg(found.logNo));
}

// Follows the scan of `path` to its end. The service reports only the
// running (or last) task, so the task is ours when its path is ours; tasks
// queued before it run first.
int followScan(const Options& options, const QString& path)
{
    ProgressView view(options.json                  ? ProgressView::Silent
                          : ::isatty(STDOUT_FILENO) ? ProgressView::Bar
                                                    : ProgressView::Lines);
    bool seen = false;
    Progress last;
    QJsonObject lastReply;
    for (;;) {
        QJsonObject reply;
        Failure failure;
        if (!exchange(options, command("antivirus_scan_running"), reply, failure)
            || !succeeded(reply)) {
            view.finish();
            return fail(failure.message.isEmpty() ? refusal(reply) : failure.message);
        }
        const Progress now = Progress::from(reply.value(QStringLiteral("results")).toObject());
        if (now.path == path) {
            seen = true;
            last = now;
            lastReply = reply;
            view.show(now);
            if (!now.running)
                break;
        } else if (seen) {
            // Ours ended and the next queued task began between two looks:
            // its final counts are no longer on offer. Never call that clean.
            view.finish();
            fail(QStringLiteral("the scan of %1 ended while another began; its final counts are in "
                                "the scan log")
                     .arg(kx2Escaped(path)));
            return last.infected > 0 ? ExitInfected : ExitError;
        } else if (!now.running) {
            view.finish();
            return fail(QStringLiteral("the scan of %1 did not run (stopped before its turn)")
                            .arg(kx2Escaped(path)));
        } else if (!now.path.isEmpty()) {
            // Until the task thread names its first task, the path is empty.
            view.waiting(now.path);
        }
        QThread::msleep(kPollIntervalMs);
    }
    view.finish();
    const Findings found = findingsOf(
        options,
        toInt(
            lastReply.value(QStringLiteral("results")).toObject().value(QStringLiteral("taskno"))),
        last.infected);
    if (options.json) {
        // The final progress with the task's log number and detections.
        QJsonObject results = lastReply.value(QStringLiteral("results")).toObject();
        results.insert(QStringLiteral("logno"), found.logNo);
        results.insert(QStringLiteral("detections"), found.detections);
        lastReply.insert(QStringLiteral("results"), results);
        printJson(lastReply);
    } else {
        printLine(stdout,
                  QStringLiteral("finished: %1: %2 of %3 files scanned, %4 infected")
                      .arg(kx2Escaped(path))
                      .arg(last.scans)
                      .arg(last.total)
                      .arg(last.infected));
        printFindings(found, last.infected);
        if (last.limited > 0)
            printLine(stderr,
                      QStringLiteral("znavctl: warning: %1 files were not scanned in full (over a "
                                     "scan limit, encrypted, or unreadable); their [limited] event "
                                     "lines name them")
                          .arg(last.limited));
        if (last.scans < last.total)
            printLine(stderr,
                      QStringLiteral("znavctl: warning: %1 files were not scanned (unreadable, or "
                                     "the scan was stopped)")
                          .arg(last.total - last.scans));
    }
    return last.infected > 0 ? ExitInfected : ExitSuccess;
}

// scan PATH [--full] [--wait]
int scanCommand(const Options& options, const QCommandLineParser& parser)
{
    const QStringList operands = parser.positionalArguments();
    if (operands.size() != 1 || operands.first().trimmed().isEmpty())
        return usageFailure(QStringLiteral("scan"), QStringLiteral("name one path"));
    // The service resolves a relative path against its own directory, not
    // ours: send it absolute. The same resolution gives the very path the
    // service reports while the task runs.
    const QString path = QFileInfo(operands.first().trimmed()).absoluteFilePath();
    QJsonObject reply;
    Failure failure;
    QJsonObject params{{QStringLiteral("path"), path}};
    if (parser.isSet(QStringLiteral("full")))
        params.insert(QStringLiteral("full"), true);
    const QJsonObject request{{QStringLiteral("cmd"), QStringLiteral("antivirus_scan_start")},
                              {QStringLiteral("params"), params}};
    if (!exchange(options, request, reply, failure))
        return fail(failure.message);
    if (!succeeded(reply)) {
        if (options.json)
            printJson(reply);
        const int code = reply.value(QStringLiteral("err")).toInt();
        if (code == 9992)
            return fail(refusal(reply)
                        + QStringLiteral("; the task is queued and runs after the current scan"));
        return fail(refusal(reply, path));
    }
    if (parser.isSet(QStringLiteral("wait")))
        return followScan(options, path);
    if (options.json)
        printJson(reply);
    else
        printLine(stdout, QStringLiteral("scan started: ") + kx2Escaped(path));
    return ExitSuccess;
}

// A command without operands: `cmd` sent, the reply printed raw with
// --json. -1 when the reply came and succeeded, otherwise the exit status
// (the reason already printed).
int plainRequest(const Options& options, const QString& name, const QCommandLineParser& parser,
                 const char* cmd, QJsonObject& reply)
{
    if (!parser.positionalArguments().isEmpty())
        return usageFailure(name, QStringLiteral("takes no operands"));
    Failure failure;
    if (!exchange(options, command(cmd), reply, failure))
        return fail(failure.message);
    if (options.json)
        printJson(reply);
    return succeeded(reply) ? -1 : fail(refusal(reply));
}

// stop: returns once the running scan has ended.
int stopCommand(const Options& options, const QCommandLineParser& parser)
{
    // Asked first, only to say what the stop did: the service stops
    // whatever runs when its request arrives.
    QJsonObject before;
    Failure failure;
    const bool known =
        exchange(options, command("antivirus_scan_running"), before, failure) && succeeded(before);
    const Progress running = Progress::from(before.value(QStringLiteral("results")).toObject());
    QJsonObject reply;
    const int status =
        plainRequest(options, QStringLiteral("stop"), parser, "antivirus_scan_stop", reply);
    if (status >= 0)
        return status;
    if (!options.json)
        printLine(stdout,
                  known && running.running
                      ? QStringLiteral("stopped: the scan of ") + kx2Escaped(running.path)
                      : QStringLiteral("stopped: no scan is running"));
    return ExitSuccess;
}

// status: the running or last scan.
int statusCommand(const Options& options, const QCommandLineParser& parser)
{
    QJsonObject reply;
    const int status =
        plainRequest(options, QStringLiteral("status"), parser, "antivirus_scan_running", reply);
    if (status >= 0)
        return status;
    if (options.json)
        return ExitSuccess;
    const QJsonObject results = reply.value(QStringLiteral("results")).toObject();
    const Progress p = Progress::from(results);
    QStringList lines{
        QStringLiteral("running:  ") + (p.running ? QStringLiteral("yes") : QStringLiteral("no")),
        QStringLiteral("path:     ") + kx2Escaped(p.path),
        QStringLiteral("current:  ") + p.current,
        QStringLiteral("progress: %1% (%2 of %3 files)")
            .arg(p.percentage)
            .arg(p.scans)
            .arg(p.total),
        QStringLiteral("infected: %1").arg(p.infected),
    };
    if (results.contains(QStringLiteral("endtime")))
        lines << QStringLiteral("ended:    ")
                + kx2Escaped(results.value(QStringLiteral("endtime")).toString());
    if (results.contains(QStringLiteral("missions")))
        lines << QStringLiteral("missions: %1")
                     .arg(results.value(QStringLiteral("missions")).toObject().size());
    // What keeps the service from protecting, one line each.
    for (const QJsonValue& gap : results.value(QStringLiteral("warnings")).toArray())
        lines << QStringLiteral("warning:  ") + kx2Escaped(gap.toString());
    printLine(stdout, lines.join(QLatin1Char('\n')));
    return ExitSuccess;
}

void noDeclarations(QCommandLineParser&) {}

} // namespace

void addScanCommands(QList<Command>& table)
{
    table << Command{QStringLiteral("scan"), QStringLiteral("PATH [--full] [--wait]"),
                     QStringLiteral("Queues a scan of a file or folder."),
                     [](QCommandLineParser& parser) {
                         parser.addPositionalArgument(QStringLiteral("PATH"),
                                                      QStringLiteral("the file or folder to scan"));
                         parser.addOption(QCommandLineOption(
                             QStringLiteral("wait"),
                             QStringLiteral("Follow the scan to its end; exit 1 when infected "
                                            "files were found.")));
                         parser.addOption(QCommandLineOption(
                             QStringLiteral("full"),
                             QStringLiteral("Read every file, also those known unchanged since "
                                            "a scan found them clean.")));
                     },
                     scanCommand};
    table << Command{QStringLiteral("stop"), QString(),
                     QStringLiteral("Stops the running scan and returns once it has ended."),
                     noDeclarations, stopCommand};
    table << Command{QStringLiteral("status"), QString(),
                     QStringLiteral("Shows the progress of the running (or last) scan."),
                     noDeclarations, statusCommand};
}

} // namespace znavctl
