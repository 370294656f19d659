#include "kx2localsocket.h"

#include "kx2cabinet.h"
#include "kx2journals.h"
#include "kx2localserver.h"
#include "kx2localserver_p.h"
#include "kx2rpcpacket.h"
#include "kx2trace.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int kReadChunk = 64 * 1024;
const int kWriteTimeoutMs = 30000;
const int kProtocol = 128;
// Frames up to this size are buffered without drawing on the server's
// budget; with the read chunk this bounds what a connection holds on its
// own.
const qint64 kFreeFrameBytes = 64 * 1024;

std::atomic<int> g_activeWorkers{0};

} // namespace

class KX2LocalSocketPrivate
{
public:
    KX2LocalSocketPrivate(std::shared_ptr<KX2LocalServerPrivate> server, int descriptor)
        : server(std::move(server))
        , descriptor(descriptor)
    {
        environment.insert(QStringLiteral("protocol"), kProtocol);
    }

    // The worker: serves the connection until it ends.
    void run();
    void requestStop();
    void markEnded();

    // Written once before the worker starts; read by both sides.
    const std::shared_ptr<KX2LocalServerPrivate> server;
    const KX2UniqueFd descriptor;
    std::atomic<std::thread::id> workerId{};

    std::atomic<bool> running{true};
    std::atomic<bool> stopRequested{false};
    // `ended` is signalled under `mutex` once `running` has become false.
    std::mutex mutex;
    std::condition_variable ended;

    // Worker only.
    QByteArray buffer;     // the unfinished frame; empty between requests
    qint64 reserved = 0;   // budget bytes held for the frame being received
    bool desynchronised = false;
    KX2Cabinet environment;
    ucred peer{};
    bool peerKnown = false;

private:
    enum class Outcome { KeepOpen, Close };

    Outcome serveChunk(const char* data, int size);
    // Takes the frames of `source` from `offset` on, answering requests.
    Outcome parse(const QByteArray& source, int& offset);
    bool reserveFor(qint64 frameSize);
    void releaseReserved();
    Outcome answer(const KX2RpcPacket& request);
    bool writeAll(const QByteArray& bytes);
};

void KX2LocalSocketPrivate::run()
{
    const int fd = descriptor.get();
    // Blocking reads (accepted descriptors are blocking; a handed-in one is
    // made so by KX2LocalSocket); writes give up after the write timeout.
    const timeval timeout{kWriteTimeoutMs / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (server->debugging.load()) {
        socklen_t length = sizeof peer;
        peerKnown = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0;
    }
    char chunk[kReadChunk];
    try {
        while (!stopRequested.load()) {
            const ssize_t got = ::read(fd, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break; // the peer has gone (its requests are answered) or stop()
            if (serveChunk(chunk, int(got)) == Outcome::Close)
                break;
        }
    } catch (const std::bad_alloc&) {
        // Out of memory while serving: this connection ends, the process
        // and the other connections go on.
    }
    releaseReserved();
    buffer = QByteArray();
    ::shutdown(fd, SHUT_RDWR);
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
    return outcome;
}

KX2LocalSocketPrivate::Outcome KX2LocalSocketPrivate::parse(const QByteArray& source, int& offset)
{
    while (!stopRequested.load()) {
        KX2RpcPacket request;
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
    if (!server->reserve(frameSize - reserved))
        return false;
    reserved = frameSize;
    return true;
}

void KX2LocalSocketPrivate::releaseReserved()
{
    if (reserved > 0)
        server->release(reserved);
    reserved = 0;
}

KX2LocalSocketPrivate::Outcome KX2LocalSocketPrivate::answer(const KX2RpcPacket& request)
{
    const bool debugging = server->debugging.load();
    if (debugging && peerKnown) {
        PRINTLN_WITHTIME(QStringLiteral("request %1 from uid %2 pid %3")
                             .arg(request.value(QStringLiteral("cmd")).toString())
                             .arg(peer.uid)
                             .arg(peer.pid));
    }
    environment.renew();
    KX2RpcPacket reply;
    reply.insert(QStringLiteral("err"), KX2ErrorCode::NoResult);
    server->dispatch(reply, request, &environment);
    environment.toRetObject(reply, debugging);
    return writeAll(reply.toDatagram()) ? Outcome::KeepOpen : Outcome::Close;
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
    // Wakes a read or send the worker is blocked in.
    ::shutdown(descriptor.get(), SHUT_RDWR);
}

void KX2LocalSocketPrivate::markEnded()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        running.store(false);
    }
    ended.notify_all();
}

void kx2ServeConnection(const std::shared_ptr<KX2LocalServerPrivate>& server, int fd)
{
    ++g_activeWorkers;
    {
        KX2LocalSocketPrivate connection(server, fd);
        connection.workerId.store(std::this_thread::get_id());
        connection.run();
    } // the descriptor is closed here, before the slot is given back
    --g_activeWorkers;
    server->connectionEnded();
}

KX2LocalSocket::KX2LocalSocket(KX2LocalServer* server, quintptr descriptor)
    : d(std::make_shared<KX2LocalSocketPrivate>(server->d, int(descriptor)))
{
    const int fd = int(descriptor);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    ++g_activeWorkers;
    d->server->connections.fetch_add(1);
    const bool started = d->server->pool.run([state = d] {
        state->workerId.store(std::this_thread::get_id());
        state->run();
        state->markEnded();
        KX2LocalServerPrivate& shared = *state->server;
        --g_activeWorkers;
        shared.connectionEnded();
    });
    if (!started) {
        d->markEnded(); // the descriptor is closed with the state
        --g_activeWorkers;
        d->server->connectionEnded();
    }
}

KX2LocalSocket::~KX2LocalSocket() = default;

void KX2LocalSocket::stop()
{
    d->requestStop();
    if (std::this_thread::get_id() == d->workerId.load())
        return;
    std::unique_lock<std::mutex> lock(d->mutex);
    d->ended.wait(lock, [this] { return !d->running.load(); });
}

bool KX2LocalSocket::isRunning() const
{
    return d->running.load();
}

int KX2LocalSocket::activeCount()
{
    return g_activeWorkers.load();
}
