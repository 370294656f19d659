// Local socket RPC benchmark.
//
// Starts a serving process (this program with --serve, a KX2LocalServer
// whose router chain answers help_interfaces) on a temporary socket and
// measures `help_interfaces`:
//   - one request per fresh connection (KX2LocalServer::localRequest) and
//     many requests on one persistent connection per client,
//     with 1, 8 and 64 concurrent clients: requests/s, p50 and p99 latency;
//   - as the peer for the persistent figures, a bare echo over the same
//     kind of socket (a thread per connection writing canned reply bytes),
//     so the ratio shows what framing, JSON and dispatch cost;
//   - the CPU time the serving process uses over 10 s while it holds 100
//     idle connections (from /proc/<pid>/stat).
// The last line holds every figure as KEY=VALUE pairs.
//
//   bench_rpc                      spawn a server and measure it
//   bench_rpc --connect NAME [--pid PID]   measure a running service

#include "kx2localserver.h"
#include "kx2localserver_p.h"
#include "kx2rpcpacket.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const int kClientCounts[] = {1, 8, 64};
const int kFreshRequests = 3000;
const int kPersistentRequests = 30000;
const int kIdleConnections = 100;
const int kIdleSeconds = 10;

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

// Owns one socket descriptor.
class Socket
{
public:
    explicit Socket(int fd = -1) : fd(fd) {}
    Socket(Socket&& other) noexcept : fd(other.fd) { other.fd = -1; }
    ~Socket()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int get() const { return fd; }

private:
    int fd;
};

Socket connectTo(const QString& name)
{
    // A name without a leading '/' lives in the temporary directory.
    const QByteArray path = QFile::encodeName(kx2SocketPath(name));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof addr.sun_path)
        return Socket();
    memcpy(addr.sun_path, path.constData(), size_t(path.size()));
    Socket socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return Socket();
    return socket;
}

bool sendAll(int fd, const QByteArray& bytes)
{
    qint64 sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

// Blocks until one non-empty reply frame has been read from `fd`.
bool readReply(int fd, QByteArray& buffer)
{
    char chunk[16384];
    for (;;) {
        KX2RpcPacket packet;
        const int result = packet.fromDatagram(buffer);
        if (result == KX2RpcPacket::Taken && !packet.isEmpty())
            return true;
        if (result == KX2RpcPacket::Invalid || result == KX2RpcPacket::TooLarge)
            return false;
        if (result == KX2RpcPacket::Incomplete) {
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0)
                return false;
            buffer.append(chunk, int(n));
        }
    }
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
    static const QJsonObject request{{"cmd", "help_interfaces"}};
    return request;
}

bool freshConnections(const QString& name, int count, std::vector<double>& latencies)
{
    for (int i = 0; i < count; ++i) {
        QJsonObject reply;
        const auto start = Clock::now();
        if (!KX2LocalServer::localRequest(name, helpRequest(), &reply, 10))
            return false;
        latencies.push_back(microsecondsSince(start));
    }
    return true;
}

bool persistentConnection(const QString& name, int count, std::vector<double>& latencies)
{
    Socket socket = connectTo(name);
    if (socket.get() < 0)
        return false;
    const QByteArray frame = KX2RpcPacket(helpRequest()).toDatagram();
    QByteArray buffer;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        if (!sendAll(socket.get(), frame) || !readReply(socket.get(), buffer))
            return false;
        latencies.push_back(microsecondsSince(start));
    }
    return true;
}

// The peer: a raw socket pair per client whose other end a thread answers
// with `reply` for every request frame, without JSON or dispatch.
bool bareEcho(const QByteArray& reply, int count, std::vector<double>& latencies)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return false;
    Socket client(fds[0]);
    Socket server(fds[1]);
    std::thread echo([&] {
        QByteArray buffer;
        while (readReply(server.get(), buffer) && sendAll(server.get(), reply)) {
        }
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
    std::vector<Socket> idle;
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

int measure(const QString& name, qint64 pid)
{
    printf("help_interfaces over %s\n", qPrintable(name));
    for (int clients : kClientCounts) {
        report("fresh connection", "FRESH", clients,
               runClients(clients, kFreshRequests, [&](int n, std::vector<double>& l) {
                   return freshConnections(name, n, l);
               }));
    }
    // Reply bytes of the real service, so the peer moves the same amount.
    QJsonObject sample;
    KX2LocalServer::localRequest(name, helpRequest(), &sample, 10);
    const QByteArray reply = KX2RpcPacket(sample).toDatagram();
    for (int clients : kClientCounts) {
        const Figures service =
            runClients(clients, kPersistentRequests, [&](int n, std::vector<double>& l) {
                return persistentConnection(name, n, l);
            });
        const Figures peer = runClients(clients, kPersistentRequests, [&](int n, std::vector<double>& l) {
            return bareEcho(reply, n, l);
        });
        report("persistent connection", "PERSIST", clients, service);
        report("  peer: bare socket echo", "PEER", clients, peer);
        const double ratio = peer.requestsPerSecond > 0 ? service.requestsPerSecond / peer.requestsPerSecond : 0;
        printf("  service/peer throughput ratio %.2f\n", ratio);
        record(QStringLiteral("PERSIST_C%1_VS_PEER").arg(clients), ratio);
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

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    const int serveAt = args.indexOf(QStringLiteral("--serve"));
    if (serveAt > 0 && serveAt + 1 < args.size())
        return serve(args.at(serveAt + 1));
    const int connectAt = args.indexOf(QStringLiteral("--connect"));
    if (connectAt > 0 && connectAt + 1 < args.size()) {
        const int pidAt = args.indexOf(QStringLiteral("--pid"));
        return measure(args.at(connectAt + 1), pidAt > 0 ? args.value(pidAt + 1).toLongLong() : 0);
    }

    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("bench.sock"));
    QProcess server;
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--serve"), name});
    if (!server.waitForReadyRead(10000) || !server.readLine().startsWith("ready")) {
        fprintf(stderr, "bench_rpc: the server did not start\n");
        return 1;
    }
    const int result = measure(name, server.processId());
    server.terminate();
    server.waitForFinished(5000);
    return result;
}
