// KX2LocalServer and KX2LocalSocket over real local sockets: framing on a
// live connection, reply order, keep-alives, the environment, debugging
// details, start-up recovery, the frame size limit, misbehaving peers,
// stop(), and the localRequest client.

#include "kx2cabinet.h"
#include "kx2localserver.h"
#include "kx2localsocket.h"
#include "kx2peer.h"
#include "kx2rpcpacket.h"
#include "kx2todorouter.h"

#include <QJsonArray>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <condition_variable>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

const int kWaitMs = 10000;

class TestRouter : public KX2TodoRouter
{
    Q_OBJECT
public:
    std::atomic<int> calls{0};
    std::atomic<int> gateEntered{0};

    void openGate()
    {
        {
            std::lock_guard<std::mutex> lock(gateMutex);
            gateOpen = true;
        }
        gateChanged.notify_all();
    }

public slots:
    // Every method answers a help request with its help document only.
    // Echoes "params" and reports the connection's "protocol" attribute.
    void echo(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
    {
        if (isHelp(retObject, cmdObject))
            return;
        ++calls;
        envObject->begin();
        retObject->insert("results", cmdObject.value("params"));
        retObject->insert("protocol", envObject->value("protocol"));
        envObject->add("echo", "params", true, QString());
        envObject->setErr(0, QString());
    }
    void fail(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
    {
        if (isHelp(retObject, cmdObject))
            return;
        envObject->setErr(9995, "缺少参数: path");
    }
    // Records no outcome, so the reply shows the journal as it was left.
    void noop(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet*)
    {
        if (!isHelp(retObject, cmdObject))
            ++calls;
    }
    // Blocks until the test opens the gate. Counts the requests inside
    // by their "params" text, and the most that were inside at once.
    void gate(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
    {
        if (isHelp(retObject, cmdObject))
            return;
        const QString tag = cmdObject.value("params").toString();
        std::unique_lock<std::mutex> lock(gateMutex);
        mostInside[tag] = std::max(mostInside[tag], ++inside[tag]);
        ++gateEntered;
        gateChanged.wait(lock, [this] { return gateOpen; });
        --inside[tag];
        envObject->setErr(0, QString());
    }

    // The gids of "params" that the peer is a member of.
    void groups(QJsonObject* retObject, QJsonObject cmdObject, KX2Cabinet* envObject)
    {
        if (isHelp(retObject, cmdObject))
            return;
        const KX2Peer peer = KX2Peer::of(*envObject);
        QJsonArray members;
        for (const QJsonValue& gid : cmdObject.value("params").toArray()) {
            if (peer.isMemberOf(gid_t(gid.toInt())))
                members.append(gid);
        }
        retObject->insert("results", members);
        envObject->setErr(0, QString());
    }

public:
    int mostInsideAtOnce(const QString& tag)
    {
        std::lock_guard<std::mutex> lock(gateMutex);
        return mostInside[tag];
    }

private:
    static bool isHelp(QJsonObject* retObject, const QJsonObject& cmdObject)
    {
        if (!cmdObject.contains("help"))
            return false;
        *retObject = QJsonObject{{"comment", "test method"}};
        return true;
    }

    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool gateOpen = false;
    std::map<QString, int> inside;
    std::map<QString, int> mostInside;
};

QByteArray frame(const QString& cmd, const QJsonValue& params = QJsonValue())
{
    QJsonObject request{{"cmd", cmd}};
    if (!params.isUndefined())
        request.insert("params", params);
    return KX2RpcPacket(request).toDatagram();
}

// Takes every complete frame from `buffer` into `replies`.
void takeFrames(QByteArray& buffer, QList<QJsonObject>& replies)
{
    for (;;) {
        KX2RpcPacket packet;
        const int result = packet.fromDatagram(buffer);
        if (result == KX2RpcPacket::Taken)
            replies.append(packet);
        else if (result != KX2RpcPacket::KeepAliveTaken)
            return;
    }
}

// Runs the event loop (so the server can accept) until `count` replies
// arrived on `socket` or the time is up.
QList<QJsonObject> readReplies(QLocalSocket& socket, int count)
{
    QList<QJsonObject> replies;
    QByteArray buffer;
    QSignalSpy readyRead(&socket, &QLocalSocket::readyRead);
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        buffer.append(socket.readAll());
        takeFrames(buffer, replies);
        if (replies.size() >= count || timer.elapsed() >= kWaitMs)
            return replies;
        readyRead.wait(int(kWaitMs - timer.elapsed()));
    }
}

bool writeAll(QLocalSocket& socket, const QByteArray& bytes)
{
    return socket.write(bytes) == bytes.size() && socket.waitForBytesWritten(kWaitMs);
}

// Reads from a raw descriptor until EOF or the time is up.
QByteArray readUntilEof(int fd, bool* sawEof)
{
    QByteArray out;
    *sawEof = false;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < kWaitMs) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, int(kWaitMs - timer.elapsed())) <= 0)
            break;
        char chunk[4096];
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got <= 0) {
            *sawEof = got == 0;
            break;
        }
        out.append(chunk, int(got));
    }
    return out;
}

// Reads a raw connection to its end, closes it and returns the replies it
// carried; `sawEof` tells whether the server closed it in time.
QList<QJsonObject> collectRepliesAndClose(int fd, bool* sawEof)
{
    QByteArray buffer = readUntilEof(fd, sawEof);
    ::close(fd);
    QList<QJsonObject> replies;
    takeFrames(buffer, replies);
    return replies;
}

QByteArray fileContent(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool sendAll(int fd, const QByteArray& bytes)
{
    return ::send(fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
}

// Bytes queued on `fd` that its reader has not taken yet.
int unreadBytes(int fd)
{
    int count = -1;
    return ::ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
}

// Virtual size of this process in KiB, or -1.
qint64 virtualSizeKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmSize:"))
            return line.mid(7).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

} // namespace

class tst_KX2LocalServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void startCreatesDirectoryWithWorldAccess();
    void startReusesStaleSocketOfKilledProcess();
    void relativeNamesLiveInTempDirectory();
    void secondInstanceRefusedWhileFirstServes();
    void foreignFilesAtSocketPathAreLeftAlone();
    void stopClosesTheListeningSocket();
    void helpInterfacesEndToEnd();
    void twoRequestsInOneWriteAnsweredInOrder();
    void requestSplitAcrossWrites();
    void keepAliveNotAnswered();
    void everyRequestStartsFromAFreshJournal();
    void elapsedExactlyWhenDebugging();
    void oversizedFrameClosesOnlyItsConnection();
    void announcedSizeIsNotReservedUpFront();
    void frameAtLimitIsAnswered();
    void garbageSilencesOnlyItsConnection();
    void halfClosedPeerStillGetsReplies();
    void peerGoneMidFrameOrDuringRequest();
    void destroyingServerEndsConnectionsAfterTheirRequest();
    void stopWakesIdleWorker();
    void idleConnectionsCostNoCpu();
    void localRequestTimeouts();
    void descriptorExhaustionDoesNotEndListening();
    void descriptorShortageClosesOldestIdleFirst();
    void servedRequestsAreCappedNotConnections();
    void waitingRequestStaysUnread();
    void idleConnectionsDoNotDelayNewClients();
    void newClientAnsweredBesideBusyOnes();
    void uidGetsNoMoreThanItsShare();
    void byteBudgetIsSharedByUids();
    void stalledFrameEndsAfterReceiveTimeout();
    void keepAliveFloodInLinearTime();
    void restrictedSocketAdmitsOnlyItsGroup();
    void groupsAreThoseThePeerHeld();

private:
    QString socketName(const QString& leaf) const { return dir->filePath(leaf); }
    // A worker on one end of a socket pair; the other end is returned.
    int directConnection(std::unique_ptr<KX2LocalSocket>& connection);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<TestRouter> router;
    std::unique_ptr<KX2LocalServer> server;
    int baseline = 0;
};

void tst_KX2LocalServer::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    router = std::make_unique<TestRouter>();
    server = std::make_unique<KX2LocalServer>();
    server->add(router.get());
    QVERIFY(server->start(socketName("wire.sock")));
    baseline = KX2LocalSocket::activeCount();
}

void tst_KX2LocalServer::cleanup()
{
    // Every connection a test opened must have been released by its worker
    // before the router the workers call goes away.
    QTRY_COMPARE_WITH_TIMEOUT(KX2LocalSocket::activeCount(), baseline, kWaitMs);
    server.reset();
    router.reset();
    dir.reset();
}

int tst_KX2LocalServer::directConnection(std::unique_ptr<KX2LocalSocket>& connection)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return -1;
    connection = std::make_unique<KX2LocalSocket>(server.get(), quintptr(fds[0]));
    return fds[1];
}

void tst_KX2LocalServer::startCreatesDirectoryWithWorldAccess()
{
    const QString name = socketName("a/b/c/service.sock");
    KX2LocalServer other;
    QVERIFY(other.start(name));
    QCOMPARE(other.serverName(), name);
    QVERIFY(QFileInfo(name).exists());
    QVERIFY(QFile::permissions(name) & QFileDevice::WriteOther);
    QVERIFY(other.start(socketName("ignored.sock")));
    QCOMPARE(other.serverName(), name);
    other.stop();
    QVERIFY(!other.isListening());
}

void tst_KX2LocalServer::startReusesStaleSocketOfKilledProcess()
{
    const QString name = socketName("stale.sock");
    const QByteArray path = QFile::encodeName(name);
    int ready[2];
    QVERIFY(::pipe(ready) == 0);
    const pid_t child = ::fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // Async-signal-safe calls only: bind, listen, report, wait for death.
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        memcpy(addr.sun_path, path.constData(), size_t(path.size()));
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0
            && ::listen(fd, 1) == 0)
            (void)!::write(ready[1], "k", 1);
        for (;;)
            ::pause();
    }
    char byte = 0;
    QCOMPARE(::read(ready[0], &byte, 1), ssize_t(1));
    ::close(ready[0]);
    ::close(ready[1]);
    ::kill(child, SIGKILL);
    QCOMPARE(::waitpid(child, nullptr, 0), child);
    QVERIFY(QFileInfo::exists(name));

    KX2LocalServer restarted;
    restarted.add(router.get());
    QVERIFY(restarted.start(name));
    QLocalSocket client;
    client.connectToServer(name);
    QVERIFY(client.waitForConnected(kWaitMs));
    QVERIFY(writeAll(client, frame("echo", 5)));
    const QList<QJsonObject> replies = readReplies(client, 1);
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.at(0).value("results").toInt(), 5);
}

void tst_KX2LocalServer::relativeNamesLiveInTempDirectory()
{
    const QString subdir = QStringLiteral("kx2wire-%1").arg(QCoreApplication::applicationPid());
    for (const QString& name : {subdir + ".sock", subdir + "/nested.sock"}) {
        KX2LocalServer relative;
        relative.add(router.get());
        QVERIFY2(relative.start(name), qPrintable(name));
        QVERIFY(QFileInfo::exists(QDir::tempPath() + '/' + name));
        QJsonObject reply;
        auto call = std::async(std::launch::async, [&] {
            return KX2LocalServer::localRequest(name, {{"cmd", "echo"}, {"params", 4}}, &reply, 10);
        });
        QTRY_VERIFY_WITH_TIMEOUT(
            call.wait_for(std::chrono::seconds(0)) == std::future_status::ready, kWaitMs);
        QVERIFY(call.get());
        QCOMPARE(reply.value("results").toInt(), 4);
    }
    QDir(QDir::tempPath() + '/' + subdir).removeRecursively();
}

void tst_KX2LocalServer::secondInstanceRefusedWhileFirstServes()
{
    const QString name = server->serverName();
    KX2LocalServer second; // no routers: "echo" would be unknown there
    QVERIFY(!second.start(name));
    QVERIFY(second.errorString().contains("already listening"));
    QVERIFY(!second.isListening());

    // The first still owns the name and answers.
    QLocalSocket client;
    client.connectToServer(name);
    QVERIFY(client.waitForConnected(kWaitMs));
    QVERIFY(writeAll(client, frame("echo", 3)));
    QList<QJsonObject> replies = readReplies(client, 1);
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.at(0).value("results").toInt(), 3);

    // An orderly stop removes the file it created; the name is free again.
    server->stop();
    QVERIFY(!QFileInfo::exists(name));
    QVERIFY(second.start(name));
    QVERIFY(second.errorString().isEmpty());
    // A successor's file is not the first server's to remove.
    server->stop();
    QVERIFY(QFileInfo::exists(name));
}

namespace {

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

} // namespace

// The listening socket is served by the reactor; stop() must not return
// before it is closed, or a process that exits right after it leaves the
// socket to a thread that is being torn down.
void tst_KX2LocalServer::stopClosesTheListeningSocket()
{
    const QString name = server->serverName();
    server->stop();
    for (int cycle = 0; cycle < 20; ++cycle) {
        const int before = openDescriptors();
        QVERIFY(server->start(name));
        QCOMPARE(openDescriptors(), before + 1);
        server->stop();
        QCOMPARE(openDescriptors(), before);
    }
}

void tst_KX2LocalServer::foreignFilesAtSocketPathAreLeftAlone()
{
    const QString file = socketName("plain.sock");
    {
        QFile data(file);
        QVERIFY(data.open(QIODevice::WriteOnly));
        data.write("precious");
    }
    KX2LocalServer other;
    QVERIFY(!other.start(file));
    QVERIFY(other.errorString().contains("not a socket"));
    QCOMPARE(fileContent(file), QByteArray("precious"));

    const QString directory = socketName("dir.sock");
    QVERIFY(QDir().mkpath(directory));
    QVERIFY(!other.start(directory));
    QVERIFY(!other.errorString().isEmpty());
    QVERIFY(QFileInfo(directory).isDir());

    const QString tooLong = socketName(QString(120, 'n'));
    QVERIFY(!other.start(tooLong));
    QVERIFY(other.errorString().contains("longer than"));
}

void tst_KX2LocalServer::helpInterfacesEndToEnd()
{
    // localRequest blocks, so it runs off the thread that accepts.
    QJsonObject reply;
    auto call = std::async(std::launch::async, [&] {
        return KX2LocalServer::localRequest(server->serverName(), {{"cmd", "help_interfaces"}},
                                            &reply, 10);
    });
    QTRY_VERIFY_WITH_TIMEOUT(call.wait_for(std::chrono::seconds(0)) == std::future_status::ready,
                             kWaitMs);
    QVERIFY(call.get());
    QCOMPARE(reply.value("err").toInt(), 0);
    const QJsonObject results = reply.value("results").toObject();
    QVERIFY(results.contains("help_interfaces"));
    QCOMPARE(results.value("echo").toObject().value("cmd").toString(), QString("echo"));
}

void tst_KX2LocalServer::twoRequestsInOneWriteAnsweredInOrder()
{
    QLocalSocket client;
    client.connectToServer(server->serverName());
    QVERIFY(client.waitForConnected(kWaitMs));
    QVERIFY(writeAll(client, frame("echo", 1) + frame("echo", 2)));
    const QList<QJsonObject> replies = readReplies(client, 2);
    QCOMPARE(replies.size(), 2);
    QCOMPARE(replies.at(0).value("results").toInt(), 1);
    QCOMPARE(replies.at(1).value("results").toInt(), 2);
    QCOMPARE(replies.at(0).value("protocol").toInt(), 128);
    QVERIFY(!replies.at(0).contains("cmd")); // replies do not echo the request
}

void tst_KX2LocalServer::requestSplitAcrossWrites()
{
    QLocalSocket client;
    client.connectToServer(server->serverName());
    QVERIFY(client.waitForConnected(kWaitMs));
    const QByteArray bytes = frame("echo", "split");
    for (const QByteArray& part :
         {bytes.left(2), bytes.mid(2, 14), bytes.mid(16, 5), bytes.mid(21)})
        QVERIFY(writeAll(client, part));
    const QList<QJsonObject> replies = readReplies(client, 1);
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.at(0).value("results").toString(), QString("split"));
}

void tst_KX2LocalServer::keepAliveNotAnswered()
{
    QLocalSocket client;
    client.connectToServer(server->serverName());
    QVERIFY(client.waitForConnected(kWaitMs));
    // Replies come in request order, so an answered keep-alive would show
    // up ahead of the echo replies.
    QVERIFY(writeAll(client, PACKET_KEEPALIVE));
    QVERIFY(writeAll(client,
                     PACKET_KEEPALIVE + KX2RpcPacket(QJsonObject()).toDatagram()
                         + QByteArray::fromHex("006b7801010200000000000000ffffff") + "{}"
                         + frame("echo", "first")));
    QVERIFY(writeAll(client, frame("echo", "second")));
    const QList<QJsonObject> replies = readReplies(client, 2);
    QCOMPARE(replies.size(), 2);
    QCOMPARE(replies.at(0).value("results").toString(), QString("first"));
    QCOMPARE(replies.at(1).value("results").toString(), QString("second"));
    QCOMPARE(router->calls.load(), 2);
}

void tst_KX2LocalServer::everyRequestStartsFromAFreshJournal()
{
    QLocalSocket client;
    client.connectToServer(server->serverName());
    QVERIFY(client.waitForConnected(kWaitMs));
    QVERIFY(writeAll(client,
                     frame("noop") + frame("nosuch") + frame("noop") + frame("fail") + frame("echo")
                         + frame("fail") + frame("noop")));
    const QList<QJsonObject> replies = readReplies(client, 7);
    QCOMPARE(replies.size(), 7);
    QCOMPARE(replies.at(0), (QJsonObject{{"err", 9999}}));
    QCOMPARE(replies.at(1).value("err").toInt(), 9885);
    QCOMPARE(replies.at(1).value("errmsg").toString(), QString("被调用的方法不存在: nosuch"));
    // Neither an unknown method nor a refusal colours the next reply.
    QCOMPARE(replies.at(2), (QJsonObject{{"err", 9999}}));
    QCOMPARE(replies.at(3).value("errmsg").toString(), QString("缺少参数: path"));
    QCOMPARE(replies.at(3).value("err").toInt(), 9995);
    QCOMPARE(replies.at(4).value("err").toInt(), 0);
    // A refusal after a success is reported as a refusal.
    QCOMPARE(replies.at(5).value("err").toInt(), 9995);
    QCOMPARE(replies.at(6), (QJsonObject{{"err", 9999}}));
}

void tst_KX2LocalServer::elapsedExactlyWhenDebugging()
{
    QLocalSocket client;
    client.connectToServer(server->serverName());
    QVERIFY(client.waitForConnected(kWaitMs));
    QVERIFY(writeAll(client, frame("echo") + frame("nosuch")));
    QList<QJsonObject> replies = readReplies(client, 2);
    QCOMPARE(replies.size(), 2);
    for (const QJsonObject& reply : replies) {
        QVERIFY(!reply.contains("elapsed"));
        QVERIFY(!reply.contains("journals"));
    }

    server->setDebugging(true);
    QVERIFY(server->isDebugging());
    QVERIFY(writeAll(client, frame("echo") + frame("nosuch")));
    replies = readReplies(client, 2);
    QCOMPARE(replies.size(), 2);
    for (const QJsonObject& reply : replies)
        QVERIFY(reply.value("elapsed").isDouble());
    // Only this request's own entry: nothing piles up over the connection.
    QCOMPARE(replies.at(0).value("journals").toArray().size(), 1);
}

void tst_KX2LocalServer::oversizedFrameClosesOnlyItsConnection()
{
    QLocalSocket bystander;
    bystander.connectToServer(server->serverName());
    QVERIFY(bystander.waitForConnected(kWaitMs));
    QVERIFY(writeAll(bystander, frame("echo", 1)));
    QCOMPARE(readReplies(bystander, 1).size(), 1);

    QLocalSocket offender;
    offender.connectToServer(server->serverName());
    QVERIFY(offender.waitForConnected(kWaitMs));
    QSignalSpy closed(&offender, &QLocalSocket::disconnected);
    const QByteArray body = QByteArray(R"({"cmd":"echo","pad":")") + QByteArray(1000, 'x');
    const quint32 jsonSize = quint32(PACKET_MAX_FRAME - PACKET_HEADER_SIZE);
    QByteArray header = PACKET_MARK + "\x01\x01";
    for (quint32 v : {jsonSize, quint32(1)})
        for (int i = 0; i < 4; ++i)
            header.append(char((v >> (8 * i)) & 0xFF));
    header.append("\xFF\xFF\xFF");
    offender.write(header + body);
    QVERIFY(closed.wait(kWaitMs));

    QVERIFY(writeAll(bystander, frame("echo", 2)));
    const QList<QJsonObject> replies = readReplies(bystander, 1);
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.at(0).value("results").toInt(), 2);
}

void tst_KX2LocalServer::announcedSizeIsNotReservedUpFront()
{
    // The budget admits every frame here (one uid may hold half of it);
    // only memory use is measured.
    server->setBufferBudget(16 * PACKET_MAX_FRAME);
    // Workers whose threads are up (each has read a keep-alive), so their
    // stacks are not counted below.
    const int kConnections = 8;
    std::vector<std::unique_ptr<KX2LocalSocket>> connections(kConnections);
    std::vector<int> workerEnds;
    std::vector<int> peers;
    for (auto& connection : connections) {
        int fds[2];
        QVERIFY(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
        connection = std::make_unique<KX2LocalSocket>(server.get(), quintptr(fds[0]));
        workerEnds.push_back(fds[0]);
        peers.push_back(fds[1]);
        QVERIFY(sendAll(fds[1], PACKET_KEEPALIVE));
        QTRY_COMPARE_WITH_TIMEOUT(unreadBytes(fds[0]), 0, kWaitMs);
    }

    // Each peer sends the header of a frame just under the limit and one
    // byte of its body. A worker reads and parses on one thread, so once it
    // has read the byte sent afterwards it has dealt with the header.
    QByteArray start = PACKET_MARK + "\x01\x01";
    for (quint32 v : {quint32(PACKET_MAX_FRAME - PACKET_HEADER_SIZE), quint32(0)})
        for (int i = 0; i < 4; ++i)
            start.append(char((v >> (8 * i)) & 0xFF));
    start.append("\xFF\xFF\xFF{");
    const qint64 before = virtualSizeKiB();
    QVERIFY(before > 0);
    for (int i = 0; i < kConnections; ++i) {
        QVERIFY(sendAll(peers[size_t(i)], start));
        QTRY_COMPARE_WITH_TIMEOUT(unreadBytes(workerEnds[size_t(i)]), 0, kWaitMs);
        QVERIFY(sendAll(peers[size_t(i)], "\""));
        QTRY_COMPARE_WITH_TIMEOUT(unreadBytes(workerEnds[size_t(i)]), 0, kWaitMs);
    }
    const qint64 grownKiB = virtualSizeKiB() - before;
    for (int peer : peers)
        ::close(peer);
    for (const auto& connection : connections)
        QTRY_VERIFY_WITH_TIMEOUT(!connection->isRunning(), kWaitMs);
    // Reserving every announced frame would take 8 x 64 MiB.
    QVERIFY2(grownKiB < 64 * 1024, qPrintable(QString::number(grownKiB)));
    QCOMPARE(router->calls.load(), 0);
}

void tst_KX2LocalServer::frameAtLimitIsAnswered()
{
    std::unique_ptr<KX2LocalSocket> connection;
    const int peer = directConnection(connection);
    QVERIFY(peer >= 0);
    KX2RpcPacket request(QJsonObject{{"cmd", "echo"}, {"params", 8}});
    request.attachment =
        QByteArray(int(PACKET_MAX_FRAME - PACKET_HEADER_SIZE - request.toCompact().size()), 'a');
    const QByteArray bytes = request.toDatagram();
    QCOMPARE(qint64(bytes.size()), PACKET_MAX_FRAME);
    // The socket buffer holds far less than the frame, so the worker must
    // read while this thread still writes.
    auto sent = std::async(std::launch::async, [&] { return sendAll(peer, bytes); });
    QVERIFY(sent.get());
    ::shutdown(peer, SHUT_WR);
    bool eof = false;
    const QList<QJsonObject> replies = collectRepliesAndClose(peer, &eof);
    QVERIFY(eof);
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.at(0).value("results").toInt(), 8);
    QTRY_VERIFY_WITH_TIMEOUT(!connection->isRunning(), kWaitMs);
}

void tst_KX2LocalServer::garbageSilencesOnlyItsConnection()
{
    std::unique_ptr<KX2LocalSocket> garbled;
    const int peer = directConnection(garbled);
    QVERIFY(peer >= 0);
    QVERIFY(sendAll(peer, "garbage!" + frame("echo", 1)));

    QLocalSocket other;
    other.connectToServer(server->serverName());
    QVERIFY(other.waitForConnected(kWaitMs));
    QVERIFY(writeAll(other, frame("echo", 2)));
    QCOMPARE(readReplies(other, 1).size(), 1);

    // More input after the garbage is dropped; at EOF the worker has read
    // everything, so an empty read proves nothing was answered.
    QVERIFY(sendAll(peer, frame("echo", 3)));
    QVERIFY(garbled->isRunning());
    ::shutdown(peer, SHUT_WR);
    bool eof = false;
    QCOMPARE(readUntilEof(peer, &eof), QByteArray());
    QVERIFY(eof);
    ::close(peer);
    QTRY_VERIFY_WITH_TIMEOUT(!garbled->isRunning(), kWaitMs);
    QCOMPARE(router->calls.load(), 1);
}

void tst_KX2LocalServer::halfClosedPeerStillGetsReplies()
{
    std::unique_ptr<KX2LocalSocket> connection;
    const int peer = directConnection(connection);
    QVERIFY(peer >= 0);
    QVERIFY(sendAll(peer, frame("echo", 1) + frame("echo", 2)));
    ::shutdown(peer, SHUT_WR);
    bool eof = false;
    const QList<QJsonObject> replies = collectRepliesAndClose(peer, &eof);
    QVERIFY(eof);
    QCOMPARE(replies.size(), 2);
    QCOMPARE(replies.at(1).value("results").toInt(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(!connection->isRunning(), kWaitMs);
}

void tst_KX2LocalServer::peerGoneMidFrameOrDuringRequest()
{
    std::unique_ptr<KX2LocalSocket> midFrame;
    int peer = directConnection(midFrame);
    QVERIFY(peer >= 0);
    QVERIFY(sendAll(peer, frame("echo", 1).left(20)));
    ::close(peer);
    QTRY_VERIFY_WITH_TIMEOUT(!midFrame->isRunning(), kWaitMs);

    std::unique_ptr<KX2LocalSocket> busy;
    peer = directConnection(busy);
    QVERIFY(peer >= 0);
    QVERIFY(sendAll(peer, frame("gate") + frame("echo")));
    QTRY_COMPARE_WITH_TIMEOUT(router->gateEntered.load(), 1, kWaitMs);
    ::close(peer);
    router->openGate();
    QTRY_VERIFY_WITH_TIMEOUT(!busy->isRunning(), kWaitMs);
}

void tst_KX2LocalServer::destroyingServerEndsConnectionsAfterTheirRequest()
{
    std::unique_ptr<KX2LocalSocket> served;
    const int peer = directConnection(served);
    QVERIFY(peer >= 0);
    QVERIFY(sendAll(peer, frame("gate") + frame("echo", 7)));
    QTRY_COMPARE_WITH_TIMEOUT(router->gateEntered.load(), 1, kWaitMs);
    std::unique_ptr<KX2LocalSocket> idle;
    const int idlePeer = directConnection(idle);
    QVERIFY(idlePeer >= 0);

    auto destroyed = std::async(std::launch::async, [this] { server.reset(); });
    // The idle connection ends at once; the destructor waits for the
    // request being served, which runs to its reply, and nothing after it.
    QTRY_VERIFY_WITH_TIMEOUT(!idle->isRunning(), kWaitMs);
    QVERIFY(destroyed.wait_for(std::chrono::seconds(0)) != std::future_status::ready);
    router->openGate();
    destroyed.get();
    QVERIFY(!served->isRunning());
    bool eof = false;
    const QList<QJsonObject> replies = collectRepliesAndClose(peer, &eof);
    QVERIFY(eof);
    for (const QJsonObject& reply : replies)
        QVERIFY(reply.value("results").toInt() != 7);
    char byte;
    QCOMPARE(::recv(idlePeer, &byte, 1, MSG_DONTWAIT), ssize_t(0));
    ::close(idlePeer);
}

void tst_KX2LocalServer::stopWakesIdleWorker()
{
    std::unique_ptr<KX2LocalSocket> connection;
    const int peer = directConnection(connection);
    QVERIFY(peer >= 0);
    QVERIFY(sendAll(peer, frame("echo", 1)));
    QTRY_COMPARE_WITH_TIMEOUT(router->calls.load(), 1, kWaitMs);
    QVERIFY(connection->isRunning());

    connection->stop(); // returns only once the worker has ended
    QVERIFY(!connection->isRunning());
    bool eof = false;
    const QList<QJsonObject> replies = collectRepliesAndClose(peer, &eof);
    QVERIFY(eof);
    QCOMPARE(replies.size(), 1);
    connection->stop(); // a second stop has nothing to wait for
}

void tst_KX2LocalServer::idleConnectionsCostNoCpu()
{
    const int kConnections = 32;
    std::vector<std::unique_ptr<KX2LocalSocket>> connections(kConnections);
    std::vector<int> peers;
    for (auto& connection : connections) {
        peers.push_back(directConnection(connection));
        QVERIFY(peers.back() >= 0);
        QVERIFY(sendAll(peers.back(), frame("noop")));
    }
    QTRY_COMPARE_WITH_TIMEOUT(router->calls.load(), kConnections, kWaitMs);

    // Workers that polled in short steps would wake thousands of times in
    // this half second; blocked ones do not run at all.
    timespec before{};
    timespec after{};
    QCOMPARE(::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before), 0);
    QTest::qWait(500);
    QCOMPARE(::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after), 0);
    const qint64 usedUs =
        (after.tv_sec - before.tv_sec) * 1000000 + (after.tv_nsec - before.tv_nsec) / 1000;
    for (int peer : peers)
        ::close(peer);
    for (const auto& connection : connections)
        QTRY_VERIFY_WITH_TIMEOUT(!connection->isRunning(), kWaitMs);
    QVERIFY2(usedUs < 25000, qPrintable(QString::number(usedUs)));
}

void tst_KX2LocalServer::localRequestTimeouts()
{
    const QString name = server->serverName();
    QJsonObject reply{{"untouched", true}};

    // Not awaiting a reply: returns once the request is sent.
    auto fireAndForget = std::async(std::launch::async, [&] {
        return KX2LocalServer::localRequest(name, {{"cmd", "noop"}}, &reply, 0);
    });
    QTRY_VERIFY_WITH_TIMEOUT(
        fireAndForget.wait_for(std::chrono::seconds(0)) == std::future_status::ready, kWaitMs);
    QVERIFY(fireAndForget.get());
    QTRY_COMPARE_WITH_TIMEOUT(router->calls.load(), 1, kWaitMs);

    // An empty request is a keep-alive, which is never answered.
    QElapsedTimer timer;
    timer.start();
    auto keepAlive = std::async(std::launch::async, [&] {
        return KX2LocalServer::localRequest(name, QJsonObject(), &reply, 1);
    });
    QTRY_VERIFY_WITH_TIMEOUT(
        keepAlive.wait_for(std::chrono::seconds(0)) == std::future_status::ready, kWaitMs);
    QVERIFY(!keepAlive.get());
    QVERIFY(timer.elapsed() >= 900);
    QCOMPARE(reply, (QJsonObject{{"untouched", true}}));

    QVERIFY(!KX2LocalServer::localRequest(socketName("nobody.sock"), {{"cmd", "echo"}}, &reply, 5));
    QCOMPARE(reply, (QJsonObject{{"untouched", true}}));
}

// Connects a raw client to `name`; -1 on failure.
// Connects the socket `fd` to the server `name`.
bool connectTo(int fd, const QString& name)
{
    const QByteArray path = QFile::encodeName(name);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.constData(), size_t(path.size()));
    return ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

int connectRaw(const QString& name)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connectTo(fd, name))
        return fd;
    if (fd >= 0)
        ::close(fd);
    return -1;
}

// Replies read so far from `fd` without blocking.
int pendingReplies(int fd, QByteArray& buffer)
{
    char chunk[4096];
    ssize_t got;
    while ((got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0)
        buffer.append(chunk, int(got));
    int count = 0;
    QByteArray copy = buffer;
    QList<QJsonObject> replies;
    takeFrames(copy, replies);
    count = replies.size();
    return count;
}

// How many of `fds` the server has closed.
int closedByServer(const std::vector<int>& fds)
{
    int closed = 0;
    for (int fd : fds) {
        char byte;
        const ssize_t got = ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
            ++closed;
    }
    return closed;
}

// Sends `request` to the server `name` from a child process running as
// `uid`:`gid` with the supplementary `groups` only, and returns what came
// back: one reply, or none when the connection was refused or closed.
QList<QJsonObject> requestAs(const QString& name, uid_t uid, gid_t gid,
                             const std::vector<gid_t>& groups, const QByteArray& request)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return {};
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(groups.size(), groups.data()) != 0 || ::setresgid(gid, gid, gid) != 0
            || ::setresuid(uid, uid, uid) != 0)
            ::_exit(3);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (!connectTo(fd, name) || !sendAll(fd, request))
            ::_exit(1);
        char chunk[4096];
        ssize_t got;
        while ((got = ::recv(fd, chunk, sizeof chunk, 0)) > 0) {
            if (::write(pipeFds[1], chunk, size_t(got)) != got)
                break;
        }
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    QByteArray buffer;
    QList<QJsonObject> replies;
    QElapsedTimer timer;
    timer.start();
    while (child > 0 && replies.isEmpty() && timer.elapsed() < kWaitMs) {
        pollfd pfd{pipeFds[0], POLLIN, 0};
        char chunk[4096];
        ssize_t got = 0;
        if (::poll(&pfd, 1, int(kWaitMs - timer.elapsed())) <= 0
            || (got = ::read(pipeFds[0], chunk, sizeof chunk)) <= 0)
            break;
        buffer.append(chunk, int(got));
        takeFrames(buffer, replies);
    }
    ::close(pipeFds[0]);
    if (child > 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    }
    return replies;
}

namespace {

// Lowers this process's descriptor limit to what is in use now and fills
// every free descriptor below it, then gives `spare` back. Undone by the
// destructor.
class DescriptorShortage
{
public:
    explicit DescriptorShortage(int spare)
    {
        ::getrlimit(RLIMIT_NOFILE, &saved);
        int highest = 0;
        for (const QString& entry :
             QDir("/proc/self/fd")
                 .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System))
            highest = std::max(highest, entry.toInt());
        rlimit low = saved;
        low.rlim_cur = rlim_t(highest + 1);
        lowered = ::setrlimit(RLIMIT_NOFILE, &low) == 0;
        for (int fd; (fd = ::dup(0)) >= 0;)
            fillers.push_back(fd);
        for (int i = 0; i < spare && !fillers.empty(); ++i) {
            ::close(fillers.back());
            fillers.pop_back();
        }
    }
    ~DescriptorShortage()
    {
        ::setrlimit(RLIMIT_NOFILE, &saved);
        for (int fd : fillers)
            ::close(fd);
    }
    bool lowered = false;

private:
    rlimit saved{};
    std::vector<int> fillers;
};

// Sends one echo request on `fd` and waits for its reply.
bool answered(int fd, int params)
{
    if (!sendAll(fd, frame("echo", params)))
        return false;
    QByteArray buffer;
    QElapsedTimer timer;
    timer.start();
    while (pendingReplies(fd, buffer) < 1) {
        pollfd pfd{fd, POLLIN, 0};
        if (timer.elapsed() >= kWaitMs || ::poll(&pfd, 1, int(kWaitMs - timer.elapsed())) <= 0)
            return false;
    }
    return true;
}

} // namespace

void tst_KX2LocalServer::descriptorExhaustionDoesNotEndListening()
{
#ifdef ZN_UBSAN_VPTR
    // UBSan checks an object's dynamic type through a pipe whenever its
    // small type cache misses, which happens at unpredictable points; with
    // the process out of descriptors that check fails and aborts. The
    // ThreadSanitizer suite and plain builds run this test;
    // descriptorShortageClosesOldestIdleFirst covers the shortage here.
    QSKIP("the sanitizer's type checks need descriptors of their own");
#endif
    const QString name = server->serverName();
    // Run the ending of a connection once beforehand: sanitizer builds
    // check an object's type the first time they meet it, and that check
    // needs a descriptor of its own.
    const int first = connectRaw(name);
    QVERIFY(answered(first, 0));
    ::close(first);
    QTRY_COMPARE_WITH_TIMEOUT(KX2LocalSocket::activeCount(), baseline, kWaitMs);
    // Client sockets first, while descriptors are plentiful; they connect
    // once the server has none left to accept them with. Their requests
    // are slow, so no connection is idle and none can give way.
    const int kClients = 40;
    std::vector<int> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        QVERIFY(clients.back() >= 0);
    }
    {
        const DescriptorShortage shortage(3);
        QVERIFY(shortage.lowered);
        for (int fd : clients)
            QVERIFY(connectTo(fd, name) && sendAll(fd, frame("gate", "waiting")));
        // Some are accepted; the accept of the next one fails.
        QTRY_VERIFY_WITH_TIMEOUT(router->gateEntered.load() >= 1, kWaitMs);
        QVERIFY(server->isListening());
    }
    QVERIFY(server->connectionCount() < kClients);
    // Every waiting client is taken once descriptors are free again...
    QTRY_COMPARE_WITH_TIMEOUT(server->connectionCount(), kClients, kWaitMs);
    router->openGate();
    for (int fd : clients) {
        QByteArray buffer;
        QTRY_COMPARE_WITH_TIMEOUT(pendingReplies(fd, buffer), 1, kWaitMs);
        ::close(fd);
    }
    // ...and so are new ones.
    const int late = connectRaw(name);
    QVERIFY(late >= 0);
    QVERIFY(answered(late, 2));
    ::close(late);
}

void tst_KX2LocalServer::descriptorShortageClosesOldestIdleFirst()
{
    const QString name = server->serverName();
    server->setMaxOpenConnections(3);
    QCOMPARE(server->maxOpenConnections(), 3);
    // Three idle connections, each answered once, oldest first (served in
    // this order: equal activity times keep it too).
    std::vector<int> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(connectRaw(name));
        QVERIFY(idle.back() >= 0);
        QVERIFY(answered(idle.back(), i));
    }
    const int newcomer = connectRaw(name);
    QVERIFY(newcomer >= 0);
    QVERIFY(answered(newcomer, 9));
    // The oldest gave way; the newer ones are still open and served.
    QCOMPARE(closedByServer({idle[0]}), 1);
    QCOMPARE(closedByServer({idle[1], idle[2]}), 0);
    QVERIFY(answered(idle[2], 10));
    QCOMPARE(server->connectionCount(), 3);
    // Forty clients at once: each gives way to the next once answered.
    std::vector<int> clients;
    for (int i = 0; i < 40; ++i) {
        clients.push_back(connectRaw(name));
        QVERIFY(clients.back() >= 0);
        QVERIFY(sendAll(clients.back(), frame("echo", i)));
    }
    for (int fd : clients) {
        QByteArray buffer;
        QTRY_COMPARE_WITH_TIMEOUT(pendingReplies(fd, buffer), 1, kWaitMs);
    }
    QVERIFY(server->connectionCount() <= 3);
    for (int fd : clients)
        ::close(fd);
    for (int fd : idle)
        ::close(fd);
    ::close(newcomer);
}

void tst_KX2LocalServer::servedRequestsAreCappedNotConnections()
{
    // Four requests at once, two of them for one uid.
    server->setMaxServed(4);
    QCOMPARE(server->maxServed(), 4);
    const QString name = server->serverName();
    std::vector<int> idle;
    for (int i = 0; i < 20; ++i) {
        idle.push_back(connectRaw(name));
        QVERIFY(idle.back() >= 0);
    }
    std::vector<int> gated;
    for (int i = 0; i < 3; ++i) {
        gated.push_back(connectRaw(name));
        QVERIFY(gated.back() >= 0);
        QVERIFY(sendAll(gated.back(), frame("gate", "mine")));
    }
    // Idle connections are all accepted; two requests are served, the
    // third waits for a slot.
    QTRY_COMPARE_WITH_TIMEOUT(server->connectionCount(), 23, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(router->gateEntered.load(), 2, kWaitMs);
    QCOMPARE(server->servedCount(), 2);
    // A frame whose JSON does not parse leaves its connection open and
    // idle: it takes no slot.
    const int garbled = connectRaw(name);
    const QByteArray bad = "{\"cmd\":\"echo\x01\"}";
    QByteArray head = PACKET_MARK + "\x01\x01";
    for (quint32 v : {quint32(bad.size()), quint32(0)})
        for (int i = 0; i < 4; ++i)
            head.append(char((v >> (8 * i)) & 0xFF));
    QVERIFY(sendAll(garbled, head + "\xFF\xFF\xFF" + bad + frame("echo", 1)));
    QTRY_COMPARE_WITH_TIMEOUT(server->connectionCount(), 24, kWaitMs);
    QCOMPARE(server->servedCount(), 2);
    router->openGate();
    for (int fd : gated) {
        QByteArray buffer;
        QTRY_COMPARE_WITH_TIMEOUT(pendingReplies(fd, buffer), 1, kWaitMs);
        ::close(fd);
    }
    QCOMPARE(router->mostInsideAtOnce("mine"), 2);
    QTRY_COMPARE_WITH_TIMEOUT(server->servedCount(), 0, kWaitMs);
    QCOMPARE(closedByServer({garbled}), 0);
    ::close(garbled);
    for (int fd : idle)
        ::close(fd);
}

void tst_KX2LocalServer::waitingRequestStaysUnread()
{
    // One slot for this uid, taken by a slow request.
    server->setMaxServed(2);
    const QString name = server->serverName();
    const int holder = connectRaw(name);
    QVERIFY(sendAll(holder, frame("gate", "mine")));
    QTRY_COMPARE_WITH_TIMEOUT(router->gateEntered.load(), 1, kWaitMs);
    // A large request that finds no slot is not read: its bytes stay in
    // the socket (the writer blocks once the socket's buffer is full)
    // and cost the server neither memory nor budget.
    const QByteArray big = frame("echo", QString(512 * 1024, QLatin1Char('x')));
    const int waiting = connectRaw(name);
    auto writer = std::async(std::launch::async, [&] { return sendAll(waiting, big); });
    auto unreadByPeer = [waiting] {
        int queued = 0;
        return ::ioctl(waiting, SIOCOUTQ, &queued) == 0 ? queued : -1;
    };
    QTRY_VERIFY_WITH_TIMEOUT(unreadByPeer() >= 64 * 1024, kWaitMs);
    QCOMPARE(server->bufferedBytes(), qint64(0));
    QCOMPARE(router->calls.load(), 0);
    // The freed slot goes to it: read whole, answered, budget given back.
    router->openGate();
    QVERIFY(writer.get());
    for (int fd : {holder, waiting}) {
        QByteArray buffer;
        QTRY_COMPARE_WITH_TIMEOUT(pendingReplies(fd, buffer), 1, kWaitMs);
        ::close(fd);
    }
    QTRY_COMPARE_WITH_TIMEOUT(server->bufferedBytes(), qint64(0), kWaitMs);
}

void tst_KX2LocalServer::idleConnectionsDoNotDelayNewClients()
{
    const QString name = server->serverName();
    // 400 connections that sent nothing and 100 that sent one request each.
    std::vector<int> idle;
    for (int i = 0; i < 500; ++i) {
        idle.push_back(connectRaw(name));
        QVERIFY(idle.back() >= 0);
    }
    for (int i = 400; i < 500; ++i)
        QVERIFY(answered(idle[size_t(i)], i));
    QTRY_COMPARE_WITH_TIMEOUT(server->connectionCount(), 500, kWaitMs);
    for (int round = 0; round < 5; ++round) {
        QElapsedTimer timer;
        timer.start();
        QJsonObject reply;
        QVERIFY(
            KX2LocalServer::localRequest(name, {{"cmd", "echo"}, {"params", round}}, &reply, 10));
        QCOMPARE(reply.value("results").toInt(), round);
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    }
    for (int fd : idle)
        ::close(fd);
}

namespace {

// Clients that each send a request as soon as the previous reply came
// back, over `count` connections on one thread, until stopped. Counts
// requests sent and replies taken.
class BusyClients
{
public:
    BusyClients(const QString& name, int count)
    {
        for (int i = 0; i < count; ++i)
            fds.push_back(connectRaw(name));
        buffers.resize(fds.size());
        thread = std::thread([this] { run(); });
    }
    ~BusyClients()
    {
        stop();
        for (int fd : fds)
            ::close(fd);
    }
    // Stops sending and waits until every request sent is answered (or
    // the wait's deadline passes).
    void stop()
    {
        stopping = true;
        if (thread.joinable())
            thread.join();
    }
    bool connected() const { return std::find(fds.begin(), fds.end(), -1) == fds.end(); }
    std::atomic<qint64> sent{0};
    std::atomic<qint64> received{0};

private:
    void run()
    {
        for (size_t i = 0; i < fds.size(); ++i)
            sent += sendAll(fds[i], frame("echo", int(i))) ? 1 : 0;
        std::vector<pollfd> polls;
        for (int fd : fds)
            polls.push_back(pollfd{fd, POLLIN, 0});
        QElapsedTimer drain;
        for (;;) {
            if (stopping && !drain.isValid())
                drain.start();
            if (stopping && (received == sent || drain.elapsed() > kWaitMs))
                return;
            if (::poll(polls.data(), nfds_t(polls.size()), 100) <= 0)
                continue;
            for (size_t i = 0; i < polls.size(); ++i) {
                if ((polls[i].revents & POLLIN) == 0)
                    continue;
                const int replies = pendingReplies(fds[i], buffers[i]);
                if (replies == 0)
                    continue;
                QList<QJsonObject> taken;
                takeFrames(buffers[i], taken);
                received += replies;
                if (!stopping)
                    sent += sendAll(fds[i], frame("echo", int(i))) ? 1 : 0;
            }
        }
    }

    std::vector<int> fds;
    std::vector<QByteArray> buffers;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

} // namespace

void tst_KX2LocalServer::newClientAnsweredBesideBusyOnes()
{
    const QString name = server->serverName();
    BusyClients busy(name, 250);
    QVERIFY(busy.connected());
    QTRY_VERIFY_WITH_TIMEOUT(busy.received.load() > 2500, kWaitMs);
    for (int round = 0; round < 5; ++round) {
        QElapsedTimer timer;
        timer.start();
        QJsonObject reply;
        QVERIFY(
            KX2LocalServer::localRequest(name, {{"cmd", "echo"}, {"params", round}}, &reply, 10));
        QCOMPARE(reply.value("results").toInt(), round);
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    }
    // No request of the busy clients went unanswered.
    busy.stop();
    QCOMPARE(busy.received.load(), busy.sent.load());
}

void tst_KX2LocalServer::uidGetsNoMoreThanItsShare()
{
    if (::geteuid() != 0)
        QSKIP("needs root to act as another user");
    QVERIFY(::chmod(QFile::encodeName(dir->path()).constData(), 0755) == 0);
    // Four slots: one uid gets at most two of them.
    server->setMaxServed(4);
    const QByteArray path = QFile::encodeName(server->serverName());
    const QByteArray request = frame("gate", "nobody");
    int pipeFds[2];
    QCOMPARE(::pipe(pipeFds), 0);
    // A child that becomes `nobody`, sends four slow requests on four
    // connections, waits until the pipe closes and exits with the number
    // of replies it got.
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(pipeFds[1]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(100);
        int fds[4];
        for (int& fd : fds) {
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            memcpy(addr.sun_path, path.constData(), size_t(path.size()));
            fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0
                || ::send(fd, request.constData(), size_t(request.size()), MSG_NOSIGNAL)
                    != request.size())
                ::_exit(101);
        }
        char byte;
        while (::read(pipeFds[0], &byte, 1) > 0) {}
        int replies = 0;
        for (int fd : fds) {
            char head[3];
            replies += ::recv(fd, head, sizeof head, MSG_WAITALL) == 3 && head[1] == 'k' ? 1 : 0;
        }
        ::_exit(replies);
    }
    ::close(pipeFds[0]);
    QVERIFY(child > 0);
    QTRY_COMPARE_WITH_TIMEOUT(router->gateEntered.load(), 2, kWaitMs);
    // Root's requests are served beside the two of `nobody` that wait.
    std::vector<int> mine;
    for (int i = 0; i < 2; ++i) {
        mine.push_back(connectRaw(server->serverName()));
        QVERIFY(sendAll(mine.back(), frame("gate", "root")));
    }
    QTRY_COMPARE_WITH_TIMEOUT(router->gateEntered.load(), 4, kWaitMs);
    QCOMPARE(router->mostInsideAtOnce("root"), 2);
    router->openGate();
    ::close(pipeFds[1]);
    int status = -1;
    QElapsedTimer timer;
    timer.start();
    while (::waitpid(child, &status, WNOHANG) == 0 && timer.elapsed() < kWaitMs)
        QTest::qWait(10); // polling the child, which has no other way to tell
    QVERIFY(WIFEXITED(status));
    QCOMPARE(WEXITSTATUS(status), 4);
    // `nobody` never had more than its share inside at once.
    QCOMPARE(router->mostInsideAtOnce("nobody"), 2);
    for (int fd : mine) {
        QByteArray buffer;
        QTRY_COMPARE_WITH_TIMEOUT(pendingReplies(fd, buffer), 1, kWaitMs);
        ::close(fd);
    }
}

void tst_KX2LocalServer::byteBudgetIsSharedByUids()
{
    if (::geteuid() != 0)
        QSKIP("needs root to act as another user");
    QVERIFY(::chmod(QFile::encodeName(dir->path()).constData(), 0755) == 0);
    const qint64 kFrame = 1024 * 1024;
    server->setBufferBudget(4 * kFrame + 1024);
    QByteArray head = PACKET_MARK + "\x01\x01";
    for (quint32 v : {quint32(kFrame - PACKET_HEADER_SIZE), quint32(0)})
        for (int i = 0; i < 4; ++i)
            head.append(char((v >> (8 * i)) & 0xFF));
    head.append("\xFF\xFF\xFF{\"cmd\":\"echo\",\"pad\":\"");
    // Four huge frames of one uid, sent slowly (the start only): the uid
    // may hold half the budget, the others are refused by closing their
    // connections.
    std::vector<int> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(connectRaw(server->serverName()));
        QVERIFY(clients.back() >= 0);
        QVERIFY(sendAll(clients.back(), head));
    }
    QTRY_COMPARE_WITH_TIMEOUT(server->bufferedBytes(), 2 * kFrame, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(closedByServer(clients), 2, kWaitMs);
    // A small request is still served meanwhile.
    QJsonObject reply;
    auto call = std::async(std::launch::async, [&] {
        return KX2LocalServer::localRequest(server->serverName(), {{"cmd", "echo"}, {"params", 7}},
                                            &reply, 10);
    });
    QTRY_VERIFY_WITH_TIMEOUT(call.wait_for(std::chrono::seconds(0)) == std::future_status::ready,
                             kWaitMs);
    QVERIFY(call.get());
    // Another uid's huge frame finds its share free and is answered.
    const QByteArray large =
        KX2RpcPacket(QJsonObject{{"cmd", "echo"}, {"params", 8}, {"pad", QString(kFrame, 'x')}})
            .toDatagram();
    const QList<QJsonObject> replies = requestAs(server->serverName(), 65534, 65534, {}, large);
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies[0].value("results").toInt(), 8);
    for (int fd : clients)
        ::close(fd);
    // The budget is whole again once the clients have left.
    QTRY_COMPARE_WITH_TIMEOUT(server->bufferedBytes(), qint64(0), kWaitMs);
}

void tst_KX2LocalServer::stalledFrameEndsAfterReceiveTimeout()
{
    server->setReceiveTimeout(std::chrono::milliseconds(200));
    const QString name = server->serverName();
    const int idle = connectRaw(name);
    QVERIFY(answered(idle, 1));
    // Half of a frame large enough to draw on the budget, then silence.
    const int stalled = connectRaw(name);
    const QByteArray big = frame("echo", QString(256 * 1024, QLatin1Char('x')));
    QVERIFY(sendAll(stalled, big.left(big.size() / 2)));
    QTRY_VERIFY_WITH_TIMEOUT(server->bufferedBytes() > 0, kWaitMs);
    QTRY_COMPARE_WITH_TIMEOUT(closedByServer({stalled}), 1, kWaitMs);
    QCOMPARE(server->bufferedBytes(), qint64(0));
    // A connection silent between frames is not affected.
    QCOMPARE(closedByServer({idle}), 0);
    QVERIFY(answered(idle, 2));
    ::close(stalled);
    ::close(idle);
}

void tst_KX2LocalServer::keepAliveFloodInLinearTime()
{
    std::unique_ptr<KX2LocalSocket> connection;
    const int peer = directConnection(connection);
    QVERIFY(peer >= 0);
    // 4 Mi keep-alive frames and one request behind them. Erasing each
    // frame from the front of the buffer moves gigabytes here; taking them
    // in place reads each byte once.
    QByteArray flood;
    flood.reserve(16 * 1024 * 1024 + 64);
    for (int i = 0; i < 4 * 1024 * 1024; ++i)
        flood.append(PACKET_KEEPALIVE);
    flood.append(frame("echo", 9));
    QElapsedTimer timer;
    timer.start();
    auto writer = std::async(std::launch::async, [&] { return sendAll(peer, flood); });
    QByteArray buffer;
    QTRY_COMPARE_WITH_TIMEOUT(pendingReplies(peer, buffer), 1, 6000);
    QVERIFY(writer.get());
    ::close(peer);
    QTRY_VERIFY_WITH_TIMEOUT(!connection->isRunning(), kWaitMs);
}

void tst_KX2LocalServer::restrictedSocketAdmitsOnlyItsGroup()
{
    if (::geteuid() != 0)
        QSKIP("needs root to act as other users");
    const gid_t kGroup = 4242;
    const uid_t kNobody = 65534;
    QVERIFY(::chmod(QFile::encodeName(dir->path()).constData(), 0755) == 0);
    const QString name = socketName("restricted.sock");
    KX2LocalServer restricted;
    restricted.add(router.get());
    restricted.setAccess(0660, int(kGroup));
    QVERIFY(restricted.start(name));
    struct stat st
    {};
    QCOMPARE(::stat(QFile::encodeName(name).constData(), &st), 0);
    QCOMPARE(int(st.st_mode & 0777), 0660);
    QCOMPARE(st.st_gid, kGroup);

    const QByteArray request = frame("echo", 5);
    const int callsBefore = router->calls.load();
    // Refused before any request; admitted with the group held as the
    // primary group or only as a supplementary one that the user database
    // does not list for `nobody`.
    QVERIFY(requestAs(name, kNobody, kNobody, {}, request).isEmpty());
    QCOMPARE(router->calls.load(), callsBefore);
    QCOMPARE(requestAs(name, kNobody, kGroup, {}, request).size(), 1);
    QCOMPARE(requestAs(name, kNobody, kNobody, {kGroup}, request).size(), 1);
    QCOMPARE(router->calls.load(), callsBefore + 2);
}

void tst_KX2LocalServer::groupsAreThoseThePeerHeld()
{
    if (::geteuid() != 0)
        QSKIP("needs root to act as another user");
    QVERIFY(::chmod(QFile::encodeName(dir->path()).constData(), 0755) == 0);
    // The user database gives `nobody` the group 65534; a process that
    // dropped it is no member, one that took groups nobody lists is.
    const QList<QJsonObject> replies = requestAs(server->serverName(), 65534, 4242, {4243},
                                                 frame("groups", QJsonArray{4242, 4243, 65534}));
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies[0].value("results").toArray(), (QJsonArray{4242, 4243}));
}

QTEST_GUILESS_MAIN(tst_KX2LocalServer)
#include "tst_kx2localserver.moc"
