// The request/reply exchanges bench_rpc times: the service's frames and
// clamd's PING, each read the cheapest way that still takes a whole reply.

#ifndef BENCHPROTOCOLS_H
#define BENCHPROTOCOLS_H

#include <QByteArray>

#include <cstring>
#include <functional>

#include <unistd.h>

#include "kx2rpcpacket.h"

// One request/reply exchange of a protocol on a connected socket:
// readReply takes a reply by its framing only, readChecked also checks
// that it is a whole answer. A client checks its first reply and frames the
// rest, so neither peer is billed for its client's decoding.
struct Protocol
{
    QByteArray request;
    std::function<bool(int, QByteArray&)> readReply;
    std::function<bool(int, QByteArray&)> readChecked;
};

// Takes one whole frame from the head of `buffer`, reading as needed, by
// its header alone. The clamd client below only looks for the reply's
// terminator; decoding every JSON reply here too would bill the service
// for work its client does on the same two cores.
inline bool readFrame(int fd, QByteArray& buffer)
{
    char chunk[16384];
    for (;;) {
        if (buffer.size() >= PACKET_HEADER_SIZE) {
            if (!buffer.startsWith(PACKET_MARK))
                return false;
            quint32 json = 0;
            quint32 attachment = 0;
            memcpy(&json, buffer.constData() + 5, 4);
            memcpy(&attachment, buffer.constData() + 9, 4);
            const qint64 size = qint64(PACKET_HEADER_SIZE) + json + attachment;
            if (size > PACKET_MAX_FRAME)
                return false;
            if (buffer.size() >= size) {
                buffer.remove(0, int(size));
                return true;
            }
        }
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        buffer.append(chunk, int(n));
    }
}

// Reads up to and including `terminator`; with `expected`, the text before
// it must end with that.
inline bool readTerminated(int fd, QByteArray& buffer, char terminator, const char* expected = nullptr)
{
    char chunk[512];
    for (;;) {
        const int end = buffer.indexOf(terminator);
        if (end >= 0) {
            const bool ok = !expected || buffer.left(end).endsWith(expected);
            buffer.remove(0, end + 1);
            return ok;
        }
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n <= 0)
            return false;
        buffer.append(chunk, int(n));
    }
}

// clamd: "zPING\0" answered by "PONG\0" on a fresh connection; inside an
// IDSESSION, "nPING\n" answered by "<id>: PONG\n".
inline Protocol clamdFreshProtocol()
{
    return {QByteArray("zPING", 6),
            [](int fd, QByteArray& b) { return readTerminated(fd, b, '\0'); },
            [](int fd, QByteArray& b) { return readTerminated(fd, b, '\0', "PONG"); }};
}

inline Protocol clamdSessionProtocol()
{
    return {QByteArray("nPING\n"),
            [](int fd, QByteArray& b) { return readTerminated(fd, b, '\n'); },
            [](int fd, QByteArray& b) { return readTerminated(fd, b, '\n', "PONG"); }};
}

#endif // BENCHPROTOCOLS_H
