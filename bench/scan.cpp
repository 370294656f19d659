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
//             antivirus_scan_running reports "running" 0.
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
// --scratch holds each tool's libclamav temporary directory (default: a
// directory on /dev/shm; see run()).

#include "benchsignatures.h"
#include "kx2localserver.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const int kWorkers = 2;
const int kVirusDbNotReady = 9983;
const int kEicarCopies = 20;
const char kTestFiles[] = "/usr/share/clamav-testfiles";
const char kDocs[] = "/usr/share/doc";

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

// What one tool reported for one corpus.
struct Outcome
{
    bool ok = false;
    qint64 files = 0;
    std::set<QByteArray> infected; // paths relative to the corpus root
    double seconds = 0;
    double cpuSeconds = -1; // of the scanning process, when known
    double filesPerSecond() const { return seconds > 0 ? double(files) / seconds : 0; }
};

QList<QPair<QString, QString>> g_keyValues;
bool g_mismatch = false;

void record(const QString& key, double value)
{
    g_keyValues.append({key, QString::number(value, 'f', qAbs(value) < 10 ? 2 : 0)});
}

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void say(const QString& text)
{
    printf("%s\n", qPrintable(text));
    fflush(stdout);
}

// ---------------------------------------------------------------- files

// Owns one descriptor.
class Fd
{
public:
    explicit Fd(int fd = -1) : fd(fd) {}
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd; }

private:
    int fd;
};

bool writeAt(int directory, const char* name, const QByteArray& bytes)
{
    Fd fd(::openat(directory, name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    return fd.get() >= 0
        && ::write(fd.get(), bytes.constData(), size_t(bytes.size())) == bytes.size();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    return writeAt(AT_FDCWD, QFile::encodeName(path).constData(), bytes);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The 68-byte antivirus test string, assembled at run time so that no
// source file holds it in one piece.
QByteArray eicar()
{
    return QByteArray("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + QByteArray("EICAR-STANDARD-")
        + QByteArray("ANTIVIRUS-TEST-FILE!$H+H*");
}

// An .hdb line (MD5:size:name) for `bytes`.
QByteArray hdbLineFor(const QByteArray& bytes, const char* name)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex() + ':'
        + QByteArray::number(bytes.size()) + ':' + name + '\n';
}

// Documentation files, the test files and EICAR copies. Only regular,
// non-empty files with visible names are copied, so every tool counts the
// same files (clamscan skips empty files; the service skips hidden names).
qint64 buildMixed(const QString& root)
{
    qint64 files = 0;
    QDirIterator docs(kDocs, QDir::Files | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (docs.hasNext()) {
        const QString source = docs.next();
        const QFileInfo info = docs.fileInfo();
        if (info.isSymLink() || !info.isFile() || info.size() == 0 || !info.isReadable())
            continue;
        const QByteArray bytes = readFile(source);
        if (bytes.isEmpty())
            continue;
        if (writeFile(root + "/doc" + source.mid(int(strlen(kDocs))), bytes))
            ++files;
    }
    QDirIterator tests(kTestFiles, QDir::Files | QDir::NoSymLinks);
    while (tests.hasNext()) {
        const QString source = tests.next();
        if (writeFile(root + "/testfiles/" + tests.fileName(), readFile(source)))
            ++files;
    }
    for (int i = 0; i < kEicarCopies; ++i) {
        if (writeFile(
                root + QStringLiteral("/eicar/e%1/eicar-%1.com").arg(i, 2, 10, QLatin1Char('0')),
                eicar()))
            ++files;
    }
    return files;
}

// `count` small files in directories of 1,000, written by two threads.
qint64 buildTiny(const QString& root, int count)
{
    const int perDirectory = 1000;
    const int directories = (count + perDirectory - 1) / perDirectory;
    QDir().mkpath(root);
    std::atomic<qint64> written{0};
    auto part = [&](int first, int step) {
        for (int d = first; d < directories; d += step) {
            const QByteArray path =
                QFile::encodeName(root) + QByteArray("/d") + QByteArray::number(d);
            ::mkdir(path.constData(), 0755);
            Fd directory(::open(path.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (directory.get() < 0)
                continue;
            const int inThis = qMin(perDirectory, count - d * perDirectory);
            for (int f = 0; f < inThis; ++f) {
                const QByteArray name = "f" + QByteArray::number(f);
                if (writeAt(directory.get(), name.constData(),
                            "tiny file " + QByteArray::number(d * perDirectory + f) + '\n'))
                    ++written;
            }
        }
    };
    std::thread other(part, 1, 2);
    part(0, 2);
    other.join();
    return written;
}

// The small signature set: EICAR and clam.exe, by MD5.
bool writeSmallSignatures(const QString& directory)
{
    const QByteArray clamExe = readFile(QString(kTestFiles) + "/clam.exe");
    if (clamExe.isEmpty())
        return false;
    return writeFile(directory + "/bench.hdb",
                     hdbLineFor(eicar(), "Bench.Eicar") + hdbLineFor(clamExe, "Bench.ClamExe"));
}

// The small set plus the generated one (bench/benchsignatures.h).
bool writeLargeSignatures(const QString& directory, int hdb, int ndb)
{
    return writeSmallSignatures(directory) && writeGeneratedSignatures(directory, hdb, ndb);
}

// utime + stime of every thread of `pid`, in clock ticks.
std::map<int, long long> threadTicks(qint64 pid)
{
    std::map<int, long long> ticks;
    QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QByteArray line = readFile(tasks.filePath(tid) + "/stat");
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 12)
            ticks[tid.toInt()] = fields.at(11).toLongLong() + fields.at(12).toLongLong();
    }
    return ticks;
}

// utime + stime of the whole process (exited threads included), in clock
// ticks.
long long processTicks(qint64 pid)
{
    const QByteArray line = readFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return fields.size() > 12 ? fields.at(11).toLongLong() + fields.at(12).toLongLong() : -1;
}

double processCpuSeconds(qint64 pid)
{
    return double(processTicks(pid)) / double(sysconf(_SC_CLK_TCK));
}

// A fresh, empty directory for one tool's libclamav temporary files.
QString scratchFor(const QString& parent, const QString& tool)
{
    QDir(parent + '/' + tool).removeRecursively();
    QDir().mkpath(parent + '/' + tool);
    return parent + '/' + tool;
}

QByteArray relativeTo(const QByteArray& path, const QString& root)
{
    const QByteArray prefix = QFile::encodeName(root) + '/';
    return path.startsWith(prefix) ? path.mid(prefix.size()) : path;
}

// Collects "PATH: NAME FOUND" lines of clamscan and clamdscan output.
void parseFound(const QByteArray& output, const QString& root, Outcome& outcome)
{
    for (const QByteArray& line : output.split('\n')) {
        if (!line.endsWith(" FOUND"))
            continue;
        const int colon = line.lastIndexOf(": ", line.size() - 7);
        if (colon > 0)
            outcome.infected.insert(relativeTo(line.left(colon), root));
    }
}

// ---------------------------------------------------------------- clamscan

Outcome runClamscan(const QString& signatures, const QString& corpus, const QString& work,
                    const QString& scratch)
{
    Outcome outcome;
    const QString log = work + "/clamscan.out";
    QProcess process;
    process.setStandardOutputFile(log);
    process.setStandardErrorFile(work + "/clamscan.err");
    const auto start = Clock::now();
    process.start("clamscan",
                  {"--stdout", "-r", "-i", "--tempdir=" + scratchFor(scratch, "clamscan"), "-d",
                   signatures, corpus});
    if (!process.waitForStarted(30000) || !process.waitForFinished(-1))
        return outcome;
    outcome.seconds = secondsSince(start);
    const QByteArray output = readFile(log);
    const int at = output.indexOf("Scanned files: ");
    if (at < 0 || process.exitCode() > 1) {
        fprintf(stderr, "clamscan failed: %s\n", readFile(work + "/clamscan.err").constData());
        return outcome;
    }
    outcome.files = output.mid(at + 15, output.indexOf('\n', at) - at - 15).toLongLong();
    parseFound(output, corpus, outcome);
    outcome.ok = true;
    return outcome;
}

// ---------------------------------------------------------------- clamd

int connectUnix(const QByteArray& path)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof addr.sun_path)
        return -1;
    memcpy(addr.sun_path, path.constData(), size_t(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const char* bytes, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        bytes += n;
        size -= size_t(n);
    }
    return true;
}

// Sends one dummy byte carrying `passed` as SCM_RIGHTS ancillary data.
bool sendDescriptor(int socket, int passed)
{
    char dummy = 0;
    iovec iov{&dummy, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &iov;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(header), &passed, sizeof(int));
    return ::sendmsg(socket, &message, MSG_NOSIGNAL) == 1;
}

// Depth-first walk calling `visit` with every regular file's path.
void walkFiles(const QByteArray& path, const std::function<void(const QByteArray&)>& visit)
{
    DIR* directory = ::opendir(path.constData());
    if (!directory)
        return;
    std::vector<std::pair<QByteArray, bool>> entries;
    while (const dirent* entry = ::readdir(directory)) {
        if (entry->d_name[0] == '.')
            continue;
        const QByteArray child = path + '/' + entry->d_name;
        if (entry->d_type == DT_DIR || entry->d_type == DT_REG) {
            entries.emplace_back(child, entry->d_type == DT_DIR);
        } else if (entry->d_type == DT_UNKNOWN) {
            struct stat info;
            if (::lstat(child.constData(), &info) == 0
                && (S_ISDIR(info.st_mode) || S_ISREG(info.st_mode)))
                entries.emplace_back(child, S_ISDIR(info.st_mode));
        }
    }
    ::closedir(directory);
    for (const auto& entry : entries) {
        if (entry.second)
            walkFiles(entry.first, visit);
        else
            visit(entry.first);
    }
}

class Clamd
{
public:
    bool start(const QString& work, const QString& signatures, const QString& scratch)
    {
        socketPath = QFile::encodeName(work + "/clamd.sock");
        const QString config = work + "/clamd.conf";
        configPath = config;
        writeFile(config,
                  "LocalSocket " + socketPath + "\nMaxThreads " + QByteArray::number(kWorkers)
                      + "\nDatabaseDirectory " + QFile::encodeName(signatures)
                      + "\nTemporaryDirectory " + QFile::encodeName(scratchFor(scratch, "clamd"))
                      + "\nForeground yes\nLogSyslog no\n");
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setStandardOutputFile(work + "/clamd.log");
        process.start("/usr/sbin/clamd", {"-c", config});
        if (!process.waitForStarted(30000))
            return false;
        const auto deadline = Clock::now() + 15min;
        while (Clock::now() < deadline && process.state() == QProcess::Running) {
            if (command("zPING") == "PONG")
                return true;
            std::this_thread::sleep_for(200ms);
        }
        fprintf(stderr, "clamd did not start: %s\n", readFile(work + "/clamd.log").constData());
        return false;
    }

    ~Clamd()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(30000))
                process.kill();
            process.waitForFinished(10000);
        }
    }

    qint64 pid() const { return process.processId(); }

    Outcome scan(const QString& corpus)
    {
        const QString clamdscan = QStandardPaths::findExecutable("clamdscan");
        const double cpu = processCpuSeconds(pid());
        Outcome outcome =
            clamdscan.isEmpty() ? scanBySession(corpus) : scanByClamdscan(clamdscan, corpus);
        outcome.cpuSeconds = processCpuSeconds(pid()) - cpu;
        return outcome;
    }

    static QString driver()
    {
        return QStandardPaths::findExecutable("clamdscan").isEmpty()
            ? QStringLiteral("IDSESSION + FILDES client (clamdscan is not installed)")
            : QStringLiteral("clamdscan --multiscan --fdpass");
    }

private:
    // One z-command on a fresh connection; its NUL-terminated reply.
    QByteArray command(const char* text)
    {
        Fd socket(connectUnix(socketPath));
        if (socket.get() < 0 || !sendAll(socket.get(), text, strlen(text) + 1))
            return QByteArray();
        QByteArray reply;
        char buffer[256];
        ssize_t n;
        while ((n = ::read(socket.get(), buffer, sizeof buffer)) > 0) {
            reply.append(buffer, int(n));
            if (reply.endsWith('\0'))
                break;
        }
        return reply.left(reply.indexOf('\0'));
    }

    // The files clamdscan was given are counted by the same walk the
    // session client uses (not timed), not taken from its summary.
    Outcome scanByClamdscan(const QString& clamdscan, const QString& corpus)
    {
        Outcome outcome;
        qint64 files = 0;
        walkFiles(QFile::encodeName(corpus), [&](const QByteArray&) { ++files; });
        QProcess client;
        client.setProcessChannelMode(QProcess::MergedChannels);
        const auto start = Clock::now();
        client.start(clamdscan, {"--multiscan", "--fdpass", "-c", configPath, corpus});
        if (!client.waitForStarted(30000) || !client.waitForFinished(-1))
            return outcome;
        outcome.seconds = secondsSince(start);
        const QByteArray output = client.readAll();
        if (client.exitCode() > 1) {
            fprintf(stderr, "clamdscan failed: %s\n", output.constData());
            return outcome;
        }
        outcome.files = files;
        parseFound(output, corpus, outcome);
        outcome.ok = true;
        return outcome;
    }

    // What clamdscan --multiscan --fdpass does: one IDSESSION on which the
    // client walks the tree and passes each open file with FILDES, with a
    // bounded number of requests in flight (below clamd's MaxQueue).
    Outcome scanBySession(const QString& corpus)
    {
        const size_t window = 64;
        Outcome outcome;
        const auto start = Clock::now();
        Fd socket(connectUnix(socketPath));
        if (socket.get() < 0 || !sendAll(socket.get(), "zIDSESSION", 11))
            return outcome;
        std::map<qint64, QByteArray> pending;
        qint64 nextId = 1;
        QByteArray buffer;
        bool failed = false;
        auto readReplies = [&](bool block) {
            pollfd p{socket.get(), POLLIN, 0};
            if (::poll(&p, 1, block ? 120000 : 0) <= 0)
                return !block;
            char chunk[4096];
            const ssize_t n = ::read(socket.get(), chunk, sizeof chunk);
            if (n <= 0)
                return false;
            buffer.append(chunk, int(n));
            int end;
            while ((end = buffer.indexOf('\0')) >= 0) {
                const QByteArray reply = buffer.left(end);
                buffer.remove(0, end + 1);
                const qint64 id = reply.left(reply.indexOf(':')).toLongLong();
                const auto it = pending.find(id);
                if (it == pending.end()) {
                    fprintf(stderr, "clamd: unexpected reply %s\n", reply.constData());
                    failed = true;
                    continue;
                }
                if (reply.endsWith(" FOUND"))
                    outcome.infected.insert(relativeTo(it->second, corpus));
                else if (!reply.endsWith(": OK")) {
                    fprintf(stderr, "clamd: %s: %s\n", it->second.constData(), reply.constData());
                    failed = true;
                }
                ++outcome.files;
                pending.erase(it);
            }
            return true;
        };
        walkFiles(QFile::encodeName(corpus), [&](const QByteArray& path) {
            if (failed)
                return;
            Fd file(::open(path.constData(),
                           O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
            if (file.get() < 0)
                return;
            if (!sendAll(socket.get(), "zFILDES", 8) || !sendDescriptor(socket.get(), file.get())) {
                failed = true;
                return;
            }
            pending.emplace(nextId++, path);
            while (pending.size() >= window && !failed)
                failed = !readReplies(true);
            if (!failed)
                failed = !readReplies(false);
        });
        sendAll(socket.get(), "zEND", 5);
        while (!pending.empty() && !failed)
            failed = !readReplies(true);
        outcome.seconds = secondsSince(start);
        outcome.ok = !failed;
        return outcome;
    }

    QProcess process;
    QByteArray socketPath;
    QString configPath;
};

// ---------------------------------------------------------------- service

class Service
{
public:
    bool start(const QString& binary, const QString& work, const QString& signatures,
               const QString& scratch)
    {
        root = work;
        dataDir = work + "/data";
        socketName = work + "/run/antivirus.sock";
        QDir().mkpath(work + "/etc");
        QDir().mkpath(work + "/run");
        QDir().mkpath(work + "/scan");
        QDir().mkpath(dataDir);
        // The work area's virus database is the shared signature directory.
        if (!QFile::link(signatures, dataDir + "/virusdb"))
            return false;
        const QJsonObject config{
            {"settings", work + "/etc/settings.json"},
            {"database", databasePath()},
            {"virusdburl", "http://127.0.0.1:9/virusdb.json"},
            // Not the machine's own directory: its set would replace the
            // bench's signatures.
            {"systemvirusdb", work + "/no-system-virusdb"},
            {"overall", QJsonObject{{"path", work + "/scan"}}},
            {"lpcid", socketName},
            {"debugging", false},
            {"debuglevel", 0},
        };
        writeFile(work + "/etc/config.json", QJsonDocument(config).toJson());
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setStandardOutputFile(work + "/service.log");
        // libclamav puts its per-scan temporary directories under TMPDIR.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("TMPDIR", scratchFor(scratch, "service"));
        process.setProcessEnvironment(environment);
        process.start(binary, {"--cfg", work + "/etc/config.json"});
        if (!process.waitForStarted(30000))
            return false;
        const auto deadline = Clock::now() + 60s;
        while (!readFile(work + "/service.log").contains("lpcID: ")) {
            if (Clock::now() > deadline || process.state() != QProcess::Running) {
                fprintf(stderr, "service did not start: %s\n",
                        readFile(work + "/service.log").constData());
                return false;
            }
            std::this_thread::sleep_for(50ms);
        }
        const QJsonObject reply =
            call("antivirus_settings_save",
                 {{"enabled", 1}, {"datadir", dataDir}, {"threads", kWorkers}});
        return reply.value("err").toInt(-1) == 0;
    }

    ~Service()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(60000))
                process.kill();
            process.waitForFinished(10000);
        }
    }

    qint64 pid() const { return process.processId(); }
    QString databasePath() const { return root + "/etc/antivirus.db"; }

    QJsonObject call(const QString& cmd, const QJsonObject& params = QJsonObject())
    {
        QJsonObject packet{{"cmd", cmd}};
        if (!params.isEmpty())
            packet.insert("params", params);
        QJsonObject reply;
        if (!KX2LocalServer::localRequest(socketName, packet, &reply, 120))
            return QJsonObject{{"err", -1}};
        return reply;
    }

    // Queues a scan of `path` once the engine is ready; the clock starts
    // at the accepted request. `during`, when given, runs right after.
    Outcome scan(const QString& path, const std::function<void()>& during = nullptr)
    {
        Outcome outcome;
        const auto deadline = Clock::now() + 15min;
        const double cpu = processCpuSeconds(pid());
        Clock::time_point start;
        for (;;) {
            start = Clock::now();
            const int err = call("antivirus_scan_start", {{"path", path}}).value("err").toInt(-1);
            if (err == 0)
                break;
            if (err != kVirusDbNotReady || Clock::now() > deadline) {
                fprintf(stderr, "antivirus_scan_start: %d\n", err);
                return outcome;
            }
            std::this_thread::sleep_for(100ms);
        }
        if (during)
            during();
        // Each poll costs the service about half a millisecond of CPU; a
        // pause of 1 % of the time so far keeps both that cost and the
        // error of the measured end near 1 %.
        while (call("antivirus_scan_running").value("results").toObject().value("running").toInt(1)
               != 0) {
            const auto sofar =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            std::this_thread::sleep_for(qBound(10ms, sofar / 100, 200ms));
        }
        outcome.seconds = secondsSince(start);
        outcome.cpuSeconds = processCpuSeconds(pid()) - cpu;
        return readOutcome(path, outcome) ? outcome : Outcome();
    }

private:
    // Totals from the task's log row; infected files from its quarantine
    // records, once the keeper has settled them all.
    bool readOutcome(const QString& corpus, Outcome& outcome)
    {
        sqlite3* raw = nullptr;
        if (sqlite3_open_v2(QFile::encodeName(databasePath()).constData(), &raw,
                            SQLITE_OPEN_READONLY, nullptr)
            != SQLITE_OK) {
            sqlite3_close(raw);
            return false;
        }
        std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
        sqlite3_busy_timeout(db.get(), 10000);
        qint64 task = 0, infectes = 0, resolved = 0;
        query(db.get(),
              "SELECT tsk_no, log_totality, log_resolved, log_infectes, log_state FROM t_log "
              "ORDER BY log_no DESC LIMIT 1",
              [&](sqlite3_stmt* s) {
                  task = sqlite3_column_int64(s, 0);
                  outcome.files = sqlite3_column_int64(s, 1);
                  resolved = sqlite3_column_int64(s, 2);
                  infectes = sqlite3_column_int64(s, 3);
              });
        if (resolved != outcome.files)
            fprintf(stderr, "service: %lld of %lld files scanned\n", resolved,
                    qint64(outcome.files));
        const auto deadline = Clock::now() + 30s;
        const QByteArray select = "SELECT ift_path FROM t_infectes WHERE tsk_no = "
            + QByteArray::number(task) + " AND ift_pending = 0";
        for (;;) {
            outcome.infected.clear();
            query(db.get(), select.constData(), [&](sqlite3_stmt* s) {
                outcome.infected.insert(relativeTo(
                    QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(s, 0))), corpus));
            });
            if (qint64(outcome.infected.size()) >= infectes || Clock::now() > deadline)
                break;
            std::this_thread::sleep_for(100ms);
        }
        outcome.ok =
            task > 0 && resolved == outcome.files && qint64(outcome.infected.size()) == infectes;
        return outcome.ok;
    }

    static void query(sqlite3* db, const char* sql, const std::function<void(sqlite3_stmt*)>& row)
    {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK)
            return;
        while (sqlite3_step(statement) == SQLITE_ROW)
            row(statement);
        sqlite3_finalize(statement);
    }

    QProcess process;
    QString root;
    QString dataDir;
    QString socketName;
};

// ---------------------------------------------------------------- report

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

void reportCorpus(const QString& name, const QString& label, const Outcome& clamscan,
                  const Outcome& clamd, const Outcome& service, bool keys)
{
    say(QStringLiteral("corpus %1, %2:").arg(name, label));
    reportTool(name, "service", service, service, keys);
    reportTool(name, "clamd", clamd, service, keys);
    reportTool(name, "clamscan", clamscan, service, keys);
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
    const Outcome outcome = service.scan(tree, [&] {
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
    });
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
    // A window without the walk and both workers alive measured nothing.
    const bool valid = held.taskThreads == kWorkers + 1 && running.taskThreads == kWorkers + 1;
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
    // libclamav makes and removes a directory per scanned file. On a disk
    // file system that costs more than the scan of a small file and depends
    // on what was deleted there in the last seconds (another tool's run), so
    // by default every tool gets a fresh directory on tmpfs.
    QTemporaryDir shm(QStringLiteral("/dev/shm/bench_scan-XXXXXX"));
    const QString scratch = !options.scratch.isEmpty() ? options.scratch
        : shm.isValid()                                ? shm.path()
                                                       : base + "/scratch";
    QDir().mkpath(scratch);
    say(QStringLiteral("work directory %1; libclamav temporary files under %2; clamd driven by %3")
            .arg(base, scratch, Clamd::driver()));
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

    // Rounds with fresh engines (libclamav remembers clean files), the
    // tools' order turning each round so drifting load on the machine
    // falls on each of them alike. `corpora` maps a corpus name to the
    // directory the peers scan and the one the service scans (its own copy
    // of the mixed corpus, rebuilt each round: it quarantines).
    const QStringList tools{"clamscan", "clamd", "service"};
    auto runRounds = [&](const QString& signatures, const QString& name,
                         const QList<QPair<QString, QPair<QString, QString>>>& corpora,
                         const std::function<void(Service&)>& afterFirst) {
        const double load = clamscanLoadSeconds(signatures, base, scratch);
        std::map<QString, std::vector<Outcome>> results; // "corpus/tool"
        for (int round = 0; round < options.rounds; ++round) {
            const QString suffix = name + '-' + QString::number(round + 1);
            QDir(mixedService).removeRecursively();
            buildMixed(mixedService);
            Clamd clamd;
            Service service;
            const auto started = Clock::now();
            const bool clamdUp = clamd.start(base + "/clamd-" + suffix, signatures, scratch);
            const double clamdSeconds = secondsSince(started);
            if (!clamdUp
                || !service.start(options.service, base + "/service-" + suffix, signatures,
                                  scratch)) {
                g_mismatch = true;
                break;
            }
            say(QStringLiteral(
                    "round %1 of %2 (%3 signatures): clamd ready after %4 s, load average %5")
                    .arg(round + 1)
                    .arg(options.rounds)
                    .arg(name)
                    .arg(clamdSeconds, 0, 'f', 1)
                    .arg(QString::fromLatin1(readFile("/proc/loadavg").left(14))));
            for (const auto& corpus : corpora) {
                for (int t = 0; t < tools.size(); ++t) {
                    const QString tool = tools.at((t + round) % tools.size());
                    Outcome outcome;
                    if (tool == "clamscan")
                        outcome = withoutLoad(
                            runClamscan(signatures, corpus.second.first, base, scratch), load);
                    else if (tool == "clamd")
                        outcome = clamd.scan(corpus.second.first);
                    else
                        outcome = service.scan(corpus.second.second);
                    results[corpus.first + '/' + tool].push_back(outcome);
                }
                reportCorpus(corpus.first, QStringLiteral("round %1").arg(round + 1),
                             results[corpus.first + "/clamscan"].back(),
                             results[corpus.first + "/clamd"].back(),
                             results[corpus.first + "/service"].back(), false);
            }
            if (round == 0 && afterFirst)
                afterFirst(service);
            say(QStringLiteral("  peak RSS: service %1 MB, clamd %2 MB")
                    .arg(statusField(service.pid(), "VmHWM") / 1024.0, 0, 'f', 0)
                    .arg(statusField(clamd.pid(), "VmHWM") / 1024.0, 0, 'f', 0));
        }
        for (const auto& corpus : corpora) {
            reportCorpus(corpus.first, QStringLiteral("best of %1 rounds").arg(options.rounds),
                         bestOf(results[corpus.first + "/clamscan"]),
                         bestOf(results[corpus.first + "/clamd"]),
                         bestOf(results[corpus.first + "/service"]), true);
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
