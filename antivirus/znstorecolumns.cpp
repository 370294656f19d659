#include "znstorecolumns.h"

#include <QJsonObject>
#include <QList>
#include <QStringList>

#include "kx2dbsqlite.h"
#include "zntrace.h"

KX2Status znAddMissingColumns(KX2DBSqlite& store, const char* table,
                              std::initializer_list<ZNStoreColumn> columns)
{
    int changes = 0, lastRowId = 0;
    QList<QJsonObject> present;
    const KX2Status read = store.runSql(changes, lastRowId, present,
                                        QStringLiteral("PRAGMA table_info(%1);").arg(QLatin1String(table)));
    if (!read.ok()) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + read.message());
        return read;
    }
    QStringList names;
    for (const QJsonObject& column : qAsConst(present))
        names << column.value(QLatin1String("name")).toString();
    KX2Status outcome;
    for (const ZNStoreColumn& column : columns) {
        if (names.contains(QLatin1String(column.name)))
            continue;
        const QString sql = QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 %3;")
                                .arg(QLatin1String(table), QLatin1String(column.name),
                                     QLatin1String(column.definition));
        const KX2Status added = store.runSql(changes, lastRowId, sql);
        if (!added.ok()) {
            znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + added.message());
            outcome = added;
        }
    }
    return outcome;
}
