#include "kx2localsocket.h"

#include "kx2cabinet.h"
#include "kx2journals.h"
#include "kx2localserver.h"
#include "kx2localserver_p.h"
#include "kx2rpcpacket.h"

#include <QElapsedTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int kReadChunk = 64 * 1024;
const int kWriteTimeoutMs = 30000;
const int kProtocol = 128;

std::atomic<int> g_activeWorkers{0};

} // namespace

class KX2LocalSocketPrivate
{
public:
    KX2LocalSocketPrivate(std::shared_ptr<KX2LocalServerPrivate> server, int descriptor)
        : server(std::move(server))
        , descriptor(descriptor)
        , wakeup(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    {
        environment.insert(QStringLiteral("protocol"), kProtocol);
    }

    // The worker: serves the connection until it ends, then marks it ended.
    void run();
    void requestStop();
    void markEnded();

    // Written once before the worker starts; read by both sides.
    const std::shared_ptr<KX2LocalServerPrivate> server;
    const KX2UniqueFd descriptor;
    const KX2UniqueFd wakeup; // stop() writes to it to interrupt poll()
    std::thread::id workerId;

    std::atomic<bool> running{true};
    std::atomic<bool> stopRequested{false};
    // `ended` is signalled under `mutex` once `running` has become false.
    std::mutex mutex;
    std::condition_variable ended;

    // Worker only.
    QByteArray buffer;
    qint32 pendingSize = 0;
    bool desynchronised = false;
    KX2Cabinet environment;

private:
    enum class Outcome { KeepOpen, Close };

    Outcome readAvailable();
    Outcome parse();
    Outcome answer(const KX2RpcPacket& request);
    bool writeAll(const QByteArray& bytes);
};

void KX2LocalSocketPrivate::run()
{
    ::fcntl(descriptor.get(), F_SETFL, ::fcntl(descriptor.get(), F_GETFL) | O_NONBLOCK);
    while (!stopRequested.load()) {
        pollfd fds[2] = {{descriptor.get(), POLLIN, 0}, {wakeup.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents != 0)
            break;
        if (fds[0].revents != 0 && readAvailable() == Outcome::Close)
            break;
    }
    ::shutdown(descriptor.get(), SHUT_RDWR);
}

KX2LocalSocketPrivate::Outcome KX2LocalSocketPrivate::readAvailable()
{
    char chunk[kReadChunk];
    for (;;) {
        const ssize_t got = ::read(descriptor.get(), chunk, sizeof chunk);
        if (got > 0) {
            if (desynchronised)
                continue;
            buffer.append(chunk, int(got));
            // Parsing after every chunk refuses an oversized frame as soon
            // as its header is in, before its body is buffered.
            if (parse() == Outcome::Close)
                return Outcome::Close;
            continue;
        }
        if (got == 0)
            return Outcome::Close; // the peer has gone; its requests are answered
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? Outcome::KeepOpen : Outcome::Close;
    }
}

KX2LocalSocketPrivate::Outcome KX2LocalSocketPrivate::parse()
{
    while (!stopRequested.load()) {
        // The frame at the head is only parsed once all of it is here.
        if (buffer.size() < pendingSize)
            return Outcome::KeepOpen;
        KX2RpcPacket request;
        const int result = request.fromDatagram(buffer);
        pendingSize = request.pendingSize;
        switch (result) {
        case KX2RpcPacket::Incomplete: {
            // Memory follows the bytes that have arrived, not the size a
            // header announces: a bare 16-byte header must not commit up to
            // PACKET_MAX_FRAME per connection. Capping the doubling at the
            // frame size spares a large frame the final over-allocation.
            const int target = int(std::min<qint64>(pendingSize, 2 * qint64(buffer.size())));
            if (target > buffer.capacity())
                buffer.reserve(target);
            return Outcome::KeepOpen;
        }
        case KX2RpcPacket::TooLarge:
            return Outcome::Close;
        case KX2RpcPacket::Invalid:
            // No frame boundary can be found again in this stream.
            desynchronised = true;
            buffer = QByteArray();
            return Outcome::KeepOpen;
        case KX2RpcPacket::KeepAliveTaken:
            continue;
        default:
            if (request.isEmpty())
                continue;
            if (answer(request) == Outcome::Close)
                return Outcome::Close;
        }
    }
    return Outcome::Close;
}

KX2LocalSocketPrivate::Outcome KX2LocalSocketPrivate::answer(const KX2RpcPacket& request)
{
    KX2RpcPacket reply;
    reply.insert(QStringLiteral("err"), KX2ErrorCode::NoResult);
    server->dispatch(reply, request, &environment);
    environment.toRetObject(reply, server->debugging.load());
    return writeAll(reply.toDatagram()) ? Outcome::KeepOpen : Outcome::Close;
}

bool KX2LocalSocketPrivate::writeAll(const QByteArray& bytes)
{
    QElapsedTimer timer;
    timer.start();
    qint64 written = 0;
    while (written < bytes.size()) {
        const ssize_t sent = ::send(descriptor.get(), bytes.constData() + written,
                                    size_t(bytes.size() - written), MSG_NOSIGNAL);
        if (sent > 0) {
            written += sent;
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false; // the peer has gone
        // The peer is not reading; wait for room, for stop(), or give up.
        const qint64 left = kWriteTimeoutMs - timer.elapsed();
        if (left <= 0)
            return false;
        pollfd fds[2] = {{descriptor.get(), POLLOUT, 0}, {wakeup.get(), POLLIN, 0}};
        if (::poll(fds, 2, int(left)) < 0 && errno != EINTR)
            return false;
        if (fds[1].revents != 0)
            return false;
    }
    return true;
}

void KX2LocalSocketPrivate::requestStop()
{
    stopRequested.store(true);
    const uint64_t one = 1;
    // A full counter already wakes the worker; nothing else can fail here.
    [[maybe_unused]] const ssize_t ignored = ::write(wakeup.get(), &one, sizeof one);
}

void KX2LocalSocketPrivate::markEnded()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        running.store(false);
    }
    ended.notify_all();
}

KX2LocalSocket::KX2LocalSocket(KX2LocalServer* server, quintptr descriptor)
    : d(std::make_shared<KX2LocalSocketPrivate>(server->d, int(descriptor)))
{
    if (d->wakeup.get() < 0) {
        d->markEnded();
        return;
    }
    try {
        ++g_activeWorkers;
        std::thread worker([state = d] {
            state->run();
            state->markEnded();
            --g_activeWorkers;
        });
        d->workerId = worker.get_id();
        worker.detach();
    } catch (const std::system_error&) {
        --g_activeWorkers;
        d->markEnded(); // the descriptor is closed with the state
    }
}

KX2LocalSocket::~KX2LocalSocket() = default;

void KX2LocalSocket::stop()
{
    d->requestStop();
    if (std::this_thread::get_id() == d->workerId)
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
