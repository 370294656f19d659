#include "kx2localsocket.h"

#include "kx2cabinet.h"
#include "kx2escape.h"
#include "kx2journals.h"
#include "kx2localserver.h"
#include "kx2localserver_p.h"
#include "kx2peer.h"
#include "kx2rpcpacket.h"
#include "kx2trace.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <new>
#include <thread>

#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

const int kReadChunk = 64 * 1024;
// Reads of one connection in one turn of the reactor.
const int kReadsPerTurn = 16;
const int kWriteTimeoutMs = 30000;
const int kProtocol = 128;
// How long a thread stays with a connection it has just answered, at
// least (the kernel rounds up to its clock ticks). A busy client sends its
// next request within microseconds, or within a scheduling turn when the
// cores are shared; one that pauses longer goes back to the reactor's set.
const int kStayMs = 5;
// Frames up to this size are buffered without drawing on the server's
// budget; with the read chunk this bounds what a connection holds on its
// own.
const qint64 kFreeFrameBytes = 64 * 1024;
// Reply buffers up to this size are kept for the thread's next reply.
const int kKeptReplyBytes = 16 * 1024;
// After a request or reply this large, the freed memory goes back to the
// system: the allocator would keep the pages of its parse tree and lists
// for good, the process's size at its largest request.
const qint64 kGiveBackBytes = 1024 * 1024;

std::atomic<int> g_openConnections{0};

// The reply being sent. A reply is written whole before its thread moves
// on, so one buffer per thread serves every connection, and an idle
// connection holds none.
thread_local QByteArray t_outgoing;

void giveMemoryBack()
{
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

// Only orders connections by how long they have been idle: the coarse
// clock (a few milliseconds' resolution) is read without the time counter,
// which matters at one reading per request.
qint64 steadyMs()
{
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return qint64(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

} // namespace

// One connection in the reactor. Owned by its registration (`self`) from
// open() until it ends, and by a KX2LocalSocket handle when there is one.
// The reactor runs ready() on one thread at a time; everything marked
// "serving thread" below is handed from one such thread to the next
// through the epoll set, or through the server's slots while the
// connection waits for one (it is then disarmed, and the thread that
// frees a slot serves it next).
class KX2LocalSocketPrivate : public KX2ConnectionEntry
{
public:
    KX2LocalSocketPrivate(std::shared_ptr<KX2LocalServerPrivate> server, int descriptor)
        : server(std::move(server)), descriptor(descriptor)
    {
        environment.insert(QStringLiteral("protocol"), kProtocol);
    }

    // Sets the connection up and counts it. With `serveNow`, answers what
    // has already arrived on the calling thread before the reactor takes
    // the connection (a fresh client has usually sent its request).
    void open(const std::shared_ptr<KX2LocalSocketPrivate>& me, bool serveNow);
    // Serves this connection, then every waiting one that a slot it gave
    // back was handed to.
    void ready() override;
    void requestStop() override;
    bool hasUnreadBytes() const override;

    // Written once before the connection is served; read by both sides.
    const std::shared_ptr<KX2LocalServerPrivate> server;
    const KX2UniqueFd descriptor;
    // The thread serving the current request, for stop() from a method.
    std::atomic<std::thread::id> servingThread{};

    std::atomic<bool> running{true};
    std::atomic<bool> stopRequested{false};
    // `ended` is signalled under `mutex` once `running` has become false.
    KX2Mutex mutex;
    std::condition_variable ended;

    // Serving thread only.
    QByteArray buffer;   // the unfinished frame
    qint64 reserved = 0; // budget bytes held for the frame being received
    bool desynchronised = false;
    bool enlisted = false;       // in the reactor's set
    bool holdsSlot = false;      // a served-request slot is taken
    bool largeAnswered = false;  // a large request or reply was handled this turn
    quint64 answered = 0;        // requests answered on this connection
    bool stayTimeoutSet = false; // SO_RCVTIMEO bounds awaitNextRequest()
    KX2Cabinet environment;

private:
    enum class Outcome { KeepOpen, Close };

    // One turn: takes a slot (or queues for one), serves what has arrived,
    // gives the slot back and hands the connection back to the reactor (or
    // ends it). Returns the waiting connection the slot went to, if any.
    KX2LocalSocketPrivate* turn();
    // After an answer, waits up to kStayMs on this connection alone for the
    // client's next request (see KX2Reactor::beginStay()): true when
    // something arrived (or the peer hung up) and this thread serves it.
    bool awaitNextRequest();
    // Reads what is there without blocking and answers it.
    Outcome serve();
    Outcome serveGuarded();
    Outcome serveChunk(const char* data, int size);
    void dropSpareCapacity();
    // Takes the frames of `source` from `offset` on, answering requests.
    Outcome parse(const QByteArray& source, int& offset);
    bool reserveFor(qint64 frameSize);
    void releaseReserved();
    Outcome answer(const KX2RpcPacket& request);
    bool writeAll(const QByteArray& bytes);
    // Hands the connection back to the reactor, or ends it.
    void arm();
    void end();

    std::shared_ptr<KX2LocalSocketPrivate> self; // the registration
};

void KX2LocalSocketPrivate::open(const std::shared_ptr<KX2LocalSocketPrivate>& me, bool serveNow)
{
    self = me;
    ++g_openConnections;
    const int fd = descriptor.get();
    // Reads never block (MSG_DONTWAIT); writes block, but give up after
    // the write timeout when the peer does not read.
    const timeval timeout{kWriteTimeoutMs / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    // Who connected decides what the request methods allow, and the
    // peer's uid its share of the served slots; a peer whose credentials
    // cannot be read shares the slots of uid -1.
    const bool peerKnown = KX2Peer::record(fd, environment);
    uid = peerKnown ? KX2Peer::of(environment).uid : uid_t(-1);
    lastActiveMs.store(steadyMs());
    server->enlist(this);
    if (serveNow)
        ready();
    else
        arm();
}

void KX2LocalSocketPrivate::ready()
{
    for (KX2LocalSocketPrivate* next = turn(); next;) {
        next->holdsSlot = true;
        next = next->turn();
    }
}

KX2LocalSocketPrivate* KX2LocalSocketPrivate::turn()
{
    busy.store(true);
    Outcome outcome = Outcome::KeepOpen;
    KX2ServedSlots::Waiter* next = nullptr;
    do {
        lastActiveMs.store(steadyMs());
        // A connection that became ready nearly always brings a request, so
        // the slot is taken before anything is read: without one the request
        // waits unread in the socket, costing no budget, and with one it is
        // answered straight from the read. The slot goes back after what
        // was read is answered, so a connection between requests (or a
        // silent one) never holds a slot.
        if (!holdsSlot) {
            switch (server->servedSlots.acquire(this, stopRequested)) {
            case KX2ServedSlots::Grant::Slot:
                holdsSlot = true;
                break;
            case KX2ServedSlots::Grant::Stopping:
                outcome = Outcome::Close;
                break;
            case KX2ServedSlots::Grant::Queued:
                return nullptr; // the thread that frees a slot serves it; hands off
            }
        }
        if (outcome == Outcome::KeepOpen)
            outcome = serveGuarded();
        if (largeAnswered) {
            largeAnswered = false;
            giveMemoryBack();
        }
        if (holdsSlot)
            next = server->servedSlots.release(uid);
        holdsSlot = false;
        // A waiting connection that got the slot is served next instead.
    } while (outcome == Outcome::KeepOpen && !next && awaitNextRequest());
    busy.store(false);
    // Once armed, another thread may serve (and end) the connection: no
    // member is touched after arm() or end().
    if (outcome == Outcome::Close || stopRequested.load())
        end();
    else
        arm();
    return static_cast<KX2LocalSocketPrivate*>(next);
}

KX2LocalSocketPrivate::Outcome KX2LocalSocketPrivate::serveGuarded()
{
    servingThread.store(std::this_thread::get_id());
    Outcome outcome = Outcome::Close;
    try {
        outcome = serve();
    } catch (const std::bad_alloc&) {
        // Out of memory while serving: this connection ends, the process
        // and the other connections go on.
    }
    servingThread.store(std::thread::id());
    return outcome;
}

void KX2LocalSocketPrivate::dropSpareCapacity()
{
    // A large frame's buffer is not kept once the frame is taken: an idle
    // connection holds at most a small one.
    if (buffer.isEmpty())
        buffer = QByteArray();
    else if (buffer.capacity() > kFreeFrameBytes && buffer.capacity() > 2 * buffer.size())
        buffer.squeeze();
}

KX2LocalSocketPrivate::Outcome KX2LocalSocketPrivate::serve()
{
    char chunk[kReadChunk];
    // A large frame arrives in many reads; a few are taken in one go, then
    // the connection goes back to the set so that others get their turn.
    for (int reads = 0; reads < kReadsPerTurn && !stopRequested.load(); ++reads) {
        const ssize_t got = ::recv(descriptor.get(), chunk, sizeof chunk, MSG_DONTWAIT);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return Outcome::KeepOpen;
        if (got <= 0)
            return Outcome::Close; // the peer has gone (its requests are answered) or stop()
        const Outcome outcome = serveChunk(chunk, int(got));
        if (outcome != Outcome::KeepOpen)
            return outcome;
        if (got < ssize_t(sizeof chunk))
            return Outcome::KeepOpen;
    }
    return Outcome::KeepOpen;
}

bool KX2LocalSocketPrivate::awaitNextRequest()
{
    KX2Reactor* reactor = server->reactor.get();
    // A client that asked once usually closes next (one request per
    // connection): staying for that would hold a thread per such client.
    if (answered < 2 || desynchronised || stopRequested.load() || !reactor || !reactor->beginStay())
        return false;
    // Bounds only this one blocking read; set on the first stay, so that
    // a one-request connection costs no call for it.
    if (!stayTimeoutSet) {
        const timeval stay{0, kStayMs * 1000};
        stayTimeoutSet =
            ::setsockopt(descriptor.get(), SOL_SOCKET, SO_RCVTIMEO, &stay, sizeof stay) == 0;
        if (!stayTimeoutSet) {
            reactor->endStay();
            return false; // an unbounded wait would hold the thread
        }
    }
    // A blocking peek bounded by the receive timeout: it leaves the bytes
    // for serve(), and its timeout, unlike poll's, arms no high-resolution
    // timer, which on a virtual machine costs an exit per request.
    char byte;
    ssize_t got;
    do {
        got = ::recv(descriptor.get(), &byte, 1, MSG_PEEK);
    } while (got < 0 && errno == EINTR);
    reactor->endStay();
    return got >= 0; // data, or the peer hung up (0)
}

void KX2LocalSocketPrivate::arm()
{
    KX2Reactor* reactor = server->reactor.get();
    if (reactor && enlisted) {
        if (!reactor->rearm(descriptor.get(), this))
            end();
        return;
    }
    enlisted = reactor != nullptr;
    if (!reactor || !reactor->add(descriptor.get(), this)) {
        enlisted = false;
        end();
    }
}

void KX2LocalSocketPrivate::end()
{
    if (enlisted)
        server->reactor->remove(descriptor.get());
    enlisted = false;
    releaseReserved();
    buffer = QByteArray();
    ::shutdown(descriptor.get(), SHUT_RDWR);
    server->delist(this);
    {
        KX2MutexLocker lock(mutex);
        running.store(false);
    }
    ended.notify_all();
    // The descriptor closes with the last owner; without a handle that is
    // here, before the connection is counted out, so a caller that sees
    // the count drop finds the descriptor closed.
    const std::shared_ptr<KX2LocalServerPrivate> shared = server;
    {
        const std::shared_ptr<KX2LocalSocketPrivate> last = std::move(self);
    }
    --g_openConnections;
    shared->connectionEnded();
}

KX2LocalSocketPrivate::Outcome KX2LocalSocketPrivate::serveChunk(const char* data, int size)
{
    if (desynchronised)
        return Outcome::KeepOpen;
    Outcome outcome;
    if (buffer.isEmpty()) {
        // Usual case: whole requests in one read. They are taken straight
        // from the read chunk; only an unfinished frame is copied.
        const QByteArray chunk = QByteArray::fromRawData(data, size);
        int taken = 0;
        outcome = parse(chunk, taken);
        if (!desynchronised && taken < size)
            buffer = QByteArray(data + taken, size - taken);
        return outcome;
    }
    buffer.append(data, size);
    // Parsing after every chunk refuses an oversized frame as soon as its
    // header is in, before its body is buffered.
    int taken = 0;
    outcome = parse(buffer, taken);
    // The taken frames leave the buffer once per chunk.
    if (taken > 0 && !desynchronised)
        buffer.remove(0, taken);
    dropSpareCapacity();
    return outcome;
}

KX2LocalSocketPrivate::Outcome KX2LocalSocketPrivate::parse(const QByteArray& source, int& offset)
{
    while (!stopRequested.load()) {
        KX2RpcPacket request;
        const int frameStart = offset;
        const int result = request.fromDatagram(source, offset);
        switch (result) {
        case KX2RpcPacket::Incomplete:
            // Memory follows the bytes that have arrived, not the size a
            // header announces; a large frame must fit the budget first.
            return reserveFor(request.pendingSize) ? Outcome::KeepOpen : Outcome::Close;
        case KX2RpcPacket::TooLarge:
            return Outcome::Close;
        case KX2RpcPacket::Invalid:
            // No frame boundary can be found again in this stream.
            desynchronised = true;
            buffer = QByteArray();
            releaseReserved();
            return Outcome::KeepOpen;
        case KX2RpcPacket::KeepAliveTaken:
            continue;
        default:
            releaseReserved();
            if (request.isEmpty())
                continue;
            largeAnswered = largeAnswered || offset - frameStart >= kGiveBackBytes;
            if (answer(request) == Outcome::Close)
                return Outcome::Close;
        }
    }
    return Outcome::Close;
}

bool KX2LocalSocketPrivate::reserveFor(qint64 frameSize)
{
    if (frameSize <= kFreeFrameBytes || frameSize <= reserved)
        return true;
    if (!server->frameBudget.reserve(uid, frameSize - reserved))
        return false;
    reserved = frameSize;
    return true;
}

void KX2LocalSocketPrivate::releaseReserved()
{
    if (reserved > 0)
        server->frameBudget.release(uid, reserved);
    reserved = 0;
}

KX2LocalSocketPrivate::Outcome KX2LocalSocketPrivate::answer(const KX2RpcPacket& request)
{
    const bool debugging = server->debugging.load();
    if (debugging) {
        const KX2Peer peer = KX2Peer::of(environment);
        if (peer.known)
            PRINTLN_WITHTIME(QStringLiteral("request %1 from uid %2 pid %3")
                                 .arg(kx2Escaped(request.value(QStringLiteral("cmd")).toString()))
                                 .arg(peer.uid)
                                 .arg(peer.pid));
    }
    ++answered;
    environment.renew();
    // "err" comes from the journal, which starts every request at 9999.
    KX2RpcPacket reply;
    server->dispatch(reply, request, &environment);
    environment.toRetObject(reply, debugging);
    reply.writeDatagram(t_outgoing);
    const bool sent = writeAll(t_outgoing);
    largeAnswered = largeAnswered || t_outgoing.size() >= kGiveBackBytes;
    // A large reply's buffer is not kept for the thread's life.
    if (t_outgoing.capacity() > kKeptReplyBytes)
        t_outgoing = QByteArray();
    return sent ? Outcome::KeepOpen : Outcome::Close;
}

bool KX2LocalSocketPrivate::writeAll(const QByteArray& bytes)
{
    qint64 written = 0;
    while (written < bytes.size()) {
        // Blocks at most the send timeout while the peer is not reading;
        // stop() shuts the socket down, which ends the wait at once.
        const ssize_t sent = ::send(descriptor.get(), bytes.constData() + written,
                                    size_t(bytes.size() - written), MSG_NOSIGNAL);
        if (sent > 0)
            written += sent;
        else if (!(sent < 0 && errno == EINTR))
            return false;
    }
    return true;
}

void KX2LocalSocketPrivate::requestStop()
{
    stopRequested.store(true);
    // Makes the connection ready, so the reactor serves it once more and
    // it ends, and wakes a send that waits for the peer.
    ::shutdown(descriptor.get(), SHUT_RDWR);
    // A connection waiting for a slot is disarmed and served by no thread:
    // taken out of the queue, it goes back to the set and ends there.
    if (server->servedSlots.withdraw(this) && !server->reactor->rearm(descriptor.get(), this))
        ready();
}

bool KX2LocalSocketPrivate::hasUnreadBytes() const
{
    int unread = 0;
    return ::ioctl(descriptor.get(), FIONREAD, &unread) == 0 && unread > 0;
}

void kx2OpenConnection(const std::shared_ptr<KX2LocalServerPrivate>& server, int fd, bool serveNow)
{
    const auto connection = std::make_shared<KX2LocalSocketPrivate>(server, fd);
    connection->open(connection, serveNow);
}

KX2LocalSocket::KX2LocalSocket(KX2LocalServer* server, quintptr descriptor)
    : d(std::make_shared<KX2LocalSocketPrivate>(server->d, int(descriptor)))
{
    d->server->connections.fetch_add(1);
    d->open(d, false);
}

KX2LocalSocket::~KX2LocalSocket() = default;

void KX2LocalSocket::stop()
{
    d->requestStop();
    if (std::this_thread::get_id() == d->servingThread.load())
        return;
    KX2MutexLocker lock(d->mutex);
    while (d->running.load())
        lock.wait(d->ended);
}

bool KX2LocalSocket::isRunning() const
{
    return d->running.load();
}

int KX2LocalSocket::activeCount()
{
    return g_openConnections.load();
}
