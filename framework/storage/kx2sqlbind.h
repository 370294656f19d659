// Binding JSON values to the named parameters of an SQLite statement, and
// reading a result row back as a JSON object.
//
// Reentrant; the caller owns the statement and the bound texts.

#ifndef KX2SQLBIND_H
#define KX2SQLBIND_H

#include <QByteArray>
#include <QJsonObject>

#include <vector>

#include <sqlite3.h>

// Text copies bound with SQLITE_STATIC; must outlive the statement.
using BoundTexts = std::vector<QByteArray>;

// Binds each named parameter (":name") from `values`, or, when absent
// there, the declared default type of `params` (the statement catalogue).
void bindParameters(sqlite3_stmt* stmt, const QJsonObject& values, const QJsonObject& params,
                    BoundTexts& texts);

// The current row, keyed by column name.
QJsonObject rowObject(sqlite3_stmt* stmt);

#endif // KX2SQLBIND_H
