// Local socket RPC benchmark.
//
// Measures one request method (--method, default antivirus_updvdb_running,
// the cheapest real one) of the service against peers measured in the same
// run:
//   - clamd, the ClamAV daemon, started here in the foreground with a
//     temporary configuration (a local socket and a one-line signature
//     database), answering PING;
//   - a bare echo over the same kind of socket (a thread per connection
//     writing canned reply bytes), which shows what framing, JSON and
//     dispatch cost.
// Figures: one request per fresh connection and many requests on one
// persistent connection per client, with 1, 8 and 64 concurrent clients
// (requests/s, p50 and p99 latency); 500 clients connecting at once, each
// answered once; and the CPU time the serving process uses while it holds
// 100 idle connections (from /proc/<pid>/stat).
// Each figure is the best of --rounds runs (default 3), the service's and
// the peer's runs taken in turn. The last line holds every figure as
// KEY=VALUE pairs.
//
//   bench_rpc [--method M] [--rounds N] [--bare] [--no-clamd]
//             [--only fresh|persistent|burst] [--clients N] [--allow-idle]
//        spawn the service (bin/znantivirus with a temporary configuration;
//        with --bare a plain KX2LocalServer of this program, measured with
//        help_interfaces unless --method says otherwise) and measure it
//   bench_rpc --connect NAME [--pid PID] [--method M]
//        measure a running service
//   --allow-idle leaves the processors' idle states alone (see
//        holdProcessorsAwake)

#include "benchclient.h"
#include "benchprotocols.h"
#include "kx2localserver.h"
#include "kx2localserver_p.h"
#include "kx2rpcpacket.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const int kClientCounts[] = {1, 8, 64};
const int kFreshRequests = 3000;
// About a second per persistent round at the rates of this machine: in
// rounds of a fifth of that, one lucky schedule of clients and server on
// the cores decided a figure.
const int kPersistentRequests = 100000;
const int kBurstClients = 500;
const int kIdleConnections = 100;
const int kIdleSeconds = 5;
const char kClamdBinary[] = "/usr/sbin/clamd";

QString g_method = QStringLiteral("antivirus_updvdb_running");
// Every figure is the best of this many runs, the service's and the peer's
// taken in turn: other load on the machine only ever slows a run down, so
// the best run is the one least disturbed (--rounds N).
int g_rounds = 3;

// Asks the kernel (PM QoS) to keep the processors out of deep idle states
// while the figures are taken; released when the process ends. On a
// virtual machine a halted processor is woken through the hypervisor, and
// that wake-up, not either daemon, decided the single-client round trips:
// the same build measured 17,000 or 112,000 requests/s depending on
// whether other load kept the processors awake. Both peers are measured
// under the same setting. False when the device cannot be opened (not
// root, or no PM QoS): the figures then include the wake-ups.
bool holdProcessorsAwake()
{
    static const int fd = ::open("/dev/cpu_dma_latency", O_WRONLY | O_CLOEXEC);
    const int32_t noLatency = 0;
    return fd >= 0 && ::write(fd, &noLatency, sizeof noLatency) == ssize_t(sizeof noLatency);
}
// --only fresh|persistent|burst and --clients N narrow a run down while
// profiling; the figures of a full run need neither.
QString g_only;
int g_onlyClients = 0;

bool wanted(const char* phase, int clients = 0)
{
    return (g_only.isEmpty() || g_only == QLatin1String(phase))
        && (g_onlyClients == 0 || clients == 0 || clients == g_onlyClients);
}

struct Figures
{
    double requestsPerSecond = 0;
    double p50Us = 0;
    double p99Us = 0;
};

QList<QPair<QString, QString>> g_keyValues;

void record(const QString& key, double value)
{
    g_keyValues.append({key, QString::number(value, 'f', value < 10 ? 2 : 0)});
}

// Runs `clients` threads that together make `total` requests with
// `clientLoop(requests, latencies)`, and summarises the latencies.
Figures runClients(int clients, int total,
                   const std::function<bool(int, std::vector<double>&)>& clientLoop)
{
    std::vector<std::vector<double>> latencies(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    const auto started = Clock::now();
    for (int c = 0; c < clients; ++c) {
        latencies[size_t(c)].reserve(size_t(total / clients));
        threads.emplace_back([&, c] {
            if (!clientLoop(total / clients, latencies[size_t(c)]))
                ++failures;
        });
    }
    for (std::thread& t : threads)
        t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::vector<double> all;
    for (const auto& l : latencies)
        all.insert(all.end(), l.begin(), l.end());
    Figures figures;
    if (failures.load() > 0 || all.empty()) {
        fprintf(stderr, "bench_rpc: %d clients failed\n", failures.load());
        return figures;
    }
    std::sort(all.begin(), all.end());
    figures.requestsPerSecond = double(all.size()) / seconds;
    figures.p50Us = all[all.size() / 2];
    figures.p99Us = all[std::min(all.size() - 1, all.size() * 99 / 100)];
    return figures;
}

double microsecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

const QJsonObject& helpRequest()
{
    static const QJsonObject request{{"cmd", g_method}};
    return request;
}

Protocol serviceProtocol()
{
    return {KX2RpcPacket(helpRequest()).toDatagram(), readFrame, [](int fd, QByteArray& buffer) {
                KX2RpcPacket reply;
                // An answer, whatever its code: the default method reports
                // "not running" as an error code of its own.
                return readReply(fd, buffer, &reply)
                    && reply.value(QStringLiteral("err")).isDouble();
            }};
}

bool freshConnections(const QString& name, const Protocol& protocol, int count,
                      std::vector<double>& latencies)
{
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        KX2UniqueFd socket = connectTo(name);
        QByteArray buffer;
        const auto& read = i == 0 ? protocol.readChecked : protocol.readReply;
        if (socket.get() < 0 || !sendAll(socket.get(), protocol.request)
            || !read(socket.get(), buffer))
            return false;
        latencies.push_back(microsecondsSince(start));
    }
    return true;
}

bool persistentConnection(const QString& name, const Protocol& protocol, const QByteArray& opening,
                          int count, std::vector<double>& latencies)
{
    KX2UniqueFd socket = connectTo(name);
    if (socket.get() < 0 || !sendAll(socket.get(), opening))
        return false;
    QByteArray buffer;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        const auto& read = i == 0 ? protocol.readChecked : protocol.readReply;
        if (!sendAll(socket.get(), protocol.request) || !read(socket.get(), buffer))
            return false;
        latencies.push_back(microsecondsSince(start));
    }
    return true;
}

// `clients` threads connect at the same moment and make one request each;
// returns how many were answered.
int burst(const QString& name, const Protocol& protocol, int clients)
{
    std::atomic<int> answered{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            while (!go.load())
                std::this_thread::yield();
            KX2UniqueFd socket = connectTo(name);
            QByteArray buffer;
            if (socket.get() >= 0 && sendAll(socket.get(), protocol.request)
                && protocol.readChecked(socket.get(), buffer))
                ++answered;
        });
    }
    go = true;
    for (std::thread& t : threads)
        t.join();
    return answered.load();
}

// The peer: a raw socket pair per client whose other end a thread answers
// with `reply` for every request frame, without JSON or dispatch.
bool bareEcho(const QByteArray& reply, int count, std::vector<double>& latencies)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return false;
    KX2UniqueFd client(fds[0]);
    KX2UniqueFd server(fds[1]);
    std::thread echo([&] {
        QByteArray buffer;
        while (readReply(server.get(), buffer) && sendAll(server.get(), reply)) {}
    });
    const QByteArray frame = KX2RpcPacket(helpRequest()).toDatagram();
    QByteArray buffer;
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        const auto start = Clock::now();
        ok = sendAll(client.get(), frame) && readReply(client.get(), buffer);
        latencies.push_back(microsecondsSince(start));
    }
    ::shutdown(client.get(), SHUT_RDWR);
    echo.join();
    return ok;
}

void report(const char* label, const QString& key, int clients, const Figures& f)
{
    printf("%-28s clients=%-3d %9.0f req/s   p50 %8.1f us   p99 %8.1f us\n", label, clients,
           f.requestsPerSecond, f.p50Us, f.p99Us);
    const QString prefix = QStringLiteral("%1_C%2_").arg(key).arg(clients);
    record(prefix + "RPS", f.requestsPerSecond);
    record(prefix + "P50_US", f.p50Us);
    record(prefix + "P99_US", f.p99Us);
}

// utime + stime of `pid` in clock ticks, or -1.
long long cpuTicks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray line = stat.readAll();
    // Fields after the parenthesised command name; utime and stime are the
    // 14th and 15th fields of the whole line.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return fields.at(11).toLongLong() + fields.at(12).toLongLong();
}

double idleCpuPercent(const QString& name, qint64 pid)
{
    std::vector<KX2UniqueFd> idle;
    const QByteArray frame = KX2RpcPacket(helpRequest()).toDatagram();
    for (int i = 0; i < kIdleConnections; ++i) {
        idle.push_back(connectTo(name));
        // One answered request proves the connection's worker is running.
        QByteArray buffer;
        if (idle.back().get() < 0 || !sendAll(idle.back().get(), frame)
            || !readReply(idle.back().get(), buffer))
            return -1;
    }
    const long long before = cpuTicks(pid);
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(kIdleSeconds)); // the measured period
    const long long after = cpuTicks(pid);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (before < 0 || after < 0)
        return -1;
    return 100.0 * double(after - before) / double(sysconf(_SC_CLK_TCK)) / seconds;
}

int serve(const QString& name)
{
    KX2LocalServer server;
    if (!server.start(name))
        return 1;
    printf("ready\n");
    fflush(stdout);
    return QCoreApplication::exec();
}

// For each of `runs`, the run with the highest throughput of g_rounds; the
// runs take turns within each round.
std::vector<Figures> bestOfEach(const std::vector<std::function<Figures()>>& runs)
{
    std::vector<Figures> best(runs.size());
    for (int round = 0; round < g_rounds; ++round) {
        for (size_t i = 0; i < runs.size(); ++i) {
            const Figures figures = runs[i]();
            if (figures.requestsPerSecond > best[i].requestsPerSecond)
                best[i] = figures;
        }
    }
    return best;
}

void recordRatio(const char* label, const QString& key, double service, double peer)
{
    const double ratio = peer > 0 ? service / peer : 0;
    printf("  %s %.2f\n", label, ratio);
    record(key, ratio);
}

int measure(const QString& name, qint64 pid, const QString& clamd)
{
    printf("%s over %s%s, best of %d rounds\n", qPrintable(g_method), qPrintable(name),
           clamd.isEmpty() ? "" : qPrintable(QStringLiteral(", clamd PING over ") + clamd),
           g_rounds);
    const Protocol service = serviceProtocol();
    for (int clients : kClientCounts) {
        if (!wanted("fresh", clients))
            continue;
        auto fresh = [&](const QString& target, const Protocol& protocol) {
            return [&, target, protocol] {
                return runClients(clients, kFreshRequests, [&](int n, std::vector<double>& l) {
                    return freshConnections(target, protocol, n, l);
                });
            };
        };
        std::vector<std::function<Figures()>> runs{fresh(name, service)};
        if (!clamd.isEmpty())
            runs.push_back(fresh(clamd, clamdFreshProtocol()));
        const std::vector<Figures> best = bestOfEach(runs);
        report("fresh connection", "FRESH", clients, best[0]);
        if (clamd.isEmpty())
            continue;
        report("  clamd fresh connection", "CLAMD_FRESH", clients, best[1]);
        recordRatio("service/clamd throughput ratio",
                    QStringLiteral("FRESH_C%1_VS_CLAMD").arg(clients), best[0].requestsPerSecond,
                    best[1].requestsPerSecond);
    }
    // Reply bytes of the real service, so the bare peer moves the same amount.
    QJsonObject sample;
    KX2LocalServer::localRequest(name, helpRequest(), &sample, 10);
    const QByteArray reply = KX2RpcPacket(sample).toDatagram();
    for (int clients : kClientCounts) {
        if (!wanted("persistent", clients))
            continue;
        auto persistent = [&](const QString& target, const Protocol& protocol,
                              const QByteArray& opening) {
            return [&, target, protocol, opening] {
                return runClients(clients, kPersistentRequests, [&](int n, std::vector<double>& l) {
                    return persistentConnection(target, protocol, opening, n, l);
                });
            };
        };
        std::vector<std::function<Figures()>> runs{
            persistent(name, service, QByteArray()), [&] {
                return runClients(clients, kPersistentRequests, [&](int n, std::vector<double>& l) {
                    return bareEcho(reply, n, l);
                });
            }};
        if (!clamd.isEmpty())
            runs.push_back(persistent(clamd, clamdSessionProtocol(), QByteArray("nIDSESSION\n")));
        const std::vector<Figures> best = bestOfEach(runs);
        report("persistent connection", "PERSIST", clients, best[0]);
        report("  peer: bare socket echo", "PEER", clients, best[1]);
        recordRatio("service/bare throughput ratio",
                    QStringLiteral("PERSIST_C%1_VS_PEER").arg(clients), best[0].requestsPerSecond,
                    best[1].requestsPerSecond);
        if (clamd.isEmpty())
            continue;
        report("  clamd session", "CLAMD_PERSIST", clients, best[2]);
        recordRatio("service/clamd throughput ratio",
                    QStringLiteral("PERSIST_C%1_VS_CLAMD").arg(clients), best[0].requestsPerSecond,
                    best[2].requestsPerSecond);
    }
    if (!wanted("burst"))
        return 0;
    const int answered = burst(name, service, kBurstClients);
    printf("%d clients at once: %d answered\n", kBurstClients, answered);
    record(QStringLiteral("BURST%1_ANSWERED").arg(kBurstClients), answered);
    if (!clamd.isEmpty()) {
        const int peerAnswered = burst(clamd, clamdFreshProtocol(), kBurstClients);
        printf("  clamd: %d answered\n", peerAnswered);
        record(QStringLiteral("CLAMD_BURST%1_ANSWERED").arg(kBurstClients), peerAnswered);
    }
    if (pid > 0) {
        const double cpu = idleCpuPercent(name, pid);
        printf("idle service, %d idle connections, %d s: %.2f%% CPU\n", kIdleConnections,
               kIdleSeconds, cpu);
        record(QStringLiteral("IDLE%1_CPU_PCT").arg(kIdleConnections), cpu);
    }
    QStringList pairs;
    for (const auto& kv : g_keyValues)
        pairs.append(kv.first + '=' + kv.second);
    printf("%s\n", qPrintable(pairs.join(' ')));
    return 0;
}

// Waits until `check` holds or `ms` pass.
bool waitUntil(const std::function<bool()>& check, int ms)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!check()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20)); // polling another process
    }
    return true;
}

// Starts clamd in the foreground on a socket in `dir`; returns the socket
// path, or an empty string when clamd is not there or does not answer.
QString startClamd(const QTemporaryDir& dir, QProcess& clamd)
{
    if (!QFileInfo(QString::fromLatin1(kClamdBinary)).isExecutable())
        return QString();
    const QString database = dir.filePath(QStringLiteral("clamd-db"));
    QDir().mkpath(database);
    // One signature of bytes made up here: clamd loads it in no time.
    const QByteArray sample = "zn-bench-sample";
    QFile hdb(database + QStringLiteral("/bench.hdb"));
    if (!hdb.open(QIODevice::WriteOnly))
        return QString();
    hdb.write(QCryptographicHash::hash(sample, QCryptographicHash::Md5).toHex() + ':'
              + QByteArray::number(sample.size()) + ":Zn.Bench.Sample\n");
    hdb.close();
    const QString socket = dir.filePath(QStringLiteral("clamd.sock"));
    const QString config = dir.filePath(QStringLiteral("clamd.conf"));
    QFile conf(config);
    if (!conf.open(QIODevice::WriteOnly))
        return QString();
    conf.write(QStringLiteral(
                   "LocalSocket %1\nDatabaseDirectory %2\nForeground yes\nTemporaryDirectory %3\n"
                   "LogFile %3/clamd.log\nMaxThreads 16\n")
                   .arg(socket, database, dir.path())
                   .toUtf8());
    conf.close();
    clamd.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    clamd.setStandardOutputFile(QProcess::nullDevice());
    clamd.start(QString::fromLatin1(kClamdBinary), {QStringLiteral("--config-file=") + config});
    if (!clamd.waitForStarted(10000))
        return QString();
    const bool up = waitUntil(
        [&] {
            KX2UniqueFd probe = connectTo(socket);
            QByteArray buffer;
            return probe.get() >= 0 && sendAll(probe.get(), QByteArray("zPING", 6))
                && readTerminated(probe.get(), buffer, '\0');
        },
        30000);
    return up ? socket : QString();
}

// Starts the service to measure; returns its socket name or empty.
QString startService(const QTemporaryDir& dir, bool bare, QProcess& server)
{
    const QString name = dir.filePath(QStringLiteral("bench.sock"));
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (bare) {
        server.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--serve"), name});
        if (!server.waitForReadyRead(10000) || !server.readLine().startsWith("ready"))
            return QString();
        return name;
    }
    const QString config = dir.filePath(QStringLiteral("config.json"));
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write(
        QJsonDocument(QJsonObject{{"lpcid", name},
                                  {"settings", dir.filePath(QStringLiteral("settings.json"))},
                                  {"database", dir.filePath(QStringLiteral("antivirus.db"))}})
            .toJson());
    file.close();
    server.setStandardOutputFile(QProcess::nullDevice());
    server.start(QCoreApplication::applicationDirPath() + QStringLiteral("/znantivirus"),
                 {QStringLiteral("--cfg"), config});
    if (!server.waitForStarted(10000))
        return QString();
    const bool up = waitUntil(
        [&] {
            QJsonObject reply;
            return server.state() == QProcess::Running
                && KX2LocalServer::localRequest(name, helpRequest(), &reply, 2);
        },
        30000);
    return up ? name : QString();
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int roundsAt = args.indexOf(QStringLiteral("--rounds"));
    if (roundsAt > 0 && roundsAt + 1 < args.size())
        g_rounds = std::max(1, args.at(roundsAt + 1).toInt());
    const int methodAt = args.indexOf(QStringLiteral("--method"));
    if (methodAt > 0 && methodAt + 1 < args.size())
        g_method = args.at(methodAt + 1);
    else if (args.contains(QStringLiteral("--bare")))
        g_method = QStringLiteral("help_interfaces"); // the plain server's only method
    const int onlyAt = args.indexOf(QStringLiteral("--only"));
    if (onlyAt > 0 && onlyAt + 1 < args.size())
        g_only = args.at(onlyAt + 1);
    const int clientsAt = args.indexOf(QStringLiteral("--clients"));
    if (clientsAt > 0 && clientsAt + 1 < args.size())
        g_onlyClients = args.at(clientsAt + 1).toInt();
    const int serveAt = args.indexOf(QStringLiteral("--serve"));
    if (serveAt > 0 && serveAt + 1 < args.size())
        return serve(args.at(serveAt + 1));
    const bool awake = !args.contains(QStringLiteral("--allow-idle")) && holdProcessorsAwake();
    printf("processors held out of deep idle states: %s\n", awake ? "yes" : "no");
    QTemporaryDir dir;
    QProcess clamd;
    const QString clamdSocket =
        args.contains(QStringLiteral("--no-clamd")) ? QString() : startClamd(dir, clamd);
    if (clamdSocket.isEmpty() && !args.contains(QStringLiteral("--no-clamd")))
        fprintf(stderr, "bench_rpc: clamd did not start; measuring without it\n");
    int result = 1;
    const int connectAt = args.indexOf(QStringLiteral("--connect"));
    if (connectAt > 0 && connectAt + 1 < args.size()) {
        const int pidAt = args.indexOf(QStringLiteral("--pid"));
        result = measure(args.at(connectAt + 1), pidAt > 0 ? args.value(pidAt + 1).toLongLong() : 0,
                         clamdSocket);
    } else {
        QProcess server;
        const QString name = startService(dir, args.contains(QStringLiteral("--bare")), server);
        if (name.isEmpty()) {
            fprintf(stderr, "bench_rpc: the service did not start\n");
        } else {
            result = measure(name, server.processId(), clamdSocket);
        }
        server.terminate();
        server.waitForFinished(5000);
    }
    if (clamd.state() != QProcess::NotRunning) {
        clamd.terminate();
        clamd.waitForFinished(5000);
    }
    return result;
}
