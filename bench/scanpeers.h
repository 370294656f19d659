// The peers of the scanning benchmark: clamscan, one process per corpus,
// and clamd, started with a temporary configuration and driven by
// clamdscan --multiscan --fdpass (or by the same protocol spoken here when
// clamdscan is not installed). Header-only; one benchmark process.

#ifndef SCANPEERS_H
#define SCANPEERS_H

#include <QProcess>
#include <QStandardPaths>

#include <cstdio>
#include <thread>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "scancommon.h"

namespace scanbench {

inline Outcome runClamscan(const QString& signatures, const QString& corpus, const QString& work,
                           const QString& scratch)
{
    Outcome outcome;
    const QString log = work + "/clamscan.out";
    QProcess process;
    process.setStandardOutputFile(log);
    process.setStandardErrorFile(work + "/clamscan.err");
    const auto start = Clock::now();
    QStringList arguments{"--stdout", "-r", "-i", "-d", signatures, corpus};
    if (!scratch.isEmpty())
        arguments.prepend("--tempdir=" + scratchFor(scratch, "clamscan"));
    process.start("clamscan", arguments);
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

inline int connectUnix(const QByteArray& path)
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

inline bool sendAll(int fd, const char* bytes, size_t size)
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
inline bool sendDescriptor(int socket, int passed)
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

class Clamd
{
public:
    bool start(const QString& work, const QString& signatures, const QString& scratch)
    {
        this->work = work;
        this->signatures = signatures;
        this->scratch = scratch;
        socketPath = QFile::encodeName(work + "/clamd.sock");
        const QString config = work + "/clamd.conf";
        configPath = config;
        writeFile(config,
                  "LocalSocket " + socketPath + "\nMaxThreads " + QByteArray::number(kWorkers)
                      + "\nDatabaseDirectory " + QFile::encodeName(signatures)
                      + (scratch.isEmpty() ? QByteArray()
                                           : "\nTemporaryDirectory "
                                               + QFile::encodeName(scratchFor(scratch, "clamd")))
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

    // Stopped and started again with the same configuration: its memory
    // of clean files is gone, as after any restart.
    bool restart()
    {
        stop();
        return start(work, signatures, scratch);
    }

    ~Clamd() { stop(); }

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

    void stop()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(30000))
                process.kill();
            process.waitForFinished(10000);
        }
    }

    QProcess process;
    QByteArray socketPath;
    QString configPath;
    QString work;
    QString signatures;
    QString scratch;
};

} // namespace scanbench

#endif // SCANPEERS_H
