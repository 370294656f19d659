// KX2LocalSocket: a connected descriptor handed to a KX2LocalServer, to be
// served like an accepted client.
//
// The server serves every connection the same way, one request per turn
// of a worker:
//   - frames are taken from the connection's buffer in order; keep-alive
//     frames and empty objects are skipped;
//   - each request is dispatched through the server's router chain with
//     the connection's environment (a KX2Cabinet whose "protocol" attribute
//     is 128), whose journal is renewed before every request, so each reply
//     carries that request's outcome and time only; the framed reply is
//     written before the next request is taken, so replies go out in
//     request order, one per request;
//   - a frame that announces more than PACKET_MAX_FRAME bytes, or does not
//     fit the server's buffer budget or its peer uid's share of it
//     (KX2FrameBudget), ends the connection without being read;
//   - bytes that are not a frame, or a frame whose JSON does not parse,
//     leave the stream without a way to resynchronise: the connection stays
//     open but gets no further replies, and what arrives afterwards is
//     discarded;
//   - the connection ends when the peer closes it (after the replies to
//     what it sent), when a write fails or does not drain within 30 s,
//     when memory runs out while serving it, or when stop() is called.
//
// Ownership: this object is only a handle; the server owns the connection
// and closes it when it ends. Destroying the handle neither ends nor waits
// for the connection.
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
    // once when the server has shut down).
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
