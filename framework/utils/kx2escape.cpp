#include "kx2escape.h"

#include <QChar>

namespace {

const char kHex[] = "0123456789ABCDEF";

void appendHex(QByteArray& out, uint value, int digits)
{
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
        out.append(kHex[(value >> shift) & 0xF]);
}

// Code points that are well-formed yet change how the rest of the line is
// read: C1 controls, line and paragraph separators, format characters.
bool isHidingCharacter(uint code)
{
    if (code >= 0x80 && code <= 0x9F)
        return true;
    const QChar::Category category = QChar::category(code);
    return category == QChar::Other_Format || category == QChar::Separator_Line
        || category == QChar::Separator_Paragraph;
}

uint decode(const unsigned char* s, int length)
{
    static const unsigned char leadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    uint code = s[0] & leadMask[length];
    for (int i = 1; i < length; ++i)
        code = (code << 6) | (s[i] & 0x3F);
    return code;
}

void appendAscii(QByteArray& out, unsigned char c)
{
    switch (c) {
    case '\\':
        out.append("\\\\");
        return;
    case '\n':
        out.append("\\n");
        return;
    case '\t':
        out.append("\\t");
        return;
    case '\r':
        out.append("\\r");
        return;
    default:
        break;
    }
    if (c < 0x20 || c == 0x7F) {
        out.append("\\x");
        appendHex(out, c, 2);
    } else {
        out.append(char(c));
    }
}

} // namespace

int kx2Utf8SequenceLength(const unsigned char* s, int at, int size)
{
    const unsigned char lead = s[at];
    if (lead < 0x80)
        return 1;
    int length = 0;
    uint minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (at + length > size)
        return 0;
    for (int i = 1; i < length; ++i) {
        if ((s[at + i] & 0xC0) != 0x80)
            return 0;
    }
    const uint code = decode(s + at, length);
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

QByteArray kx2Escaped(const QByteArray& bytes)
{
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.constData());
    const int size = bytes.size();
    QByteArray out;
    out.reserve(size);
    for (int at = 0; at < size;) {
        const int length = kx2Utf8SequenceLength(s, at, size);
        if (length == 0) {
            // A stray byte: one escape per byte, so each can be restored.
            out.append("\\x");
            appendHex(out, s[at], 2);
            ++at;
            continue;
        }
        if (length == 1) {
            appendAscii(out, s[at]);
        } else if (const uint code = decode(s + at, length); isHidingCharacter(code)) {
            out.append(code > 0xFFFF ? "\\U" : "\\u");
            appendHex(out, code, code > 0xFFFF ? 8 : 4);
        } else {
            out.append(bytes.constData() + at, length);
        }
        at += length;
    }
    return out;
}

QString kx2Escaped(const QString& text)
{
    return QString::fromUtf8(kx2Escaped(text.toUtf8()));
}
