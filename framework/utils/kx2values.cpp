#include "kx2values.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>
#include <limits>

namespace {

// Truncates toward zero and clamps to the range of Int, so out-of-range
// numbers (1e300 in a request) saturate instead of overflowing.
template <typename Int>
Int truncateClamped(double number)
{
    if (std::isnan(number)) {
        return 0;
    }
    const double truncated = std::trunc(number);
    // The bounds are computed in double: max() itself may round up to a
    // power of two, hence the >= comparison.
    if (truncated >= static_cast<double>(std::numeric_limits<Int>::max())) {
        return std::numeric_limits<Int>::max();
    }
    if (truncated <= static_cast<double>(std::numeric_limits<Int>::min())) {
        return std::numeric_limits<Int>::min();
    }
    return static_cast<Int>(truncated);
}

// Decimal first, then hexadecimal (QString accepts an optional "0x" prefix
// in base 16), else 0.
int parseInt(const QString& text)
{
    bool ok = false;
    const int decimal = text.toInt(&ok, 10);
    if (ok) {
        return decimal;
    }
    const int hexadecimal = text.toInt(&ok, 16);
    return ok ? hexadecimal : 0;
}

qint64 parseInt64(const QString& text)
{
    bool ok = false;
    const qint64 decimal = text.toLongLong(&ok, 10);
    if (ok) {
        return decimal;
    }
    const qint64 hexadecimal = text.toLongLong(&ok, 16);
    return ok ? hexadecimal : 0;
}

} // namespace

QString toString(const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::String:
        return value.toString();
    case QJsonValue::Double: {
        const double number = value.toDouble();
        const bool integral = std::trunc(number) == number;
        const bool inIntRange =
            number >= std::numeric_limits<int>::min() && number <= std::numeric_limits<int>::max();
        if (integral && inIntRange) {
            return QString::number(static_cast<int>(number));
        }
        return QString::number(number, 'f', 6);
    }
    default:
        return QString();
    }
}

QString toString(const QJsonValue& value, const QString& defaultValue)
{
    const QString text = toString(value);
    return text.isEmpty() ? defaultValue : text;
}

int toInt(const QJsonValue& value)
{
    return toInt(value, 0);
}

int toInt(const QJsonValue& value, int defaultValue)
{
    switch (value.type()) {
    case QJsonValue::Double:
        return truncateClamped<int>(value.toDouble());
    case QJsonValue::Bool:
        return value.toBool() ? 1 : 0;
    case QJsonValue::String:
        return parseInt(value.toString());
    default:
        return defaultValue;
    }
}

qint64 toInt64(const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::Double:
        return truncateClamped<qint64>(value.toDouble());
    case QJsonValue::Bool:
        return value.toBool() ? 1 : 0;
    case QJsonValue::String:
        return parseInt64(value.toString());
    default:
        return 0;
    }
}

double toDouble(const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::Double:
        return value.toDouble();
    case QJsonValue::Bool:
        return value.toBool() ? 1.0 : 0.0;
    case QJsonValue::String: {
        bool ok = false;
        const double number = value.toString().toDouble(&ok);
        return ok ? number : 0.0;
    }
    default:
        return 0.0;
    }
}

bool toBool(const QString& text)
{
    bool ok = false;
    const int number = text.toInt(&ok, 10);
    if (ok && number >= 1) {
        return true;
    }
    static const char* const trueWords[] = {"true", "yes", "ok", "y", "t"};
    for (const char* word : trueWords) {
        if (text.compare(QLatin1String(word), Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

bool toBool(const char* text)
{
    return toBool(QString::fromUtf8(text));
}

bool isTrue(const QString& text)
{
    return toBool(text);
}

bool isTrue(const char* text)
{
    return toBool(QString::fromUtf8(text));
}

bool isTrue(const QJsonValue& value)
{
    switch (value.type()) {
    case QJsonValue::Double:
        return value.toDouble() > 0;
    case QJsonValue::Bool:
        return value.toBool();
    case QJsonValue::String:
        return toBool(value.toString());
    default:
        return false;
    }
}

bool toBool(const QJsonValue& value)
{
    return isTrue(value);
}

QStringList toStrings(const QJsonValue& value, bool skipBlank)
{
    QStringList strings;
    const QJsonArray array = value.toArray();
    strings.reserve(array.size());
    for (const QJsonValue& element : array) {
        const QString text = toString(element);
        if (skipBlank && text.trimmed().isEmpty()) {
            continue;
        }
        strings.append(text);
    }
    return strings;
}

QString kx2SettingText(const QJsonValue& value)
{
    if (value.isString())
        return value.toString();
    // A document holds only arrays and objects: the value is written as
    // the one element of an array, whose brackets are then cut off.
    const QByteArray text =
        QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(text.mid(1, text.size() - 2));
}
