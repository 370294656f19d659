#include "kx2rpcpacket.h"

#include "kx2compactjson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QtEndian>

#include <cstring>

// Literals keep their bytes in static storage, so a detached connection
// worker still reading frames while the process exits never meets the
// freed heap copy a constructed QByteArray would leave behind.
const QByteArray PACKET_MARK = QByteArrayLiteral("\x00kx");
const QByteArray PACKET_KEEPALIVE = QByteArrayLiteral("\x00ka\x00");

namespace {

const char kArrayTag = ':';
const char kObjectTag = '>';
const char kStringTag = '|';
const char kNumberTag = '=';
const char kBoolTag = '?';

// Nesting bound of the tagged decoder: input comes from outside, and
// unbounded recursion would let a few kilobytes of ':' exhaust the stack.
const int kMaxCompactDepth = 256;

bool isTag(char c)
{
    return c == kArrayTag || c == kObjectTag || c == kStringTag || c == kNumberTag || c == kBoolTag;
}

void appendLittleEndian32(QByteArray& out, quint32 value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    out.append(bytes, 4);
}

quint32 readLittleEndian32(const QByteArray& buffer, int offset)
{
    return qFromLittleEndian<quint32>(buffer.constData() + offset);
}

// Length of the well-formed UTF-8 sequence at `p` (at most `left` bytes),
// or 0: no overlong forms, no surrogates, nothing beyond U+10FFFF.
int utf8SequenceLength(const unsigned char* p, int left)
{
    const unsigned char lead = p[0];
    int length;
    unsigned char low = 0x80, high = 0xBF; // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (left < length || p[1] < low || p[1] > high)
        return 0;
    for (int i = 2; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    }
    return length;
}

// The four hex digits of a \u escape at `p`, or -1.
int escapedUnit(const unsigned char* p, int left)
{
    if (left < 4)
        return -1;
    int unit = 0;
    for (int i = 0; i < 4; ++i) {
        const unsigned char c = p[i];
        const int digit = c >= '0' && c <= '9' ? c - '0'
            : c >= 'a' && c <= 'f'             ? c - 'a' + 10
            : c >= 'A' && c <= 'F'             ? c - 'A' + 10
                                               : -1;
        if (digit < 0)
            return -1;
        unit = unit * 16 + digit;
    }
    return unit;
}

// Length of the escape sequence at `p` (just past the backslash), 0 when
// it is not one JSON allows. A \u escape of a surrogate must be one half
// of a pair written as two escapes.
int escapeLength(const unsigned char* p, int left)
{
    if (left < 1)
        return 0;
    switch (p[0]) {
    case '"':
    case '\\':
    case '/':
    case 'b':
    case 'f':
    case 'n':
    case 'r':
    case 't':
        return 1;
    case 'u':
        break;
    default:
        return 0;
    }
    const int unit = escapedUnit(p + 1, left - 1);
    if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF))
        return 0;
    if (unit < 0xD800 || unit > 0xDBFF)
        return 5;
    if (left < 11 || p[5] != '\\' || p[6] != 'u')
        return 0;
    const int low = escapedUnit(p + 7, left - 7);
    return low >= 0xDC00 && low <= 0xDFFF ? 11 : 0;
}

// Whether every string of the JSON text `data` is a string JSON admits:
// no raw control characters, only the escapes of the JSON grammar, and
// well-formed UTF-8 (surrogates only as escaped pairs). The Qt parser
// lets such strings through and turns them into text that no longer reads
// back the same once written (a backslash before a byte above 0x7F becomes
// a lone surrogate, which has no UTF-8 form), so a request would not mean
// what the peer sent. Outside strings the parser's own checks apply.
bool stringsAreWellFormed(const char* data, int size)
{
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    bool inString = false;
    for (int i = 0; i < size;) {
        const unsigned char c = p[i];
        if (!inString) {
            inString = c == '"';
            ++i;
        } else if (c == '"') {
            inString = false;
            ++i;
        } else if (c == '\\') {
            const int length = escapeLength(p + i + 1, size - i - 1);
            if (length == 0)
                return false;
            i += 1 + length;
        } else if (c < 0x20) {
            return false;
        } else if (c < 0x80) {
            ++i;
        } else {
            const int length = utf8SequenceLength(p + i, size - i);
            if (length == 0)
                return false;
            i += length;
        }
    }
    return true;
}

// Parses `text` as a JSON document whose strings are well formed; false
// on any parse error.
bool parseJson(const QByteArray& text, QJsonDocument& document)
{
    if (!stringsAreWellFormed(text.constData(), text.size()))
        return false;
    QJsonParseError error;
    document = QJsonDocument::fromJson(text, &error);
    return error.error == QJsonParseError::NoError;
}

// Reads the tagged encoding from `data` starting at `pos`. The public
// functions consume data.left(pos) afterwards, so the decoder itself never
// shifts the buffer (which would make decoding quadratic).
class CompactReader
{
public:
    explicit CompactReader(const QByteArray& data) : data(data) {}

    bool value(QJsonValue& out, char tag, int depth);
    // Members up to the terminating 0x00. `complete` tells whether that
    // terminator was reached; on malformed input the members decoded so far
    // are returned.
    QJsonObject object(int depth, bool& complete);

    int pos = 0;

private:
    // Text up to the next 0x00, which is consumed too; false without one.
    bool terminatedText(QByteArray& text);
    bool array(QJsonValue& out, int depth);

    const QByteArray& data;
};

bool CompactReader::terminatedText(QByteArray& text)
{
    const int end = data.indexOf('\0', pos);
    if (end < 0)
        return false;
    text = data.mid(pos, end - pos);
    pos = end + 1;
    return true;
}

bool CompactReader::value(QJsonValue& out, char tag, int depth)
{
    if (depth > kMaxCompactDepth)
        return false;
    switch (tag) {
    case kStringTag: {
        QByteArray text;
        if (!terminatedText(text))
            return false;
        out = QString::fromUtf8(text);
        return true;
    }
    case kNumberTag: {
        QByteArray text;
        if (!terminatedText(text) || text.isEmpty())
            return false;
        bool ok = false;
        const double number = text.toDouble(&ok); // C locale: '.' decimal point
        if (!ok)
            return false;
        out = number;
        return true;
    }
    case kBoolTag:
        if (data.size() - pos < 2 || data.at(pos + 1) != '\0')
            return false;
        out = data.at(pos) == 't' || data.at(pos) == 'T';
        pos += 2;
        return true;
    case kArrayTag:
        return array(out, depth);
    case kObjectTag: {
        // Unlike the top-level object decoder, a nested object must be
        // complete: a truncated one would be reported as a good value.
        bool complete = false;
        const QJsonObject members = object(depth + 1, complete);
        if (!complete)
            return false;
        out = members;
        return true;
    }
    default:
        return false;
    }
}

bool CompactReader::array(QJsonValue& out, int depth)
{
    QJsonArray elements;
    while (pos < data.size()) {
        const char head = data.at(pos++);
        if (head == '\0') {
            out = elements;
            return true;
        }
        if (!isTag(head))
            return false;
        QJsonValue element;
        if (!value(element, head, depth + 1))
            return false;
        elements.append(element);
    }
    return false;
}

QJsonObject CompactReader::object(int depth, bool& complete)
{
    QJsonObject members;
    complete = false;
    if (depth > kMaxCompactDepth)
        return members;
    while (pos < data.size()) {
        if (data.at(pos) == '\0') {
            ++pos;
            complete = true;
            break;
        }
        // The key runs up to the first tag byte; a 0x00 before it means the
        // input was not written by toCompactValue.
        int tagAt = pos;
        while (tagAt < data.size() && !isTag(data.at(tagAt)) && data.at(tagAt) != '\0')
            ++tagAt;
        if (tagAt >= data.size() || data.at(tagAt) == '\0')
            break;
        const QString key = QString::fromUtf8(data.constData() + pos, tagAt - pos);
        const char tag = data.at(tagAt);
        pos = tagAt + 1;
        QJsonValue member;
        if (!value(member, tag, depth))
            break;
        members.insert(key, member);
    }
    return members;
}

} // namespace

KX2RpcPacket::KX2RpcPacket(const QJsonObject& object) : QJsonObject(object) {}

KX2RpcPacket& KX2RpcPacket::operator=(const QJsonObject& object)
{
    QJsonObject::operator=(object);
    return *this;
}

KX2RpcPacket KX2RpcPacket::make(const QString& cmd, int err, const QJsonObject& params)
{
    KX2RpcPacket packet;
    packet.insert(QStringLiteral("cmd"), cmd);
    packet.insert(QStringLiteral("err"), err);
    if (!params.isEmpty())
        packet.insert(QStringLiteral("params"), params);
    return packet;
}

QByteArray KX2RpcPacket::keepAlive()
{
    return PACKET_KEEPALIVE;
}

bool KX2RpcPacket::isKeepAlive() const
{
    return isEmpty();
}

bool KX2RpcPacket::isEchoKey(const QString& key)
{
    return key == QLatin1String("seq") || key == QLatin1String("cno") || key == QLatin1String("cmd")
        || key == QLatin1String("routers") || key.startsWith(QLatin1Char('_'));
}

void KX2RpcPacket::copyResponsed(QJsonObject& out, const QJsonObject& in)
{
    for (auto it = in.constBegin(); it != in.constEnd(); ++it) {
        if (isEchoKey(it.key()))
            out.insert(it.key(), it.value());
    }
}

void KX2RpcPacket::copyResponsed(QJsonObject& out, const QJsonObject& in, int err,
                                 const QString& errmsg)
{
    copyResponsed(out, in);
    out.insert(QStringLiteral("err"), err);
    if (!errmsg.isEmpty())
        out.insert(QStringLiteral("errmsg"), errmsg);
}

KX2RpcPacket KX2RpcPacket::copyResponsed(const QJsonObject& in, int err, const QString& errmsg)
{
    KX2RpcPacket packet;
    copyResponsed(packet, in, err, errmsg);
    return packet;
}

KX2RpcPacket KX2RpcPacket::copyResponsed(const QJsonObject& in)
{
    KX2RpcPacket packet;
    packet.shrink(in);
    return packet;
}

void KX2RpcPacket::shrink(const QJsonObject& in)
{
    QJsonObject::operator=(QJsonObject());
    copyResponsed(*this, in);
}

void KX2RpcPacket::shrink()
{
    const QStringList names = keys();
    for (const QString& key : names) {
        if (!isEchoKey(key) || key == QLatin1String("routers"))
            remove(key);
    }
}

bool KX2RpcPacket::takeRouter(int& fd, int& session, QJsonObject& obj)
{
    const QString routersKey = QStringLiteral("routers");
    QJsonArray stack = obj.value(routersKey).toArray();
    if (stack.isEmpty())
        return false;
    const QJsonObject hop = stack.takeAt(stack.size() - 1).toObject();
    fd = hop.value(QStringLiteral("fd")).toInt();
    session = hop.value(QStringLiteral("session")).toInt(0);
    if (stack.isEmpty())
        obj.remove(routersKey);
    else
        obj.insert(routersKey, stack);
    return true;
}

QByteArray KX2RpcPacket::toDatagram() const
{
    QByteArray frame;
    writeDatagram(frame);
    return frame;
}

void KX2RpcPacket::writeDatagram(QByteArray& frame) const
{
    if (isEmpty()) {
        frame = PACKET_KEEPALIVE;
        return;
    }
    // A reserved buffer keeps its capacity through resize(0), so a caller
    // that writes every reply into the same buffer allocates once.
    frame.reserve(qMax(PACKET_HEADER_SIZE + 256 + attachment.size(), frame.capacity()));
    frame.resize(0);
    // The JSON text is written in place behind the header, whose length
    // field is filled in afterwards.
    frame.append(PACKET_MARK);
    frame.append('\x01');
    frame.append('\x01');
    appendLittleEndian32(frame, 0);
    appendLittleEndian32(frame, quint32(attachment.size()));
    frame.append("\xFF\xFF\xFF", 3);
    kx2AppendCompactJson(frame, *this);
    qToLittleEndian(quint32(frame.size() - PACKET_HEADER_SIZE), frame.data() + 5);
    frame.append(attachment);
}

int KX2RpcPacket::fromDatagram(QByteArray& buffer)
{
    int offset = 0;
    const int result = fromDatagram(buffer, offset);
    if (offset > 0)
        buffer.remove(0, offset);
    return result;
}

int KX2RpcPacket::fromDatagram(const QByteArray& buffer, int& offset)
{
    attachment.clear();
    const char* head = buffer.constData() + offset;
    const int available = buffer.size() - offset;
    const int keepAliveSize = PACKET_KEEPALIVE.size();
    if (available >= keepAliveSize
        && memcmp(head, PACKET_KEEPALIVE.constData(), size_t(keepAliveSize)) == 0) {
        offset += keepAliveSize;
        QJsonObject::operator=(QJsonObject());
        pendingSize = 0;
        return KeepAliveTaken;
    }
    const int markSize = PACKET_MARK.size();
    if (available < markSize || memcmp(head, PACKET_MARK.constData(), size_t(markSize)) != 0) {
        pendingSize = 0;
        return available < keepAliveSize ? Incomplete : Invalid;
    }
    if (available < PACKET_HEADER_SIZE) {
        // The total is not known before the header is complete.
        pendingSize = 0;
        return Incomplete;
    }
    const qint64 jsonSize = readLittleEndian32(buffer, offset + 5);
    const qint64 attachmentSize = readLittleEndian32(buffer, offset + 9);
    const qint64 total = PACKET_HEADER_SIZE + jsonSize + attachmentSize;
    if (total > PACKET_MAX_FRAME) {
        pendingSize = 0;
        return TooLarge;
    }
    if (available < total) {
        pendingSize = qint32(total);
        return Incomplete;
    }
    pendingSize = 0;
    QJsonDocument document;
    // The JSON text is parsed in place; no copy of it is made.
    if (!parseJson(QByteArray::fromRawData(head + PACKET_HEADER_SIZE, int(jsonSize)), document))
        return Invalid;
    QJsonObject::operator=(document.object()); // an array yields {}
    if (attachmentSize > 0)
        attachment = QByteArray(head + PACKET_HEADER_SIZE + jsonSize, int(attachmentSize));
    offset += int(total);
    return Taken;
}

QByteArray KX2RpcPacket::toCompact() const
{
    QByteArray text;
    text.reserve(256);
    kx2AppendCompactJson(text, *this);
    return text;
}

int KX2RpcPacket::fromCompact(const QByteArray& text)
{
    QJsonDocument document;
    if (!parseJson(text, document) || !document.isObject())
        return Invalid;
    QJsonObject::operator=(document.object());
    return Taken;
}

QByteArray KX2RpcPacket::toCompactValue(const QJsonValue& value)
{
    QByteArray out;
    switch (value.type()) {
    case QJsonValue::Array:
        out.append(kArrayTag);
        for (const QJsonValue& element : value.toArray())
            out.append(toCompactValue(element));
        out.append('\0');
        break;
    case QJsonValue::Object: {
        out.append(kObjectTag);
        const QJsonObject object = value.toObject();
        for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
            // A key without a value would run into the next key and change
            // the decoded names, so null members are left out entirely.
            if (it.value().isNull() || it.value().isUndefined())
                continue;
            out.append(it.key().toUtf8());
            out.append(toCompactValue(it.value()));
        }
        out.append('\0');
        break;
    }
    case QJsonValue::String:
        out.append(kStringTag);
        out.append(value.toString().toUtf8());
        out.append('\0');
        break;
    case QJsonValue::Double:
        out.append(kNumberTag);
        out.append(QString::number(value.toDouble(), 'g', 15).toUtf8());
        out.append('\0');
        break;
    case QJsonValue::Bool:
        out.append(kBoolTag);
        out.append(value.toBool() ? 't' : 'f');
        out.append('\0');
        break;
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        break;
    }
    return out;
}

bool KX2RpcPacket::fromCompactValue(QJsonValue& out, char tag, QByteArray& buffer)
{
    CompactReader reader(buffer);
    const bool ok = reader.value(out, tag, 0);
    buffer.remove(0, reader.pos);
    return ok;
}

QJsonObject KX2RpcPacket::fromCompactObject(QByteArray& buffer)
{
    CompactReader reader(buffer);
    bool complete = false;
    // Depth 1, as for an object met inside fromCompactValue().
    const QJsonObject members = reader.object(1, complete);
    buffer.remove(0, reader.pos);
    return members;
}
