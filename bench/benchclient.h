// A raw client of the service's local socket for the benchmarks: connect,
// send a frame, read one reply frame. Kept apart from KX2LocalServer's own
// client so that a benchmark can hold connections open and time each
// exchange itself.

#ifndef BENCHCLIENT_H
#define BENCHCLIENT_H

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstring>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "kx2localserver_p.h"
#include "kx2rpcpacket.h"
#include "kx2uniquefd.h"

// A connected socket, or an invalid one.
inline KX2UniqueFd connectTo(const QString& name)
{
    // A name without a leading '/' lives in the temporary directory.
    const QByteArray path = QFile::encodeName(kx2SocketPath(name));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (size_t(path.size()) >= sizeof addr.sun_path)
        return KX2UniqueFd();
    std::memcpy(addr.sun_path, path.constData(), size_t(path.size()));
    KX2UniqueFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return KX2UniqueFd();
    return socket;
}

inline bool sendAll(int fd, const QByteArray& bytes)
{
    qint64 sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

// Blocks until one non-empty reply frame has been read from `fd` (into
// `reply` when given); false when the connection ends, the frame is bad, or
// nothing arrives for `timeoutMs` (-1: no limit).
inline bool readReply(int fd, QByteArray& buffer, KX2RpcPacket* reply = nullptr, int timeoutMs = -1)
{
    char chunk[16384];
    for (;;) {
        KX2RpcPacket packet;
        const int result = packet.fromDatagram(buffer);
        if (result == KX2RpcPacket::Taken && !packet.isEmpty()) {
            if (reply)
                *reply = packet;
            return true;
        }
        if (result == KX2RpcPacket::Invalid || result == KX2RpcPacket::TooLarge)
            return false;
        if (result == KX2RpcPacket::Incomplete) {
            pollfd ready{fd, POLLIN, 0};
            if (timeoutMs >= 0 && ::poll(&ready, 1, timeoutMs) != 1)
                return false;
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0)
                return false;
            buffer.append(chunk, int(n));
        }
    }
}

#endif // BENCHCLIENT_H
