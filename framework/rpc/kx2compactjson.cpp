#include "kx2compactjson.h"

#include <QJsonArray>
#include <QLocale>
#include <QString>

#include <charconv>
#include <cmath>

namespace {

const char kHex[] = "0123456789abcdef";
// Integers beyond this are not exact in a double.
const double kMaxExactInteger = 9007199254740992.0;

void appendEscaped(QByteArray& out, unsigned char c)
{
    out.append('\\');
    switch (c) {
    case '"':
        out.append('"');
        break;
    case '\\':
        out.append('\\');
        break;
    case '\b':
        out.append('b');
        break;
    case '\f':
        out.append('f');
        break;
    case '\n':
        out.append('n');
        break;
    case '\r':
        out.append('r');
        break;
    case '\t':
        out.append('t');
        break;
    default:
        out.append("u00", 3);
        out.append(kHex[c >> 4]);
        out.append(kHex[c & 0xF]);
    }
}

// The UTF-8 form of one code point at or above 0x80.
int encodeUtf8(uint code, char* bytes)
{
    if (code < 0x800) {
        bytes[0] = char(0xC0 | (code >> 6));
        bytes[1] = char(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        bytes[0] = char(0xE0 | (code >> 12));
        bytes[1] = char(0x80 | ((code >> 6) & 0x3F));
        bytes[2] = char(0x80 | (code & 0x3F));
        return 3;
    }
    bytes[0] = char(0xF0 | (code >> 18));
    bytes[1] = char(0x80 | ((code >> 12) & 0x3F));
    bytes[2] = char(0x80 | ((code >> 6) & 0x3F));
    bytes[3] = char(0x80 | (code & 0x3F));
    return 4;
}

// UTF-8 straight from the UTF-16 text, without an intermediate copy; a
// lone surrogate, which has no UTF-8 form, is written as U+FFFD. Plain
// ASCII goes out in runs: appending a character at a time was the larger
// part of writing a reply.
void appendString(QByteArray& out, const QString& text)
{
    out.append('"');
    const QChar* data = text.constData();
    const int size = text.size();
    char run[128];
    int runLength = 0;
    for (int i = 0; i < size; ++i) {
        uint code = data[i].unicode();
        if (code >= 0x20 && code < 0x80 && code != '"' && code != '\\') {
            run[runLength++] = char(code);
            if (runLength == int(sizeof run)) {
                out.append(run, runLength);
                runLength = 0;
            }
            continue;
        }
        out.append(run, runLength);
        runLength = 0;
        if (code < 0x80) {
            appendEscaped(out, static_cast<unsigned char>(code));
            continue;
        }
        if (QChar::isHighSurrogate(code) && i + 1 < size && data[i + 1].isLowSurrogate()) {
            code = QChar::surrogateToUcs4(ushort(code), data[i + 1].unicode());
            ++i;
        } else if (QChar::isSurrogate(code)) {
            code = 0xFFFD;
        }
        char bytes[4];
        out.append(bytes, encodeUtf8(code, bytes));
    }
    out.append(run, runLength);
    out.append('"');
}

void appendNumber(QByteArray& out, double value)
{
    if (!std::isfinite(value)) {
        out.append("null", 4);
        return;
    }
    if (value == std::floor(value) && std::fabs(value) <= kMaxExactInteger) {
        // Formatted on the stack: QByteArray::number allocates every time.
        char digits[24];
        const auto written =
            std::to_chars(digits, digits + sizeof digits, static_cast<qint64>(value));
        out.append(digits, int(written.ptr - digits));
        return;
    }
    out.append(QByteArray::number(value, 'g', QLocale::FloatingPointShortest));
}

void appendValue(QByteArray& out, const QJsonValue& value);

void appendArray(QByteArray& out, const QJsonArray& array)
{
    out.append('[');
    bool first = true;
    for (const QJsonValue& element : array) {
        if (!first)
            out.append(',');
        first = false;
        appendValue(out, element);
    }
    out.append(']');
}

void appendObject(QByteArray& out, const QJsonObject& object)
{
    out.append('{');
    bool first = true;
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        if (!first)
            out.append(',');
        first = false;
        appendString(out, it.key());
        out.append(':');
        appendValue(out, it.value());
    }
    out.append('}');
}

void appendValue(QByteArray& out, const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::Object:
        appendObject(out, value.toObject());
        break;
    case QJsonValue::Array:
        appendArray(out, value.toArray());
        break;
    case QJsonValue::String:
        appendString(out, value.toString());
        break;
    case QJsonValue::Double:
        appendNumber(out, value.toDouble());
        break;
    case QJsonValue::Bool:
        if (value.toBool())
            out.append("true", 4);
        else
            out.append("false", 5);
        break;
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        out.append("null", 4);
        break;
    }
}

} // namespace

void kx2AppendCompactJson(QByteArray& out, const QJsonObject& object)
{
    appendObject(out, object);
}
