// Forgiving conversions of loosely typed JSON values.
//
// Requests, settings files and database rows carry numbers and switches in
// whatever form the sender chose (5, 5.0 or "5"; true, 1 or "yes"). These
// free functions turn them into plain C++ values by fixed rules so every
// caller interprets them the same way. They are pure functions, safe on any
// thread; none of them fails: values that cannot be converted give an empty
// string, 0, false or the supplied default.

#ifndef KX2VALUES_H
#define KX2VALUES_H

#include <QJsonValue>
#include <QString>
#include <QStringList>

// Strings as they are; integral numbers within the int range as plain
// integers ("3"), other numbers with six decimals ("2.500000"); booleans,
// null, arrays and objects as the empty string.
QString toString(const QJsonValue& value);

// toString(value), or `defaultValue` when that is empty.
QString toString(const QJsonValue& value, const QString& defaultValue);

// Numbers truncated toward zero; booleans as 1 or 0; strings parsed as a
// decimal, else hexadecimal ("1a", "0x1A") integer, else 0; other types 0.
int toInt(const QJsonValue& value);

// As toInt(value), but `defaultValue` for null, array, object and undefined
// values. Text that parses in neither base still gives 0.
int toInt(const QJsonValue& value, int defaultValue);

// As toInt(value), 64 bits wide.
qint64 toInt64(const QJsonValue& value);

// Numbers as they are; booleans 1.0 or 0.0; strings parsed as a double, 0
// when that fails; other types 0.
double toDouble(const QJsonValue& value);

// True for a decimal integer of 1 or more, or for "true", "yes", "ok", "y"
// or "t" in any letter case. Surrounding white space is not trimmed, so
// " yes" is false.
bool toBool(const QString& text);
bool toBool(const char* text);

// Same as toBool(text).
bool isTrue(const QString& text);
bool isTrue(const char* text);

// Numbers greater than 0, the boolean itself, strings by toBool(text);
// false for null, arrays, objects and undefined.
bool isTrue(const QJsonValue& value);

// Same as isTrue(value).
bool toBool(const QJsonValue& value);

// Each element of an array converted by toString (a non-array counts as an
// empty array). With `skipBlank`, elements that are empty after trimming are
// left out; kept elements are never trimmed.
QStringList toStrings(const QJsonValue& value, bool skipBlank = false);

// A value as a message quotes it: a string as it stands, anything else as
// its compact JSON text (null, true, ["a"], {"a":1}).
QString kx2SettingText(const QJsonValue& value);

#endif // KX2VALUES_H
