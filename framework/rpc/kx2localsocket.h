// KX2LocalSocket: one accepted connection of a KX2LocalServer.
//
// The constructor takes over the connected descriptor and hands the
// connection to the server's reactor; whenever data arrives, one reactor
// thread at a time serves it:
//   - reads whatever arrives and takes frames from the connection's buffer,
//     keeping its position so that many small frames cost linear time;
//   - skips keep-alive frames and empty objects;
//   - takes one of the server's served-request slots before it answers
//     (KX2ServedSlots: a cap on requests served at once and a fair share
//     per peer uid). Without one the request stays unread at the head of
//     the buffer and the connection waits, disarmed, until a slot is
//     handed to it; the slot goes back once what was read is answered;
//   - for every other frame dispatches the request through the server's
//     router chain with the connection's environment (a KX2Cabinet whose
//     "protocol" attribute is 128). The environment's journal is renewed
//     before every request, so each reply carries that request's outcome
//     and time only. It converts the journal into the reply keys and writes
//     the framed reply before reading the next request, so replies go out
//     in request order, one per request;
//   - after the answers, stays with the connection on the same thread for
//     a moment (KX2Reactor::beginStay()) and serves the client's next
//     request at once if it comes, holding no slot while it waits: a busy
//     client gets a thread of its own, the others are served from the set;
//   - ends when the peer closes the connection, when a write fails or does
//     not drain within 30 s, when a frame announces more than
//     PACKET_MAX_FRAME bytes or does not fit the server's buffer budget or
//     its peer uid's share of it (KX2FrameBudget; the connection is closed
//     without reading the frame), when memory
//     runs out while serving it, or when stop() is called.
// Bytes that are not a frame, or a frame whose JSON does not parse, leave
// the stream without a way to resynchronise: the connection stays open but
// gets no further replies, and what arrives afterwards is discarded.
//
// An idle connection waits in the reactor's epoll set, holds no slot, no
// reply buffer (replies are written from a buffer of the serving thread)
// and costs no CPU time; when descriptors run short the server closes the
// one idle for longest; stop() shuts the descriptor down, which makes the reactor serve
// the connection once more, and it ends.
//
// Ownership: this object is only a handle. The connection's registration
// in the reactor holds its state (descriptor, buffer, environment) and the
// server's shared dispatch state, and releases them when it ends;
// destroying the handle neither ends nor waits for the connection.
//
// Threads: construct on any thread; stop() and isRunning() may be called
// from any thread while the handle exists.

#ifndef KX2LOCALSOCKET_H
#define KX2LOCALSOCKET_H

#include <QObject>

#include <memory>

class KX2LocalServer;
class KX2LocalSocketPrivate;

class KX2LocalSocket : public QObject
{
    Q_OBJECT
public:
    // Takes ownership of `descriptor` (closed when the connection ends, or at
    // once when the reactor refuses it).
    KX2LocalSocket(KX2LocalServer* server, quintptr descriptor);
    ~KX2LocalSocket() override;

    // Asks the connection to end and waits until it has; it is
    // closed afterwards. Returns at once when called from a request method
    // serving this connection (it ends after that request).
    void stop();
    bool isRunning() const;

    // Number of connections currently served in this process.
    static int activeCount();

private:
    // Shared with the connection's own registration in the reactor, which
    // may outlive this handle until the connection has ended.
    const std::shared_ptr<KX2LocalSocketPrivate> d;
};

#endif // KX2LOCALSOCKET_H
