// Load benchmark of the service: many clients calling a mix of every
// method at once, and one request with a million numbers.
//
// Starts bin/znantivirus with a temporary configuration and a work area
// whose virus database is a generated signature set, then:
//   1. sends antivirus_quarantined_remove with 1,000,000 ids on one
//      connection and reports the service's RSS before, at the peak
//      (VmHWM) and once it has settled after the reply, against the
//      request's own size;
//   2. runs --clients persistent clients (default 500) for --seconds
//      (default 120), each calling the 17 antivirus methods and
//      help_interfaces in a fixed mix while a scan of a generated tree
//      runs (started again whenever one ends), and a prober that opens a
//      fresh connection every 100 ms; every request must be answered
//      within 30 s. Reports p50/p99 per
//      method, the prober's first-reply p50/p99 as a ratio to the busy
//      clients' p50, and the service's RSS and descriptors before, at the
//      peak (sampled every 100 ms) and after.
// The last line holds every figure as KEY=VALUE pairs. Not run by ctest.
//
//   bench_load [--clients N] [--seconds S]     (S = 0: the large request only)

#include "benchclient.h"
#include "benchsignatures.h"
#include "kx2localserver.h"
#include "kx2localserver_p.h"
#include "kx2rpcpacket.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
const int kReplyTimeoutMs = 30000;

QStringList g_keyValues;

void record(const QString& key, double value)
{
    g_keyValues << key + QLatin1Char('=') + QString::number(value, 'f', value < 10 ? 2 : 0);
}

// Waits at most this long for each reply.
bool readReplyInTime(int fd, QByteArray& buffer)
{
    return readReply(fd, buffer, nullptr, kReplyTimeoutMs);
}

int descriptors(qint64 pid)
{
    return QDir(QStringLiteral("/proc/%1/fd").arg(pid))
        .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
        .size();
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

// Waits until `check` holds or `ms` pass, looking every 50 ms (another
// process is watched; there is nothing to block on).
bool waitUntil(const std::function<bool()>& check, int ms)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!check()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

QJsonObject call(const QString& name, const QString& cmd, const QJsonObject& params)
{
    QJsonObject reply;
    if (!KX2LocalServer::localRequest(name, {{"cmd", cmd}, {"params", params}}, &reply, 30))
        return QJsonObject{{"err", -1}};
    return reply;
}

// Keeps a scan of `tree` running: starts one when none runs. Returns
// whether one runs now.
bool keepScanning(const QString& name, const QString& tree, int& started)
{
    const QJsonObject progress = call(name, "antivirus_scan_running", QJsonObject());
    if (progress.value("results").toObject().value("running").toInt() == 1)
        return true;
    if (call(name, "antivirus_scan_start", {{"path", tree}}).value("err").toInt(-1) != 0)
        return false;
    ++started;
    return true;
}

QByteArray request(const QString& cmd, const QJsonObject& params = QJsonObject())
{
    QJsonObject object{{"cmd", cmd}};
    if (!params.isEmpty())
        object.insert(QStringLiteral("params"), params);
    return KX2RpcPacket(object).toDatagram();
}

struct Call
{
    QString method;
    QByteArray frame;
    int weight;
};

// Every method once at least, the reading ones more often; the changing
// ones with parameters that leave the service as it was (records that do
// not exist, a help request, or parameters the service refuses). The scan
// is kept running from outside the mix (keepScanning).
std::vector<Call> mix()
{
    const QJsonArray missing{900001, 900002, 900003};
    return {
        {"help_interfaces", request("help_interfaces"), 2},
        {"antivirus_settings_load", request("antivirus_settings_load"), 10},
        {"antivirus_settings_save", request("antivirus_settings_save"), 1},
        {"antivirus_updvdb_running", request("antivirus_updvdb_running"), 10},
        {"antivirus_updvdb_start", request("antivirus_updvdb_start", {{"help", 1}}), 1},
        {"antivirus_updvdb_stop", request("antivirus_updvdb_stop", {{"help", 1}}), 1},
        {"antivirus_scan_running", request("antivirus_scan_running"), 10},
        {"antivirus_scan_start", request("antivirus_scan_start", {{"help", 1}}), 1},
        {"antivirus_scan_stop", request("antivirus_scan_stop", {{"help", 1}}), 1},
        {"antivirus_mission_alload", request("antivirus_mission_alload"), 10},
        {"antivirus_mission_create", request("antivirus_mission_create", {{"help", 1}}), 1},
        {"antivirus_mission_remove", request("antivirus_mission_remove", {{"msnnos", missing}}), 1},
        {"antivirus_log_alload", request("antivirus_log_alload"), 10},
        {"antivirus_log_remove", request("antivirus_log_remove", {{"lognos", missing}}), 1},
        {"antivirus_quarantined_alload", request("antivirus_quarantined_alload"), 10},
        {"antivirus_quarantined_reduce", request("antivirus_quarantined_reduce"), 1},
        {"antivirus_quarantined_remove",
         request("antivirus_quarantined_remove", {{"iftnos", missing}}), 1},
        {"antivirus_quarantined_restore",
         request("antivirus_quarantined_restore", {{"iftnos", missing}}), 1},
    };
}

struct Results
{
    std::mutex mutex;
    std::map<QString, std::vector<double>> latencies; // µs by method
    std::vector<double> firstReplies;                 // µs, prober
    std::atomic<qint64> sent{0};
    std::atomic<qint64> answered{0};
};

void client(const QString& name, const std::vector<Call>& calls, int seed,
            const std::atomic<bool>& stop, Results& results)
{
    std::vector<int> order;
    for (size_t i = 0; i < calls.size(); ++i)
        order.insert(order.end(), size_t(calls[i].weight), int(i));
    std::map<QString, std::vector<double>> mine;
    const KX2UniqueFd connection = connectTo(name);
    const int fd = connection.get();
    QByteArray buffer;
    for (size_t n = size_t(seed); fd >= 0 && !stop.load(); ++n) {
        const Call& call = calls[size_t(order[n % order.size()])];
        const auto start = Clock::now();
        ++results.sent;
        if (!sendAll(fd, call.frame) || !readReplyInTime(fd, buffer))
            break;
        ++results.answered;
        mine[call.method].push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    std::lock_guard<std::mutex> lock(results.mutex);
    for (auto& entry : mine)
        results.latencies[entry.first].insert(results.latencies[entry.first].end(),
                                              entry.second.begin(), entry.second.end());
}

// A new client every 100 ms: connect, one request, time to its reply.
void prober(const QString& name, const std::atomic<bool>& stop, Results& results)
{
    const QByteArray frame = request("antivirus_scan_running");
    while (!stop.load()) {
        const auto start = Clock::now();
        const KX2UniqueFd connection = connectTo(name);
        const int fd = connection.get();
        QByteArray buffer;
        ++results.sent;
        if (fd >= 0 && sendAll(fd, frame) && readReplyInTime(fd, buffer)) {
            ++results.answered;
            std::lock_guard<std::mutex> lock(results.mutex);
            results.firstReplies.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // the probing pace
    }
}

void largeRequest(const QString& name, qint64 pid)
{
    QJsonArray ids;
    for (int i = 1; i <= 1000000; ++i)
        ids.append(i);
    const QByteArray frame = request("antivirus_quarantined_remove", {{"iftnos", ids}});
    const qint64 before = statusField(pid, "VmRSS");
    const qint64 peakBefore = statusField(pid, "VmHWM");
    KX2UniqueFd connection = connectTo(name);
    const int fd = connection.get();
    QByteArray buffer;
    const auto start = Clock::now();
    const bool ok = fd >= 0 && sendAll(fd, frame) && readReplyInTime(fd, buffer);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const qint64 peak = statusField(pid, "VmHWM");
    connection.reset();
    // Memory goes back once the reply is written and the connection ends:
    // settled when two looks 100 ms apart agree within 64 KiB.
    qint64 after = statusField(pid, "VmRSS");
    waitUntil(
        [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100)); // between two looks
            const qint64 now = statusField(pid, "VmRSS");
            const bool settled = std::abs(now - after) <= 64;
            after = now;
            return settled;
        },
        3000);
    const double requestMiB = frame.size() / 1048576.0;
    printf("1,000,000 ids: request %.1f MiB, answered %s in %.2f s; RSS before %.1f MiB, "
           "peak %.1f MiB (%.1fx the request above before), after %.1f MiB (%+.1f MiB)\n",
           requestMiB, ok ? "yes" : "NO", seconds, before / 1024.0,
           std::max(peak, peakBefore) / 1024.0, (peak - before) / 1024.0 / requestMiB,
           after / 1024.0, (after - before) / 1024.0);
    record("large_request_mib", requestMiB);
    record("large_peak_growth_mib", (peak - before) / 1024.0);
    record("large_after_growth_mib", (after - before) / 1024.0);
}

void load(const QString& name, qint64 pid, const QString& tree, int clients, int seconds)
{
    const std::vector<Call> calls = mix();
    // The engine loads after the settings are saved; the first scan starts
    // once it is ready.
    int scans = 0;
    const bool scanning = waitUntil([&] { return keepScanning(name, tree, scans); }, 60000);
    printf("scan of %s: %s\n", qPrintable(tree), scanning ? "running" : "REFUSED");
    int scanningSamples = 0, samples = 0;
    Results results;
    std::atomic<bool> stop{false};
    const qint64 rssBefore = statusField(pid, "VmRSS");
    const int fdsBefore = descriptors(pid);
    qint64 rssPeak = rssBefore;
    int fdsPeak = fdsBefore;
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i)
        threads.emplace_back(client, name, std::cref(calls), i * 7, std::cref(stop),
                             std::ref(results));
    threads.emplace_back(prober, name, std::cref(stop), std::ref(results));
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100)); // sampling pace
        rssPeak = std::max(rssPeak, statusField(pid, "VmRSS"));
        fdsPeak = std::max(fdsPeak, descriptors(pid));
        if (++samples % 10 == 0 && keepScanning(name, tree, scans))
            ++scanningSamples;
    }
    printf("scans started: %d; a scan ran at %d of %d looks (one a second)\n", scans,
           scanningSamples, samples / 10);
    stop = true;
    for (std::thread& thread : threads)
        thread.join();
    qint64 rssAfter = statusField(pid, "VmRSS");
    waitUntil([&] { return descriptors(pid) <= fdsBefore; }, 5000);
    const int fdsAfter = descriptors(pid);
    rssAfter = statusField(pid, "VmRSS");

    std::vector<double> all;
    printf("%d clients for %d s: %lld requests, %lld answered\n", clients, seconds,
           (long long)results.sent.load(), (long long)results.answered.load());
    for (const auto& entry : results.latencies) {
        printf("  %-30s %8zu  p50 %8.0f us  p99 %8.0f us\n", qPrintable(entry.first),
               entry.second.size(), percentile(entry.second, 0.5), percentile(entry.second, 0.99));
        all.insert(all.end(), entry.second.begin(), entry.second.end());
    }
    const double busyP50 = percentile(all, 0.5);
    const double firstP50 = percentile(results.firstReplies, 0.5);
    const double firstP99 = percentile(results.firstReplies, 0.99);
    printf("  busy clients p50 %.0f us p99 %.0f us; new client first reply p50 %.0f us "
           "(%.2fx busy p50), p99 %.0f us\n",
           busyP50, percentile(all, 0.99), firstP50, firstP50 / std::max(1.0, busyP50), firstP99);
    printf("  RSS before %.1f MiB, peak %.1f MiB, after %.1f MiB; descriptors before %d, "
           "peak %d, after %d\n",
           rssBefore / 1024.0, rssPeak / 1024.0, rssAfter / 1024.0, fdsBefore, fdsPeak, fdsAfter);
    record("requests", double(results.sent.load()));
    record("unanswered", double(results.sent.load() - results.answered.load()));
    record("busy_p50_us", busyP50);
    record("busy_p99_us", percentile(all, 0.99));
    record("first_reply_p50_us", firstP50);
    record("first_reply_ratio", firstP50 / std::max(1.0, busyP50));
    record("rss_before_mib", rssBefore / 1024.0);
    record("rss_peak_mib", rssPeak / 1024.0);
    record("rss_after_mib", rssAfter / 1024.0);
    record("fds_before", fdsBefore);
    record("fds_peak", fdsPeak);
    record("fds_after", fdsAfter);
}

// A tree of small files for the scan that runs during the load.
QString makeTree(const QTemporaryDir& dir)
{
    const QString tree = dir.filePath(QStringLiteral("tree"));
    for (int d = 0; d < 40; ++d) {
        const QString sub = tree + QStringLiteral("/d%1").arg(d);
        QDir().mkpath(sub);
        for (int f = 0; f < 1000; ++f) {
            QFile file(sub + QStringLiteral("/f%1.txt").arg(f));
            if (file.open(QIODevice::WriteOnly))
                file.write(QByteArray(512, char('a' + f % 26)));
        }
    }
    return tree;
}

QString startService(const QTemporaryDir& dir, QProcess& server)
{
    const QString name = dir.filePath(QStringLiteral("load.sock"));
    const QString config = dir.filePath(QStringLiteral("config.json"));
    // A work area whose virus database is a generated signature set, so
    // that the engine loads and scans run.
    const QString data = dir.filePath(QStringLiteral("data"));
    if (!writeGeneratedSignatures(data + QStringLiteral("/virusdb"), 2000, 200))
        return QString();
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write(
        QJsonDocument(
            QJsonObject{{"lpcid", name},
                        {"settings", dir.filePath(QStringLiteral("settings.json"))},
                        {"database", dir.filePath(QStringLiteral("antivirus.db"))},
                        {"virusdburl", "http://127.0.0.1:9/virusdb.json"},
                        {"systemvirusdb", dir.filePath(QStringLiteral("no-system-virusdb"))}})
            .toJson());
    file.close();
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.setStandardOutputFile(QProcess::nullDevice());
    server.start(QCoreApplication::applicationDirPath() + QStringLiteral("/znantivirus"),
                 {QStringLiteral("--cfg"), config});
    if (!server.waitForStarted(10000))
        return QString();
    const bool up = waitUntil(
        [&] {
            QJsonObject reply;
            return server.state() == QProcess::Running
                && KX2LocalServer::localRequest(name, {{"cmd", "help_interfaces"}}, &reply, 2);
        },
        30000);
    const QJsonObject settings{{"enabled", 1}, {"datadir", data}, {"threads", 2}};
    if (!up || call(name, "antivirus_settings_save", settings).value("err").toInt(-1) != 0)
        return QString();
    return name;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int clientsAt = args.indexOf(QStringLiteral("--clients"));
    const int clients = clientsAt > 0 ? std::max(1, args.value(clientsAt + 1).toInt()) : 500;
    const int secondsAt = args.indexOf(QStringLiteral("--seconds"));
    // --seconds 0 measures the large request alone.
    const int seconds = secondsAt > 0 ? std::max(0, args.value(secondsAt + 1).toInt()) : 120;
    QTemporaryDir dir;
    const QString tree = makeTree(dir);
    QProcess server;
    const QString name = startService(dir, server);
    if (name.isEmpty()) {
        fprintf(stderr, "bench_load: the service did not start\n");
        return 1;
    }
    largeRequest(name, server.processId());
    if (secondsAt < 0 || seconds > 0)
        load(name, server.processId(), tree, clients, seconds);
    printf("%s\n", qPrintable(g_keyValues.join(QLatin1Char(' '))));
    server.terminate();
    server.waitForFinished(5000);
    return 0;
}
