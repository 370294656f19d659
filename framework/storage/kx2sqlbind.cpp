#include "kx2sqlbind.h"

#include <QJsonArray>
#include <QString>

#include <cmath>

namespace {

// Largest whole number a JSON (double) value carries exactly.
const double kMaxExactInteger = 9007199254740992.0; // 2^53

void bindText(sqlite3_stmt* stmt, int index, const QString& value, BoundTexts& texts)
{
    static const char kEmpty[] = "";
    if (value.isEmpty()) {
        // A null pointer would bind NULL instead of the empty text.
        sqlite3_bind_text(stmt, index, kEmpty, 0, SQLITE_STATIC);
        return;
    }
    texts.push_back(value.toUtf8());
    const QByteArray& utf8 = texts.back();
    sqlite3_bind_text(stmt, index, utf8.constData(), utf8.size(), SQLITE_STATIC);
}

// Whole numbers become integers (so 7.0 stores as 7 and compares equal to
// INTEGER columns); everything else stays a double.
void bindNumber(sqlite3_stmt* stmt, int index, double value)
{
    if (std::isfinite(value) && std::trunc(value) == value && std::fabs(value) <= kMaxExactInteger)
        sqlite3_bind_int64(stmt, index, static_cast<sqlite3_int64>(value));
    else
        sqlite3_bind_double(stmt, index, value);
}

void bindValue(sqlite3_stmt* stmt, int index, const QJsonValue& value, BoundTexts& texts)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        sqlite3_bind_int(stmt, index, value.toBool() ? 1 : 0);
        break;
    case QJsonValue::Double:
        bindNumber(stmt, index, value.toDouble());
        break;
    case QJsonValue::String:
        bindText(stmt, index, value.toString(), texts);
        break;
    default:
        break; // null, array, object: the parameter stays NULL
    }
}

// A parameter the caller left out gets the default of its declared type.
void bindDeclared(sqlite3_stmt* stmt, int index, const QString& type, BoundTexts& texts)
{
    if (type == QLatin1String("string") || type == QLatin1String("text"))
        bindText(stmt, index, QString(), texts);
    else if (type == QLatin1String("int") || type == QLatin1String("double"))
        sqlite3_bind_int(stmt, index, 0);
}

} // namespace

void bindParameters(sqlite3_stmt* stmt, const QJsonObject& values, const QJsonObject& params,
                    BoundTexts& texts)
{
    const int count = sqlite3_bind_parameter_count(stmt);
    for (int index = 1; index <= count; ++index) {
        const char* marked = sqlite3_bind_parameter_name(stmt, index);
        if (!marked || !*marked)
            continue; // "?" parameters have no name to look up
        const QString name = QString::fromUtf8(marked + 1);
        const auto value = values.constFind(name);
        if (value != values.constEnd())
            bindValue(stmt, index, *value, texts);
        else if (params.contains(name))
            bindDeclared(stmt, index, params.value(name).toString(), texts);
    }
}

QJsonObject rowObject(sqlite3_stmt* stmt)
{
    QJsonObject row;
    const int columns = sqlite3_column_count(stmt);
    for (int column = 0; column < columns; ++column) {
        const char* name = sqlite3_column_name(stmt, column);
        const QString key = QString::fromUtf8(name ? name : "").toLower();
        switch (sqlite3_column_type(stmt, column)) {
        case SQLITE_INTEGER:
            row.insert(key, static_cast<qint64>(sqlite3_column_int64(stmt, column)));
            break;
        case SQLITE_FLOAT:
            row.insert(key, sqlite3_column_double(stmt, column));
            break;
        case SQLITE_TEXT: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
            row.insert(key, QString::fromUtf8(text, sqlite3_column_bytes(stmt, column)));
            break;
        }
        default:
            break; // NULL and BLOB columns are left out
        }
    }
    return row;
}
