// ZNMissions: the files and directories registered for scheduled scans
// (t_mission).
//
// Thread rules: any thread. Creation holds `creating` across its duplicate
// check and insert, so two requests for one path never both insert.

#ifndef ZNMISSIONS_H
#define ZNMISSIONS_H

#include <QJsonObject>
#include <QList>
#include <QString>

#include "kx2threadsafety.h"
#include "kx2status.h"

class KX2DBSqlite;
class ZNQuarantineKeeper;

class ZNMissions
{
public:
    ZNMissions(KX2DBSqlite& store, ZNQuarantineKeeper& keeper);

    KX2Status create(const QString& path) KX2_EXCLUDES(creating);
    KX2Status remove(const QList<int>& numbers);
    // Every mission keyed by its stored path, with the times of its newest
    // scan; 9975 when the missions cannot be read.
    KX2Status listing(QJsonObject& out);
    // The mission registered for `path` (cleaned, absolute); 0 for none.
    int missionOf(const QString& path);
    // Stored paths in mission-number order.
    QStringList paths();

private:
    KX2DBSqlite& store;
    ZNQuarantineKeeper& keeper;
    KX2Mutex creating;
};

#endif // ZNMISSIONS_H
