// The scan log t_log: paged listing and deletion of its rows.
//
// Stateless: each call runs its statements on the shared store and returns
// its outcome; any thread.

#ifndef ZNSCANLOG_H
#define ZNSCANLOG_H

#include <QJsonObject>
#include <QList>

#include "kx2status.h"

class KX2DBSqlite;

// See ZNAntiVirus::logAlload.
KX2Status znListScanLogs(KX2DBSqlite& store, QJsonObject& out, int page, int ofpage);
// Deletes the rows with these numbers (one statement); 9994 when none of
// them exists.
KX2Status znRemoveScanLogs(KX2DBSqlite& store, const QList<int>& numbers);

#endif // ZNSCANLOG_H
