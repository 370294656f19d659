// The blocking client side of the local socket: KX2LocalServer::localRequest.

#include "kx2localserver.h"

#include "kx2localserver_p.h"
#include "kx2rpcpacket.h"
#include "kx2uniquefd.h"

#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const qint64 kConnectTimeoutMs = 2000;

// Time left until a deadline, as poll() takes it.
class Deadline
{
public:
    explicit Deadline(qint64 ms) : ms(ms) { timer.start(); }
    int remainingMs() const { return int(std::clamp<qint64>(ms - timer.elapsed(), 0, INT_MAX)); }
    bool passed() const { return timer.elapsed() >= ms; }

private:
    QElapsedTimer timer;
    qint64 ms;
};

enum class ReplyState { Waiting, Received, Broken };

// Takes frames from `buffer` until the first non-empty packet.
ReplyState takeReply(QByteArray& buffer, QJsonObject& reply)
{
    for (;;) {
        KX2RpcPacket packet;
        const int result = packet.fromDatagram(buffer);
        if (result == KX2RpcPacket::Incomplete)
            return ReplyState::Waiting;
        if (result == KX2RpcPacket::Invalid || result == KX2RpcPacket::TooLarge)
            return ReplyState::Broken; // nothing readable can follow
        if (result == KX2RpcPacket::Taken && !packet.isEmpty()) {
            reply = packet;
            return ReplyState::Received;
        }
    }
}

// Connects `fd` to the server `name` and makes it non-blocking. A
// blocking connect with a send timeout waits while the server's backlog is
// full, up to `ms`.
bool connectClient(int fd, const QString& name, qint64 ms)
{
    const QByteArray path = QFile::encodeName(kx2SocketPath(name));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (fd < 0 || size_t(path.size()) >= sizeof addr.sun_path)
        return false;
    memcpy(addr.sun_path, path.constData(), size_t(path.size()));
    const timeval timeout{time_t(ms / 1000), suseconds_t((ms % 1000) * 1000)};
    return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0
        && ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0
        && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) == 0;
}

// Waits for `events` on `fd`; false when the deadline passed first.
bool waitFor(int fd, short events, const Deadline& deadline)
{
    for (;;) {
        pollfd pfd{fd, events, 0};
        const int ready = ::poll(&pfd, 1, deadline.remainingMs());
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

bool sendFrame(int fd, const QByteArray& frame, const Deadline& deadline)
{
    qint64 sent = 0;
    while (sent < frame.size()) {
        const ssize_t n =
            ::send(fd, frame.constData() + sent, size_t(frame.size() - sent), MSG_NOSIGNAL);
        if (n > 0) {
            sent += n;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!waitFor(fd, POLLOUT, deadline))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

bool receiveReply(int fd, QJsonObject& reply, const Deadline& deadline)
{
    QByteArray buffer;
    char chunk[16384];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0) {
            buffer.append(chunk, int(n));
            const ReplyState state = takeReply(buffer, reply);
            if (state != ReplyState::Waiting)
                return state == ReplyState::Received;
        } else if (n == 0) {
            return false; // the server closed the connection without a reply
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!waitFor(fd, POLLIN, deadline))
                return false;
        } else if (errno != EINTR) {
            return false;
        }
    }
}

} // namespace

bool KX2LocalServer::localRequest(const QString& name, const QJsonObject& request,
                                  QJsonObject* reply, qint64 timeoutSeconds)
{
    const QByteArray frame = KX2RpcPacket(request).toDatagram();
    const bool awaitReply = reply && timeoutSeconds > 0;
    // Connecting counts against the caller's deadline; without a reply to
    // wait for, sending gets the connection timeout.
    const Deadline deadline(awaitReply ? std::min<qint64>(timeoutSeconds, LLONG_MAX / 1000) * 1000
                                       : kConnectTimeoutMs);
    const KX2UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const qint64 connectMs = std::min<qint64>(kConnectTimeoutMs, deadline.remainingMs());
    if (connectMs <= 0 || !connectClient(socket.get(), name, connectMs))
        return false;
    if (!sendFrame(socket.get(), frame, deadline))
        return false;
    if (!awaitReply)
        return true;
    QJsonObject received;
    if (!receiveReply(socket.get(), received, deadline))
        return false;
    *reply = received;
    return true;
}
