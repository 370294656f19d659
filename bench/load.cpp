// Load benchmark: many local clients calling every request method at once
// while a scan runs.
//
// The service (build/bin/znantivirus) is started on a generated tree with
// a one-line signature set; a scan of the tree is kept running (started
// again whenever it ends). --clients threads (half on one persistent
// connection each, half on a fresh connection per request) call the 17
// methods in turn for --seconds; antivirus_scan_stop is called by a few
// clients only, now and then, so a scan runs most of the time. Each
// request waits up to 30 s for its reply; one that gets none counts as
// unanswered.
//
// Figures: requests and p50/p99 latency per method, the unanswered count,
// and the service's RSS and open descriptors before, at the peak and 10 s
// after the load. The last line holds them as KEY=VALUE pairs.
//
//   bench_load [--service PATH] [--clients N] [--seconds S] [--files N]

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "benchclient.h"
#include "benchsignatures.h"
#include "kx2localserver.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const int kReplyTimeoutMs = 30000;

struct Options
{
    QString service;
    int clients = 500;
    int seconds = 120;
    int files = 20000;
};

// The 68-byte antivirus test string, assembled at run time.
QByteArray eicar()
{
    return QByteArray("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + QByteArray("EICAR-STANDARD-")
        + QByteArray("ANTIVIRUS-TEST-FILE!$H+H*");
}

struct Work
{
    QString root;
    QString socket;
    QString scanDir;
    QString dataDir;
};

bool prepare(const Work& work, int files)
{
    for (int i = 0; i < files; ++i) {
        const QString path =
            QStringLiteral("%1/d%2/f%3.txt").arg(work.scanDir).arg(i / 1000).arg(i);
        if (!writeBenchFile(path, QByteArray("file ") + QByteArray::number(i)))
            return false;
    }
    const QByteArray sample = eicar();
    const QByteArray signature = QCryptographicHash::hash(sample, QCryptographicHash::Md5).toHex()
        + ':' + QByteArray::number(sample.size()) + ":Load.Test\n";
    const QJsonObject config{
        {"settings", work.root + "/etc/settings.json"},
        {"database", work.root + "/etc/antivirus.db"},
        {"virusdburl", "http://127.0.0.1:9/virusdb.json"},
        {"systemvirusdb", work.root + "/no-system-virusdb"},
        {"overall", QJsonObject{{"path", work.scanDir}}},
        {"lpcid", work.socket},
        {"debuglevel", 0},
    };
    QDir().mkpath(work.root + "/run");
    return writeBenchFile(work.dataDir + "/virusdb/load.hdb", signature)
        && writeBenchFile(work.root + "/etc/config.json", QJsonDocument(config).toJson())
        && writeBenchFile(
               work.root + "/etc/settings.json",
               QJsonDocument(QJsonObject{{"enabled", 1}, {"datadir", work.dataDir}}).toJson());
}

// The requests of the mix, in the order the clients take them.
std::vector<QJsonObject> requestMix(const Work& work)
{
    auto request = [](const char* cmd, const QJsonObject& params = QJsonObject()) {
        QJsonObject packet{{"cmd", cmd}};
        if (!params.isEmpty())
            packet.insert("params", params);
        return packet;
    };
    const QJsonObject none{{"iftnos", QJsonArray{999999}}};
    return {
        request("antivirus_scan_running"),
        request("antivirus_settings_load"),
        request("antivirus_settings_save",
                {{"enabled", 1}, {"datadir", work.dataDir}, {"threads", 2}}),
        request("antivirus_updvdb_running"),
        request("antivirus_updvdb_start"),
        request("antivirus_updvdb_stop"),
        request("antivirus_scan_start", {{"path", work.scanDir}}),
        request("antivirus_mission_alload"),
        request("antivirus_mission_create", {{"path", work.scanDir + "/d0"}}),
        request("antivirus_mission_remove", {{"msnnos", QJsonArray{999999}}}),
        request("antivirus_log_alload"),
        request("antivirus_log_remove", {{"lognos", QJsonArray{999999}}}),
        request("antivirus_quarantined_alload"),
        request("antivirus_quarantined_reduce"),
        request("antivirus_quarantined_remove", none),
        request("antivirus_quarantined_restore", none),
        request("antivirus_scan_stop"),
    };
}

struct Sample
{
    qint64 rssKb = 0;
    int descriptors = 0;
};

Sample sample(qint64 pid)
{
    Sample s;
    s.rssKb = statusField(pid, "VmRSS");
    s.descriptors = int(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                            .entryList(QDir::NoDotAndDotDot | QDir::System | QDir::Files)
                            .size());
    return s;
}

class Results
{
public:
    void add(const std::map<QString, std::vector<double>>& mine, int unanswered)
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& entry : mine)
            all[entry.first].insert(all[entry.first].end(), entry.second.begin(),
                                    entry.second.end());
        lost += unanswered;
    }
    std::map<QString, std::vector<double>> all;
    int lost = 0;

private:
    std::mutex mutex;
};

// One client: its own connection when `persistent`, else one per request.
void clientMain(const Work& work, const std::vector<QJsonObject>& mix, int index, bool persistent,
                Clock::time_point deadline, Results& results)
{
    std::map<QString, std::vector<double>> latencies;
    int unanswered = 0;
    KX2UniqueFd connection;
    QByteArray buffer;
    for (size_t turn = size_t(index); Clock::now() < deadline; ++turn) {
        size_t which = turn % mix.size();
        // Stops come from a few clients only, now and then.
        if (which == mix.size() - 1 && (index % 50 != 0 || turn % 10 != 0))
            which = 0;
        const QJsonObject& request = mix[which];
        if (!persistent || !connection.isValid()) {
            connection = connectTo(work.socket);
            buffer.clear();
        }
        const auto start = Clock::now();
        const bool ok = connection.isValid()
            && sendAll(connection.get(), KX2RpcPacket(request).toDatagram())
            && readReply(connection.get(), buffer, nullptr, kReplyTimeoutMs);
        if (!ok) {
            ++unanswered;
            connection.reset();
            continue;
        }
        latencies[request.value("cmd").toString()].push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    results.add(latencies, unanswered);
}

int run(const Options& options)
{
    QTemporaryDir temporary;
    Work work{temporary.path(), temporary.path() + "/run/antivirus.sock",
              temporary.path() + "/scan", temporary.path() + "/data"};
    if (!prepare(work, options.files)) {
        fprintf(stderr, "cannot write the tree\n");
        return 1;
    }
    QProcess service;
    service.setProcessChannelMode(QProcess::MergedChannels);
    service.setStandardOutputFile(work.root + "/service.log");
    service.start(options.service, {"--cfg", work.root + "/etc/config.json"});
    if (!service.waitForStarted(30000)) {
        fprintf(stderr, "cannot start %s\n", qPrintable(options.service));
        return 1;
    }
    const qint64 pid = service.processId();
    auto call = [&](const QJsonObject& packet) {
        QJsonObject reply;
        KX2LocalServer::localRequest(work.socket, packet, &reply, 30);
        return reply;
    };
    const auto loaded = Clock::now() + 5min;
    const QJsonObject startScan{{"cmd", "antivirus_scan_start"},
                                {"params", QJsonObject{{"path", work.scanDir}}}};
    for (QJsonObject reply; (reply = call(startScan)).value("err").toInt(-1) != 0;) {
        if (Clock::now() > loaded || service.state() != QProcess::Running) {
            QFile log(work.root + "/service.log");
            log.open(QIODevice::ReadOnly);
            fprintf(stderr, "the service did not start a scan: %s\n%s\n",
                    QJsonDocument(reply).toJson().constData(), log.readAll().constData());
            return 1;
        }
        std::this_thread::sleep_for(100ms);
    }
    const Sample before = sample(pid);
    Sample peak = before;

    const std::vector<QJsonObject> mix = requestMix(work);
    Results results;
    const auto deadline = Clock::now() + std::chrono::seconds(options.seconds);
    std::vector<std::thread> clients;
    for (int i = 0; i < options.clients; ++i)
        clients.emplace_back(clientMain, std::cref(work), std::cref(mix), i, i % 2 == 0, deadline,
                             std::ref(results));
    int scansStarted = 0;
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(500ms);
        const Sample now = sample(pid);
        peak.rssKb = std::max(peak.rssKb, now.rssKb);
        peak.descriptors = std::max(peak.descriptors, now.descriptors);
        // Keep a scan running.
        if (call(startScan).value("err").toInt() == 0)
            ++scansStarted;
    }
    for (std::thread& client : clients)
        client.join();
    std::this_thread::sleep_for(10s); // the service settles
    const Sample after = sample(pid);

    printf("%d clients (half persistent) for %d s while scanning %d files; %d scans started\n",
           options.clients, options.seconds, options.files, scansStarted + 1);
    printf("%-32s %9s %9s %9s\n", "method", "requests", "p50 ms", "p99 ms");
    qint64 total = 0;
    for (auto& entry : results.all) {
        std::vector<double>& l = entry.second;
        std::sort(l.begin(), l.end());
        total += qint64(l.size());
        printf("%-32s %9zu %9.2f %9.2f\n", qPrintable(entry.first), l.size(), l[l.size() / 2],
               l[std::min(l.size() - 1, l.size() * 99 / 100)]);
    }
    printf("answered %lld, unanswered %d\n", static_cast<long long>(total), results.lost);
    printf("RSS MB before %.1f, peak %.1f, after %.1f; descriptors before %d, peak %d, after %d\n",
           before.rssKb / 1024.0, peak.rssKb / 1024.0, after.rssKb / 1024.0, before.descriptors,
           peak.descriptors, after.descriptors);
    printf("answered=%lld unanswered=%d rss_before_mb=%.1f rss_peak_mb=%.1f rss_after_mb=%.1f "
           "fds_before=%d fds_peak=%d fds_after=%d\n",
           static_cast<long long>(total), results.lost, before.rssKb / 1024.0, peak.rssKb / 1024.0,
           after.rssKb / 1024.0, before.descriptors, peak.descriptors, after.descriptors);
    service.terminate();
    service.waitForFinished(60000);
    return results.lost == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Options options;
    options.service = QCoreApplication::applicationDirPath() + "/znantivirus";
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--service")
            options.service = args[i + 1];
        else if (args[i] == "--clients")
            options.clients = qMax(1, args[i + 1].toInt());
        else if (args[i] == "--seconds")
            options.seconds = qMax(1, args[i + 1].toInt());
        else if (args[i] == "--files")
            options.files = qMax(1, args[i + 1].toInt());
        else {
            fprintf(stderr,
                    "usage: bench_load [--service PATH] [--clients N] [--seconds S] "
                    "[--files N]\n");
            return 2;
        }
    }
    return run(options);
}
