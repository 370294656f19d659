#include "kx2sqlengine.h"

#include <QJsonDocument>

namespace {

// Statements on the key/value table SYS_Configure that every database of
// this framework carries. Engine files may replace them by name.
const char kBuiltinStatements[] = R"json({
    "configure_alload": {
        "text": "SELECT CFG_Key AS key, CFG_Value AS value FROM SYS_Configure ORDER BY CFG_Key;",
        "params": { "key": "string" }
    },
    "configure_get": {
        "text": "SELECT CFG_Value AS value FROM SYS_Configure WHERE CFG_Key = :key LIMIT 1;",
        "params": { "key": "string" }
    },
    "configure_change": {
        "text": "UPDATE SYS_Configure SET CFG_Value = :value WHERE cfg_key = :key;",
        "params": { "key": "string", "value": "string" }
    },
    "configure_append": {
        "text": "INSERT INTO SYS_Configure( CFG_Key, CFG_Value)VALUES( :key, :value);",
        "params": { "key": "string", "value": "string" }
    }
})json";

const QString kSqlMarker = QStringLiteral("SQL:");
const QString kParamsMarker = QStringLiteral("Params:");

int firstSpace(const QString& s)
{
    for (int i = 0; i < s.size(); ++i) {
        if (s.at(i).isSpace())
            return i;
    }
    return -1;
}

// Accumulates the statement currently being read and stores it into the
// catalogue when the next one starts or the text ends.
class StatementBuilder
{
public:
    explicit StatementBuilder(QJsonObject* catalogue) : catalogue(catalogue) {}

    void open(const QString& name)
    {
        flush();
        id = name;
        body.clear();
        params = QJsonObject();
        mode = Mode::Body;
    }

    void switchToParams()
    {
        if (mode != Mode::None)
            mode = Mode::Params;
    }

    void addLine(const QString& line)
    {
        switch (mode) {
        case Mode::None:
            break; // text before the first "SQL:" header
        case Mode::Body:
            body += line;
            body += QLatin1Char('\n');
            break;
        case Mode::Params:
            declare(line);
            break;
        }
    }

    // Stores the pending statement if it has a name and a body.
    void flush()
    {
        if (id.isEmpty() || body.isEmpty())
            return;
        QString text = body;
        text.replace(QLatin1Char('@'), QLatin1Char(':'));
        QJsonObject record;
        record.insert(QStringLiteral("id"), id);
        record.insert(QStringLiteral("text"), text);
        record.insert(QStringLiteral("params"), params);
        catalogue->insert(id, record);
        id.clear();
        body.clear();
    }

private:
    enum class Mode { None, Body, Params };

    // "name type", "name" (type string); '@' or ':' before the name is dropped.
    void declare(const QString& line)
    {
        QString name = line;
        QString type = QStringLiteral("string");
        const int space = firstSpace(line);
        if (space >= 0) {
            name = line.left(space);
            const QString rest = line.mid(space).trimmed();
            const int typeEnd = firstSpace(rest);
            type = typeEnd >= 0 ? rest.left(typeEnd) : rest;
        }
        if (name.startsWith(QLatin1Char('@')) || name.startsWith(QLatin1Char(':')))
            name.remove(0, 1);
        params.insert(name, type.toLower());
    }

    QJsonObject* catalogue;
    QString id;
    QString body;
    QJsonObject params;
    Mode mode = Mode::None;
};

} // namespace

namespace KX2SqlEngine {

QStringList delSqlComments(const QString& text)
{
    QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString& line : lines) {
        const int comment = line.indexOf(QLatin1String("--"));
        if (comment >= 0)
            line.truncate(comment);
        line = line.trimmed();
    }
    return lines;
}

QJsonObject builtinStatements()
{
    return QJsonDocument::fromJson(QByteArray(kBuiltinStatements)).object();
}

QJsonObject parse(const QString& engineText)
{
    QJsonObject catalogue = builtinStatements();
    StatementBuilder builder(&catalogue);
    const QStringList lines = delSqlComments(engineText);
    for (const QString& line : lines) {
        if (line.isEmpty())
            continue;
        if (line.startsWith(kSqlMarker, Qt::CaseInsensitive))
            builder.open(line.mid(kSqlMarker.size()).trimmed().toLower());
        else if (line.startsWith(kParamsMarker, Qt::CaseInsensitive))
            builder.switchToParams();
        else
            builder.addLine(line);
    }
    builder.flush();
    return catalogue;
}

} // namespace KX2SqlEngine
