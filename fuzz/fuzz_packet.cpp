// libFuzzer target for the two decoders that read bytes from outside:
// the frame reader (KX2RpcPacket::fromDatagram) and the tagged value
// decoder (fromCompactValue / fromCompactObject).
//
// Besides "no crash, no sanitizer report" it checks the decoders' contracts:
// a result other than Taken or KeepAliveTaken leaves the buffer untouched,
// a taken packet frames and reads back to the same object, and a decoded
// tagged value re-encodes to bytes that decode completely to the same
// encoding.

#include "kx2rpcpacket.h"

#include <QJsonObject>
#include <QJsonValue>

#include <cstdint>
#include <cstdlib>

namespace {

void require(bool condition)
{
    if (!condition)
        abort();
}

void fuzzFrames(const QByteArray& input)
{
    QByteArray buffer = input;
    for (int round = 0; round < 64; ++round) {
        const QByteArray before = buffer;
        KX2RpcPacket packet;
        const int result = packet.fromDatagram(buffer);
        if (result == KX2RpcPacket::KeepAliveTaken) {
            require(buffer.size() == before.size() - 4 && packet.isEmpty());
            continue;
        }
        if (result != KX2RpcPacket::Taken) {
            require(buffer == before);
            require(result == KX2RpcPacket::Incomplete || result == KX2RpcPacket::Invalid
                    || result == KX2RpcPacket::TooLarge);
            return;
        }
        require(buffer.size() < before.size());
        QByteArray frame = packet.toDatagram();
        KX2RpcPacket again;
        const int reread = again.fromDatagram(frame);
        require(frame.isEmpty());
        if (packet.isEmpty()) {
            require(reread == KX2RpcPacket::KeepAliveTaken);
        } else {
            require(reread == KX2RpcPacket::Taken);
            require(static_cast<const QJsonObject&>(again) == packet);
            require(again.attachment == packet.attachment);
        }
    }
}

void requireStableEncoding(const QJsonValue& value)
{
    const QByteArray encoded = KX2RpcPacket::toCompactValue(value);
    if (encoded.isEmpty())
        return;
    QByteArray rest = encoded.mid(1);
    QJsonValue decoded;
    require(KX2RpcPacket::fromCompactValue(decoded, encoded.at(0), rest));
    require(rest.isEmpty());
    require(KX2RpcPacket::toCompactValue(decoded) == encoded);
}

void fuzzTagged(const QByteArray& input)
{
    if (input.isEmpty())
        return;
    QByteArray buffer = input.mid(1);
    QJsonValue value;
    const int before = buffer.size();
    if (KX2RpcPacket::fromCompactValue(value, input.at(0), buffer))
        requireStableEncoding(value);
    require(buffer.size() <= before);

    QByteArray members = input;
    const QJsonObject object = KX2RpcPacket::fromCompactObject(members);
    require(members.size() <= input.size());
    requireStableEncoding(object);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char*>(data), int(size));
    fuzzFrames(input);
    fuzzTagged(input);
    return 0;
}
