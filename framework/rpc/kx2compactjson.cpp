#include "kx2compactjson.h"

#include <QJsonArray>
#include <QLocale>
#include <QString>

#include <cmath>

namespace {

const char kHex[] = "0123456789abcdef";
// Integers beyond this are not exact in a double.
const double kMaxExactInteger = 9007199254740992.0;

void appendString(QByteArray& out, const QString& text)
{
    out.append('"');
    const QByteArray utf8 = text.toUtf8();
    const char* data = utf8.constData();
    const int size = utf8.size();
    int plainFrom = 0;
    for (int i = 0; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        out.append(data + plainFrom, i - plainFrom);
        plainFrom = i + 1;
        out.append('\\');
        switch (c) {
        case '"': out.append('"'); break;
        case '\\': out.append('\\'); break;
        case '\b': out.append('b'); break;
        case '\f': out.append('f'); break;
        case '\n': out.append('n'); break;
        case '\r': out.append('r'); break;
        case '\t': out.append('t'); break;
        default:
            out.append("u00", 3);
            out.append(kHex[c >> 4]);
            out.append(kHex[c & 0xF]);
        }
    }
    out.append(data + plainFrom, size - plainFrom);
    out.append('"');
}

void appendNumber(QByteArray& out, double value)
{
    if (!std::isfinite(value)) {
        out.append("null", 4);
        return;
    }
    if (value == std::floor(value) && std::fabs(value) <= kMaxExactInteger) {
        out.append(QByteArray::number(static_cast<qint64>(value)));
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
