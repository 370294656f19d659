#include "kx2localsocket.h"

#include "kx2escape.h"
#include "kx2localserver.h"
#include "kx2localserver_p.h"
#include "kx2peer.h"
#include "kx2rpcpacket.h"
#include "kx2trace.h"

#include <cerrno>
#include <new>

#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace {

const int kReadChunk = 64 * 1024;
// Reads of one large frame in one turn; then the connection takes its
// place in the queue again behind the others.
const int kReadsPerTurn = 16;
const int kProtocol = 128;
// Frames up to this size are buffered without drawing on the server's
// budget; with the read chunk this bounds what a connection holds on its
// own.
const qint64 kFreeFrameBytes = 64 * 1024;
// Reply buffers up to this size are kept for the thread's next reply.
const int kKeptReplyBytes = 16 * 1024;
// After a request or reply this large, the freed memory goes back to the
// system: the allocator would otherwise keep the pages of its parse tree
// and lists, the process's size at its largest request.
const qint64 kGiveBackBytes = 1024 * 1024;

// The reply being sent: written whole before its worker moves on, so one
// buffer per worker serves every connection.
thread_local QByteArray t_outgoing;

void giveMemoryBack()
{
#ifdef __GLIBC__
    ::malloc_trim(0);
#endif
}

bool writeAll(int fd, const QByteArray& bytes)
{
    qint64 written = 0;
    while (written < bytes.size()) {
        // Blocks at most the send timeout while the peer is not reading;
        // stopping the connection shuts the socket down, which ends the
        // wait at once.
        const ssize_t sent = ::send(fd, bytes.constData() + written,
                                    size_t(bytes.size() - written), MSG_NOSIGNAL);
        if (sent > 0)
            written += sent;
        else if (!(sent < 0 && errno == EINTR))
            return false;
    }
    return true;
}

} // namespace

KX2Connection::KX2Connection(KX2LocalServerPrivate* server, int fd, quint64 id)
    : server(server), id(id), fd(fd)
{
    environment.insert(QStringLiteral("protocol"), kProtocol);
}

// One request per turn: a request already buffered is answered without
// reading; otherwise what has arrived is read until a frame is whole.
KX2Turn KX2Connection::serve()
{
    try {
        for (int reads = 0;; ++reads) {
            if (stopRequested.load())
                return KX2Turn::End;
            KX2RpcPacket request;
            switch (nextFrame(request)) {
            case Frame::Request: {
                const bool sent = answer(request);
                if (largeFrame) {
                    // Its parse tree goes before the memory is given back.
                    request = KX2RpcPacket();
                    largeFrame = false;
                    giveMemoryBack();
                }
                if (!sent)
                    return KX2Turn::End;
                if (offset < buffer.size())
                    return KX2Turn::Again;
                // An idle connection keeps no buffer.
                buffer = QByteArray();
                offset = 0;
                return KX2Turn::Wait;
            }
            case Frame::End:
                return KX2Turn::End;
            case Frame::NeedBytes:
                break;
            }
            if (reads == kReadsPerTurn)
                return KX2Turn::Again;
            char chunk[kReadChunk];
            const ssize_t got = ::recv(fd.get(), chunk, sizeof chunk, MSG_DONTWAIT);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return KX2Turn::Wait;
            if (got <= 0)
                return KX2Turn::End; // the peer has gone (its requests are answered)
            if (!desynchronised)
                buffer.append(chunk, int(got));
        }
    } catch (const std::bad_alloc&) {
        // Out of memory while serving: this connection ends, the process
        // and the other connections go on.
        return KX2Turn::End;
    }
}

KX2Connection::Frame KX2Connection::nextFrame(KX2RpcPacket& request)
{
    while (!desynchronised) {
        int at = offset;
        switch (request.fromDatagram(buffer, at)) {
        case KX2RpcPacket::Incomplete:
            compact();
            // Memory follows the bytes that have arrived, not the size a
            // header announces; a large frame must fit the budget first.
            return reserveFor(request.pendingSize) ? Frame::NeedBytes : Frame::End;
        case KX2RpcPacket::TooLarge:
            return Frame::End;
        case KX2RpcPacket::Invalid:
            // No frame boundary can be found again in this stream: what
            // follows is read and dropped.
            desynchronised = true;
            buffer = QByteArray();
            offset = 0;
            releaseReserved();
            return Frame::NeedBytes;
        case KX2RpcPacket::KeepAliveTaken:
            offset = at;
            continue;
        default:
            largeFrame = at - offset >= kGiveBackBytes;
            offset = at;
            releaseReserved();
            if (request.isEmpty())
                continue;
            if (largeFrame)
                compact(); // the large frame's bytes go before it is answered
            return Frame::Request;
        }
    }
    return Frame::NeedBytes;
}

// Drops the frames taken so far; an empty buffer keeps no memory, and a
// large one shrinks once its frame is gone.
void KX2Connection::compact()
{
    if (offset == 0)
        return;
    if (offset >= buffer.size())
        buffer = QByteArray();
    else
        buffer.remove(0, offset);
    offset = 0;
    if (buffer.capacity() > kFreeFrameBytes && buffer.capacity() > 2 * buffer.size())
        buffer.squeeze();
}

bool KX2Connection::reserveFor(qint64 frameSize)
{
    if (frameSize <= kFreeFrameBytes || frameSize <= reserved)
        return true;
    if (!server->frameBudget.reserve(uid, frameSize - reserved))
        return false;
    reserved = frameSize;
    return true;
}

void KX2Connection::releaseReserved()
{
    if (reserved > 0)
        server->frameBudget.release(uid, reserved);
    reserved = 0;
}

// Dispatches one request with the connection's environment, whose journal
// is renewed first (each reply carries that request's outcome and time
// only), and writes its framed reply.
bool KX2Connection::answer(const KX2RpcPacket& request)
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
    environment.renew();
    KX2RpcPacket reply;
    server->rootRouter.dispatch(reply, request, &environment);
    environment.toRetObject(reply, debugging);
    reply.writeDatagram(t_outgoing);
    repliedMs = kx2SteadyMs();
    const bool sent = writeAll(fd.get(), t_outgoing);
    largeFrame = largeFrame || t_outgoing.size() >= kGiveBackBytes;
    if (t_outgoing.capacity() > kKeptReplyBytes)
        t_outgoing = QByteArray();
    return sent;
}

bool KX2Connection::hasUnreadBytes() const
{
    int unread = 0;
    return ::ioctl(fd.get(), FIONREAD, &unread) == 0 && unread > 0;
}

// ---------------------------------------------------------------------------

class KX2LocalSocketPrivate
{
public:
    std::shared_ptr<KX2LocalServerPrivate> server;
    quint64 id = 0; // 0: never opened
};

KX2LocalSocket::KX2LocalSocket(KX2LocalServer* server, quintptr descriptor)
    : d(std::make_shared<KX2LocalSocketPrivate>())
{
    d->server = server->d;
    const std::shared_ptr<KX2Connection> connection = d->server->adopt(int(descriptor), true);
    if (connection)
        d->id = connection->id;
}

KX2LocalSocket::~KX2LocalSocket() = default;

void KX2LocalSocket::stop()
{
    if (d->id != 0)
        d->server->stopConnection(d->id);
}

bool KX2LocalSocket::isRunning() const
{
    return d->id != 0 && d->server->isOpen(d->id);
}

int KX2LocalSocket::activeCount()
{
    return kx2OpenConnectionCount();
}
