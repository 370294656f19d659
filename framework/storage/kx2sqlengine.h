#ifndef KX2SQLENGINE_H
#define KX2SQLENGINE_H

// Parsing of engine files: the line-oriented text that declares the named
// statements of a KX2DBSqlite catalogue.
//
//   SQL: statement_name          opens a statement (name stored lower case)
//   SELECT ... WHERE a = @a      body lines, '@' markers become ':'
//   params:                      switches to declarations
//   a  string                    parameter name and type word
//
// Text from "--" to the end of a line is a comment. See docs/storage.md.
//
// Pure functions on values: callable from any thread.

#include <QJsonObject>
#include <QString>
#include <QStringList>

namespace KX2SqlEngine {

// Lines of `text` (split at "\n", empty parts dropped), each cut at its
// first "--" and trimmed. Lines that become empty stay as empty strings.
QStringList delSqlComments(const QString& text);

// The four configure_* statements every catalogue starts from.
QJsonObject builtinStatements();

// The built-in statements with the statements of `engineText` merged over
// them; a later statement of the same name replaces an earlier one.
QJsonObject parse(const QString& engineText);

} // namespace KX2SqlEngine

#endif // KX2SQLENGINE_H
