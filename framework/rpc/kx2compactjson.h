// Compact JSON text of a JSON object, written straight into a byte buffer.
//
// The request path serialises one reply per request; QJsonDocument::toJson
// grows its output a few bytes at a time, which made serialising the most
// expensive step of answering a small request. This writer produces the
// same compact text in one pass over a reserved buffer: keys in the
// object's (sorted) order, strings as UTF-8 with '"', '\\' and control
// characters escaped, integral numbers up to 2^53 without a fraction,
// other numbers in the shortest form that reads back to the same value,
// non-finite numbers as null.
//
// Pure functions of their arguments; callable from any thread.

#ifndef KX2COMPACTJSON_H
#define KX2COMPACTJSON_H

#include <QByteArray>
#include <QJsonObject>

// Appends the compact text of `object` to `out`.
void kx2AppendCompactJson(QByteArray& out, const QJsonObject& object);

#endif // KX2COMPACTJSON_H
