// KX2RpcPacket: the unit that travels over the local socket.
//
// A packet is a JSON object (the request or the reply) plus optional raw
// attachment bytes. It knows the byte framing that delimits packets in a
// stream, the keep-alive frame, the keys echoed from a request into its
// reply, the hop list "routers", the compact JSON text and a tagged value
// encoding.
//
// Frame (integers little-endian):
//   0  3  PACKET_MARK (00 'k' 'x')
//   3  1  0x01
//   4  1  0x01
//   5  4  J = length of the JSON text
//   9  4  A = length of the attachment
//  13  3  FF FF FF
//  16  J  compact JSON text of the object, UTF-8
//  16+J A attachment
// A packet whose object is empty travels as the 4 bytes PACKET_KEEPALIVE
// alone, and a received frame with an empty object counts as a keep-alive.
//
// Frames announcing more than PACKET_MAX_FRAME bytes are refused
// (fromDatagram() returns TooLarge) so a peer cannot make a reader buffer
// gigabytes on the strength of a 16-byte header.
//
// A packet is a value: copying copies the object, the attachment and
// pendingSize; assigning a plain QJsonObject replaces only the object part.
// Nothing here is shared between threads; nothing can crash on malformed
// input, which only yields result codes or failed decodes.

#ifndef KX2RPCPACKET_H
#define KX2RPCPACKET_H

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QMetaType>
#include <QString>

// 00 'k' 'x': the first bytes of every frame.
extern const QByteArray PACKET_MARK;
// 00 'k' 'a' 00: the keep-alive frame.
extern const QByteArray PACKET_KEEPALIVE;

// Largest frame (header, JSON text and attachment) a reader accepts.
constexpr qint64 PACKET_MAX_FRAME = 64 * 1024 * 1024;
// Size of the fixed frame header.
constexpr int PACKET_HEADER_SIZE = 16;

class KX2RpcPacket : public QJsonObject
{
public:
    // Results of fromDatagram().
    enum DatagramResult : int {
        Taken = 0,          // a packet was taken from the buffer
        KeepAliveTaken = 1, // a keep-alive was taken (object emptied)
        Incomplete = 2,     // not enough bytes yet; buffer unchanged
        TooLarge = 3,       // the header announces more than PACKET_MAX_FRAME
        Invalid = 4         // the head is not a valid frame; buffer unchanged
    };

    KX2RpcPacket() = default;
    KX2RpcPacket(const QJsonObject& object);
    KX2RpcPacket(const KX2RpcPacket&) = default;
    KX2RpcPacket& operator=(const KX2RpcPacket&) = default;
    KX2RpcPacket& operator=(const QJsonObject& object);

    // {cmd, err} plus "params" when params is non-empty.
    static KX2RpcPacket make(const QString& cmd, int err,
                             const QJsonObject& params = QJsonObject());
    static QByteArray keepAlive();
    bool isKeepAlive() const;

    // True for the keys echoed from a request into its reply: seq, cno,
    // cmd, routers and every key beginning with "_".
    static bool isEchoKey(const QString& key);
    // Copies every echo key of `in` into `out`, replacing same-named keys.
    static void copyResponsed(QJsonObject& out, const QJsonObject& in);
    // As above, then out["err"] = err and out["errmsg"] = errmsg when
    // errmsg is non-empty.
    static void copyResponsed(QJsonObject& out, const QJsonObject& in, int err,
                              const QString& errmsg);
    static KX2RpcPacket copyResponsed(const QJsonObject& in, int err, const QString& errmsg);
    // A packet whose object is exactly the echo keys of `in`.
    static KX2RpcPacket copyResponsed(const QJsonObject& in);

    // The object becomes exactly the echo keys of `in`.
    void shrink(const QJsonObject& in);
    // Keeps only seq, cno, cmd and keys beginning with "_" (drops routers).
    void shrink();

    // Pops the last hop {fd, session} of obj["routers"]; removes the key
    // when the list becomes empty. False when there is no hop.
    static bool takeRouter(int& fd, int& session, QJsonObject& obj);

    // The frame of this packet, or PACKET_KEEPALIVE when the object is empty.
    QByteArray toDatagram() const;
    // The same frame written into `frame`, replacing its contents; a
    // buffer used for every reply keeps its capacity between them.
    void writeDatagram(QByteArray& frame) const;
    // Takes one frame from the head of `buffer`; returns a DatagramResult.
    // JSON text whose strings hold raw control characters, escapes outside
    // the grammar, malformed UTF-8 or unpaired surrogate escapes is Invalid
    // (so is such text for fromCompact()): every packet taken frames and
    // reads back to the same object.
    // The attachment is cleared first. pendingSize is the total size of an
    // incomplete frame once its header has arrived, 0 otherwise.
    int fromDatagram(QByteArray& buffer);
    // As above for the frame that starts at `offset` of `buffer`, which is
    // left as it is: a taken frame (or keep-alive) advances `offset` past
    // it instead. A reader that keeps its position this way consumes many
    // small frames in linear time, and removes the consumed head once.
    int fromDatagram(const QByteArray& buffer, int& offset);

    QByteArray toCompact() const;
    // 0 and the object replaced when `text` is a JSON object; 4 otherwise.
    int fromCompact(const QByteArray& text);

    // Tagged value encoding: ':' array, '>' object, '|' string, '=' number,
    // '?' bool, each terminated by 0x00; null and undefined write nothing
    // (an object member holding one is left out, key included).
    static QByteArray toCompactValue(const QJsonValue& value);
    // Decodes the value that follows the already removed `tag` at the head
    // of `buffer`, consuming the bytes it read. False on malformed input.
    static bool fromCompactValue(QJsonValue& out, char tag, QByteArray& buffer);
    // Decodes object members (the '>' tag already removed) up to and
    // including the terminating 0x00; on malformed input returns the
    // members decoded so far.
    static QJsonObject fromCompactObject(QByteArray& buffer);

    QByteArray attachment;
    qint32 pendingSize = 0;
};

Q_DECLARE_METATYPE(KX2RpcPacket)

#endif // KX2RPCPACKET_H
