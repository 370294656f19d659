#include "znstorecolumns.h"

#include <QJsonObject>
#include <QList>
#include <QStringList>

#include "kx2dbsqlite.h"
#include "zntrace.h"

bool znAddMissingColumns(KX2DBSqlite& store, const char* table,
                         std::initializer_list<ZNStoreColumn> columns)
{
    int changes = 0, lastRowId = 0;
    QList<QJsonObject> present;
    if (!store.exec(changes, lastRowId, present,
                    QStringLiteral("PRAGMA table_info(%1);").arg(QLatin1String(table)))) {
        znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + store.lastError());
        return false;
    }
    QStringList names;
    for (const QJsonObject& column : qAsConst(present))
        names << column.value(QLatin1String("name")).toString();
    bool ok = true;
    for (const ZNStoreColumn& column : columns) {
        if (names.contains(QLatin1String(column.name)))
            continue;
        const QString sql = QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 %3;")
                                .arg(QLatin1String(table), QLatin1String(column.name),
                                     QLatin1String(column.definition));
        if (!store.exec(changes, lastRowId, sql)) {
            znTrace(ZNTraceBits::Failures, QStringLiteral("SQLerr: ") + store.lastError());
            ok = false;
        }
    }
    return ok;
}
