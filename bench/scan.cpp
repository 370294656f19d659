// Scanning benchmark: files per second of the service (build/bin/znantivirus,
// driven over its socket) against clamscan and clamd, with the same
// signature directory on the same files in one run.
//
// Corpora, generated under a temporary directory at run time:
//   mixed    documentation files copied from /usr/share/doc, the
//            clamav-testfiles set and EICAR copies;
//   tiny     100,000 small files in 100 directories of 1,000;
//   largedb  the mixed corpus again, with a generated signature set of a few
//            million MD5 signatures and some hundred thousand body
//            signatures (fixed seed) added to the small one.
// Every tool must report the same file count and the same infected files;
// a mismatch is printed and makes the exit code 1.
//
// Peers:
//   clamscan  one process per corpus; its database load time, measured on an
//             empty directory with the same signatures, is subtracted.
//   clamd     started here in the foreground with a temporary configuration
//             (local socket, MaxThreads 2, the service's signature
//             directory); driven by clamdscan --multiscan --fdpass when
//             clamdscan is installed, else by the same protocol spoken here:
//             one IDSESSION, the client walks the tree and passes each open
//             file with FILDES, replies read as they come.
//   service   2 workers; the clock runs from the antivirus_scan_start that
//             is accepted (the engine is loaded by then) until
//             antivirus_scan_running reports "running" 0. "incremental"
//             on: its first scan remembers the files it finds clean.
//   nocache   the service again, with "incremental" off: service/nocache
//             is what remembering costs a first scan.
//
// Rescan: after the first scans of a round, clamd and the service are
// restarted (clamd forgets what it found clean, the service keeps its
// clean-file cache) and scan every corpus again; the service's rescan is
// compared with clamd's (RESCAN_* keys).
//
// Memory: peak RSS (VmHWM) growth of a fresh service between a scan of a
// 100,000-file tree and a scan of a 1,000,000-file tree (--skip-million
// leaves it out).
// Idle workers: CPU time of the service while its walk is held. The bench
// takes an exclusive lock on the service's store during a scan; the walk's
// next progress write then blocks in SQLite's busy wait (up to 5 s) as a walk
// blocks on a slow share, the workers drain the queue and wait. The CPU
// used by the process and by the task's threads over a window inside that
// block is printed, next to the same threads running freely just before.
//
// The last line holds every figure as KEY=VALUE pairs.
//
//   bench_scan [--skip-million] [--service PATH] [--tmp DIR] [--scratch DIR]
//              [--hdb N] [--ndb N] [--tiny N] [--million N] [--rounds N]
//
// Every corpus is scanned in --rounds rounds (default 3), each with freshly
// started engines and the tools in a turning order; the summary takes each
// tool's best round.
// --tmp holds the corpora (default: the system's temporary directory);
// --scratch gives each tool a libclamav temporary directory below DIR; by
// default each tool keeps its own as installed (the service its private
// tmpfs, clamd and clamscan the system's temporary directory).

#include "benchsignatures.h"
#include "scancommon.h"
#include "scancorpora.h"
#include "scanpeers.h"
#include "scanservice.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <thread>
#include <vector>

namespace {

using namespace scanbench;

struct Options
{
    bool skipMillion = false;
    QString scratch; // parent of the tools' libclamav temporary directories
    QString service;
    QString tmp;
    int hdb = 3000000;
    int ndb = 200000;
    int tiny = 100000;
    int million = 1000000;
    int rounds = 3;
};

QList<QPair<QString, QString>> g_keyValues;
bool g_mismatch = false;

void record(const QString& key, double value)
{
    g_keyValues.append({key, QString::number(value, 'f', qAbs(value) < 10 ? 2 : 0)});
}

void say(const QString& text)
{
    printf("%s\n", qPrintable(text));
    fflush(stdout);
}

// ---------------------------------------------------------------- files

// Prints one tool's figure on one corpus and checks it against the service.
void reportTool(const QString& corpus, const QString& tool, const Outcome& outcome,
                const Outcome& service, bool keys)
{
    printf("  %-10s %8lld files %4zu infected %8.2f s %9.0f files/s", qPrintable(tool),
           qint64(outcome.files), outcome.infected.size(), outcome.seconds,
           outcome.filesPerSecond());
    const QString key = corpus.toUpper() + '_' + tool.toUpper();
    if (keys)
        record(key + "_FPS", outcome.filesPerSecond());
    if (outcome.cpuSeconds >= 0 && outcome.files > 0) {
        const double perThousand = outcome.cpuSeconds * 1000.0 / double(outcome.files);
        printf("  cpu %6.2f s/1000 files", perThousand);
        if (keys)
            record(key + "_CPU_S_PER_1000", perThousand);
    } else {
        printf("  %26s", "");
    }
    if (outcome.skipped >= 0)
        printf("  %8lld skipped", qint64(outcome.skipped));
    else
        printf("  %16s", "");
    if (&outcome != &service) {
        const double ratio =
            outcome.filesPerSecond() > 0 ? service.filesPerSecond() / outcome.filesPerSecond() : 0;
        printf("   service/%s %.2fx", qPrintable(tool), ratio);
        if (keys)
            record(corpus.toUpper() + "_VS_" + tool.toUpper(), ratio);
        if (!outcome.ok || !service.ok || outcome.files != service.files
            || outcome.infected != service.infected) {
            printf("   MISMATCH");
            g_mismatch = true;
            for (const QByteArray& p : outcome.infected)
                if (!service.infected.count(p))
                    fprintf(stderr, "    only %s: %s\n", qPrintable(tool), p.constData());
            for (const QByteArray& p : service.infected)
                if (!outcome.infected.count(p))
                    fprintf(stderr, "    only service: %s\n", p.constData());
        }
    }
    printf("\n");
    fflush(stdout);
}

// `nocache`: the service with "incremental" off, which neither looks up
// nor remembers; service/nocache tells what remembering costs a first scan.
void reportCorpus(const QString& name, const QString& label, const Outcome& clamscan,
                  const Outcome& clamd, const Outcome& service, const Outcome& nocache, bool keys)
{
    say(QStringLiteral("corpus %1, %2:").arg(name, label));
    reportTool(name, "service", service, service, keys);
    reportTool(name, "nocache", nocache, service, keys);
    reportTool(name, "clamd", clamd, service, keys);
    reportTool(name, "clamscan", clamscan, service, keys);
}

// The second scan of a corpus after both daemons were restarted: the
// service skips what it remembers, clamd has forgotten what it found
// clean. Keys RESCAN_<CORPUS>_*.
void reportRescan(const QString& name, const QString& label, const Outcome& clamd,
                  const Outcome& service, bool keys)
{
    say(QStringLiteral("corpus %1, rescan after a restart, %2:").arg(name, label));
    reportTool("rescan_" + name, "service", service, service, keys);
    reportTool("rescan_" + name, "clamd", clamd, service, keys);
}

// The fastest of a tool's rounds, with the lowest CPU figure of them; not
// ok when any round failed.
Outcome bestOf(const std::vector<Outcome>& rounds)
{
    Outcome best;
    bool ok = !rounds.empty();
    double cpu = -1;
    for (const Outcome& o : rounds) {
        ok = ok && o.ok;
        if (o.filesPerSecond() > best.filesPerSecond())
            best = o;
        if (o.cpuSeconds >= 0 && (cpu < 0 || o.cpuSeconds < cpu))
            cpu = o.cpuSeconds;
    }
    best.ok = ok;
    best.cpuSeconds = cpu;
    return best;
}

// clamscan's files/s without its database load, timed on an empty tree.
Outcome withoutLoad(Outcome outcome, double loadSeconds)
{
    outcome.seconds = qMax(0.001, outcome.seconds - loadSeconds);
    return outcome;
}

double clamscanLoadSeconds(const QString& signatures, const QString& work, const QString& scratch)
{
    QDir().mkpath(work + "/empty");
    const Outcome empty = runClamscan(signatures, work + "/empty", work, scratch);
    say(QStringLiteral("  clamscan database load: %1 s").arg(empty.seconds, 0, 'f', 2));
    return empty.seconds;
}

// CPU use of a scan's threads over one window.
struct WindowCpu
{
    int taskThreads = 0; // threads of this task alive over the window
    double process = -1; // whole service, % of one core
    double task = -1;    // the task's threads (walk and workers)
    double busiest = -1; // the busiest of them
};

// Measures the threads that `pid` started after `before` was taken, over
// `length` from now.
WindowCpu measureWindow(qint64 pid, const std::map<int, long long>& before,
                        std::chrono::milliseconds length)
{
    const std::map<int, long long> first = threadTicks(pid);
    const long long processFirst = processTicks(pid);
    const auto start = Clock::now();
    std::this_thread::sleep_for(length);
    const std::map<int, long long> last = threadTicks(pid);
    const long long processLast = processTicks(pid);
    if (qEnvironmentVariableIsSet("BENCH_SCAN_DEBUG")) {
        for (const auto* m : {&before, &first, &last}) {
            for (const auto& t : *m)
                fprintf(stderr, "%d:%lld ", t.first, t.second);
            fprintf(stderr, "\n");
        }
    }
    const double scale = 100.0 / double(sysconf(_SC_CLK_TCK)) / secondsSince(start);
    WindowCpu cpu;
    long long task = 0, busiest = 0;
    for (const auto& t : last) {
        if (before.count(t.first) || !first.count(t.first))
            continue; // not a thread of this task, or not over the whole window
        const long long used = t.second - first.at(t.first);
        ++cpu.taskThreads;
        task += used;
        busiest = qMax(busiest, used);
    }
    cpu.process = double(processLast - processFirst) * scale;
    cpu.task = double(task) * scale;
    cpu.busiest = double(busiest) * scale;
    return cpu;
}

// CPU of the service while its walk is blocked (see the file comment),
// against the same scan running freely just before.
void measureIdleWorkers(Service& service, const QString& tree)
{
    const qint64 pid = service.pid();
    const std::map<int, long long> before = threadTicks(pid);
    WindowCpu running, held;
    // A full scan: one that skipped the files it remembers would end
    // before the windows.
    const Outcome outcome = service.scan(
        tree,
        [&] {
            // The task thread starts its workers before it walks.
            const auto deadline = Clock::now() + 10s;
            auto started = [&] {
                int fresh = 0;
                for (const auto& t : threadTicks(pid))
                    fresh += before.count(t.first) ? 0 : 1;
                return fresh >= kWorkers + 1;
            };
            while (!started() && Clock::now() < deadline)
                std::this_thread::sleep_for(10ms);
            running = measureWindow(pid, before, 700ms);
            sqlite3* raw = nullptr;
            sqlite3_open_v2(QFile::encodeName(service.databasePath()).constData(), &raw,
                            SQLITE_OPEN_READWRITE, nullptr);
            std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
            sqlite3_busy_timeout(db.get(), 10000);
            if (sqlite3_exec(db.get(), "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) != SQLITE_OK) {
                fprintf(stderr, "idle workers: no lock on the store\n");
                return;
            }
            // The walk blocks at its next progress write, within about a
            // second, for the 5 s of the store's busy wait; the workers empty
            // the queue meanwhile. The window lies inside that block.
            std::this_thread::sleep_for(2000ms);
            held = measureWindow(pid, before, 2500ms);
            sqlite3_exec(db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
        },
        true);
    say(QStringLiteral("idle workers (%1-file scan, %2 workers):")
            .arg(outcome.files)
            .arg(kWorkers));
    auto line = [](const char* label, const WindowCpu& cpu) {
        say(QStringLiteral("  %1: service %2% CPU, %3 task threads %4% (busiest %5%)")
                .arg(QLatin1String(label))
                .arg(cpu.process, 0, 'f', 2)
                .arg(cpu.taskThreads)
                .arg(cpu.task, 0, 'f', 2)
                .arg(cpu.busiest, 0, 'f', 2));
    };
    line("running freely, 0.7 s", running);
    line("walk held, 2.5 s     ", held);
    // A window without the walk, both workers and the writer of the
    // clean-file cache alive measured nothing.
    const bool valid = held.taskThreads == kWorkers + 2 && running.taskThreads == kWorkers + 2;
    if (!valid) {
        say(QStringLiteral(
            "  (the task's threads were not all alive over the windows: no figure)"));
        g_mismatch = true;
    }
    record("RUNNING_TASK_CPU_PCT", running.task);
    record("IDLE_PROCESS_CPU_PCT", valid ? held.process : -1);
    record("IDLE_TASK_CPU_PCT", valid ? held.task : -1);
}

int run(const Options& options)
{
    if (!QFileInfo(options.service).isExecutable()) {
        fprintf(stderr, "bench_scan: no service binary at %s\n", qPrintable(options.service));
        return 2;
    }
    QTemporaryDir temporary(options.tmp.isEmpty() ? QDir::tempPath() + "/bench_scan-XXXXXX"
                                                  : options.tmp + "/bench_scan-XXXXXX");
    if (!temporary.isValid())
        return 2;
    const QString base = temporary.path();
    // libclamav makes and removes a directory per scanned file, which on a
    // disk with online discard costs more than the scan of a small file:
    // where it does so is part of what is measured, so by default each tool
    // keeps the place it has as installed.
    const QString scratch = options.scratch;
    if (!scratch.isEmpty())
        QDir().mkpath(scratch);
    say(QStringLiteral("work directory %1; libclamav temporary files under %2; clamd driven by %3")
            .arg(base, scratch.isEmpty() ? QStringLiteral("each tool's own") : scratch,
                 Clamd::driver()));
    say(QStringLiteral("load average: %1")
            .arg(QString::fromLatin1(readFile("/proc/loadavg").trimmed())));

    // Small signature set: the mixed and tiny corpora.
    const QString smallSigs = base + "/sigs-small";
    QDir().mkpath(smallSigs);
    if (!writeSmallSignatures(smallSigs))
        return 2;
    const QString mixedShared = base + "/mixed-peers";
    const QString mixedService = base + "/mixed-service";
    const QString tiny = base + "/tiny";
    say(QStringLiteral("mixed corpus: %1 files").arg(buildMixed(mixedShared)));
    auto created = Clock::now();
    say(QStringLiteral("tiny corpus: %1 files (%2 s)")
            .arg(buildTiny(tiny, options.tiny))
            .arg(secondsSince(created), 0, 'f', 1));
    ::sync();

    // Rounds with fresh engines (libclamav remembers clean files), the
    // tools' order turning each round so drifting load on the machine
    // falls on each of them alike. `corpora` maps a corpus name to the
    // directory the peers scan and the one the service scans (its own copy
    // of the mixed corpus, rebuilt each round and refilled before each
    // scan of the service: it quarantines). "nocache" is a second service
    // with "incremental" off. After the first scans, clamd and the service
    // are restarted and scan every corpus again: the rescan.
    const QStringList tools{"clamscan", "clamd", "service", "nocache"};
    const QStringList rescanners{"clamd", "service"};
    auto runRounds = [&](const QString& signatures, const QString& name,
                         const QList<QPair<QString, QPair<QString, QString>>>& corpora,
                         const std::function<void(Service&)>& afterFirst) {
        const double load = clamscanLoadSeconds(signatures, base, scratch);
        std::map<QString, std::vector<Outcome>> results; // "corpus/tool", "corpus/rescan-tool"
        for (int round = 0; round < options.rounds; ++round) {
            const QString suffix = name + '-' + QString::number(round + 1);
            QDir(mixedService).removeRecursively();
            buildMixed(mixedService);
            // Written back now, not while the first tool scans the copy.
            ::sync();
            const auto copied = Clock::now();
            Clamd clamd;
            Service service, nocache;
            const auto started = Clock::now();
            const bool clamdUp = clamd.start(base + "/clamd-" + suffix, signatures, scratch);
            const double clamdSeconds = secondsSince(started);
            if (!clamdUp
                || !service.start(options.service, base + "/service-" + suffix, signatures, scratch)
                || !nocache.start(options.service, base + "/nocache-" + suffix, signatures, scratch,
                                  false)) {
                g_mismatch = true;
                break;
            }
            // A file changed within the last seconds before its scan is not
            // remembered: the copy made for this round must be older.
            std::this_thread::sleep_until(copied + std::chrono::seconds(kSettledSeconds + 1));
            say(QStringLiteral(
                    "round %1 of %2 (%3 signatures): clamd ready after %4 s, load average %5")
                    .arg(round + 1)
                    .arg(options.rounds)
                    .arg(name)
                    .arg(clamdSeconds, 0, 'f', 1)
                    .arg(QString::fromLatin1(readFile("/proc/loadavg").left(14))));
            auto scanWith = [&](const QString& tool, const QPair<QString, QString>& corpus) {
                if (tool == "clamscan")
                    return withoutLoad(runClamscan(signatures, corpus.first, base, scratch), load);
                if (tool == "clamd")
                    return clamd.scan(corpus.first);
                if (corpus.first != corpus.second)
                    refill(corpus.first, corpus.second);
                return (tool == "service" ? service : nocache).scan(corpus.second);
            };
            for (const auto& corpus : corpora) {
                // The first tool of a corpus was up to 0.3 s slower on the
                // tiny one than the same tool later in the round.
                warm(corpus.second.first);
                if (corpus.second.second != corpus.second.first)
                    warm(corpus.second.second);
                for (int t = 0; t < tools.size(); ++t) {
                    const QString tool = tools.at((t + round) % tools.size());
                    results[corpus.first + '/' + tool].push_back(scanWith(tool, corpus.second));
                }
                reportCorpus(corpus.first, QStringLiteral("round %1").arg(round + 1),
                             results[corpus.first + "/clamscan"].back(),
                             results[corpus.first + "/clamd"].back(),
                             results[corpus.first + "/service"].back(),
                             results[corpus.first + "/nocache"].back(), false);
            }
            if (round == 0 && afterFirst)
                afterFirst(service);
            const auto restarted = Clock::now();
            if (!clamd.restart() || !service.restart()) {
                g_mismatch = true;
                break;
            }
            say(QStringLiteral("  clamd and service restarted (%1 s, engines loaded)")
                    .arg(secondsSince(restarted), 0, 'f', 1));
            for (const auto& corpus : corpora) {
                for (int t = 0; t < rescanners.size(); ++t) {
                    const QString tool = rescanners.at((t + round) % rescanners.size());
                    results[corpus.first + "/rescan-" + tool].push_back(
                        scanWith(tool, corpus.second));
                }
                reportRescan(corpus.first, QStringLiteral("round %1").arg(round + 1),
                             results[corpus.first + "/rescan-clamd"].back(),
                             results[corpus.first + "/rescan-service"].back(), false);
            }
            say(QStringLiteral("  peak RSS: service %1 MB, clamd %2 MB")
                    .arg(statusField(service.pid(), "VmHWM") / 1024.0, 0, 'f', 0)
                    .arg(statusField(clamd.pid(), "VmHWM") / 1024.0, 0, 'f', 0));
        }
        for (const auto& corpus : corpora) {
            const QString best = QStringLiteral("best of %1 rounds").arg(options.rounds);
            reportCorpus(corpus.first, best, bestOf(results[corpus.first + "/clamscan"]),
                         bestOf(results[corpus.first + "/clamd"]),
                         bestOf(results[corpus.first + "/service"]),
                         bestOf(results[corpus.first + "/nocache"]), true);
            reportRescan(corpus.first, best, bestOf(results[corpus.first + "/rescan-clamd"]),
                         bestOf(results[corpus.first + "/rescan-service"]), true);
        }
    };
    runRounds(smallSigs, "small", {{"mixed", {mixedShared, mixedService}}, {"tiny", {tiny, tiny}}},
              [&](Service& service) { measureIdleWorkers(service, tiny); });

    // Peak RSS growth of a fresh service from a 100,000-file tree to a
    // 1,000,000-file tree.
    if (!options.skipMillion) {
        Service service;
        if (service.start(options.service, base + "/service-rss", smallSigs, scratch)) {
            const Outcome small = service.scan(tiny);
            const qint64 hwmSmall = statusField(service.pid(), "VmHWM");
            const QString million = base + "/million";
            created = Clock::now();
            const qint64 files = buildTiny(million, options.million);
            say(QStringLiteral("million corpus: %1 files (%2 s)")
                    .arg(files)
                    .arg(secondsSince(created), 0, 'f', 1));
            const Outcome big = service.scan(million);
            const qint64 hwmBig = statusField(service.pid(), "VmHWM");
            const double growthMb = double(hwmBig - hwmSmall) / 1024.0;
            say(QStringLiteral(
                    "service peak RSS: %1 MB after %2 files, %3 MB after %4 files (%5 files/s): "
                    "growth %6 MB, %7 of the 20 MB target")
                    .arg(hwmSmall / 1024.0, 0, 'f', 1)
                    .arg(small.files)
                    .arg(hwmBig / 1024.0, 0, 'f', 1)
                    .arg(big.files)
                    .arg(big.filesPerSecond(), 0, 'f', 0)
                    .arg(growthMb, 0, 'f', 2)
                    .arg(growthMb / 20.0, 0, 'f', 2));
            record("RSS_HWM_100K_MB", hwmSmall / 1024.0);
            record("RSS_HWM_1M_MB", hwmBig / 1024.0);
            record("RSS_GROWTH_MB", growthMb);
            record("MILLION_SERVICE_FPS", big.filesPerSecond());
            if (!big.ok || big.files != options.million)
                g_mismatch = true;
        }
        QDir(base + "/million").removeRecursively();
    }
    QDir(tiny).removeRecursively();

    // Large generated signature set on the mixed corpus.
    const QString largeSigs = base + "/sigs-large";
    QDir().mkpath(largeSigs);
    created = Clock::now();
    if (!writeLargeSignatures(largeSigs, options.hdb, options.ndb))
        return 2;
    say(QStringLiteral("large signature set: %1 MD5 + %2 body signatures (%3 s to write)")
            .arg(options.hdb)
            .arg(options.ndb)
            .arg(secondsSince(created), 0, 'f', 1));
    runRounds(largeSigs, "large", {{"largedb", {mixedShared, mixedService}}}, nullptr);
    say(QStringLiteral("load average: %1")
            .arg(QString::fromLatin1(readFile("/proc/loadavg").trimmed())));

    QStringList pairs;
    for (const auto& kv : g_keyValues)
        pairs.append(kv.first + '=' + kv.second);
    pairs.append(QStringLiteral("MATCH=%1").arg(g_mismatch ? 0 : 1));
    printf("%s\n", qPrintable(pairs.join(' ')));
    return g_mismatch ? 1 : 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    Options options;
    options.service = QCoreApplication::applicationDirPath() + "/znantivirus";
    for (int i = 1; i < args.size(); ++i) {
        const QString& a = args.at(i);
        const QString value = args.value(i + 1);
        if (a == "--skip-million")
            options.skipMillion = true;
        else if (a == "--service" && ++i < args.size())
            options.service = value;
        else if (a == "--tmp" && ++i < args.size())
            options.tmp = value;
        else if (a == "--scratch" && ++i < args.size())
            options.scratch = value;
        else if (a == "--rounds" && ++i < args.size())
            options.rounds = qMax(1, value.toInt());
        else if (a == "--hdb" && ++i < args.size())
            options.hdb = value.toInt();
        else if (a == "--ndb" && ++i < args.size())
            options.ndb = value.toInt();
        else if (a == "--tiny" && ++i < args.size())
            options.tiny = value.toInt();
        else if (a == "--million" && ++i < args.size())
            options.million = value.toInt();
        else {
            fprintf(
                stderr,
                "usage: bench_scan [--skip-million] [--service PATH] [--tmp DIR] [--scratch DIR] "
                "[--hdb N] [--ndb N] [--tiny N] [--million N] [--rounds N]\n");
            return 2;
        }
    }
    return run(options);
}
