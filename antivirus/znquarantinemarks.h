// The marks of t_infectes.ift_pending: which file operation a record is in
// the middle of. A mark is written before the file is touched and cleared
// (or the record deleted) after, so a restart can settle any record.

#ifndef ZNQUARANTINEMARKS_H
#define ZNQUARANTINEMARKS_H

#include "kx2status.h"

#include <QJsonObject>
#include <QList>
#include <QString>

const int kPendingNone = 0;
const int kPendingQuarantine = 1;
const int kPendingRestore = 2;
const int kPendingRemove = 3;

// "(1,2,3)" for a statement's IN list. One statement takes a list of any
// length atomically, where a chain of ORs fails at 1000 terms. A long list
// is given as "(SELECT value FROM json_each('[1,2,3]'))", which SQLite
// holds in a fraction of the memory. The numbers are ints, so the text is
// only digits and commas.
QString znSqlNumberList(const QList<int>& numbers);

class KX2DBSqlite;
// Runs head + "(list)" + tail, a SELECT, over `numbers` in slices of at
// most 1000 and appends the rows of every slice, in ascending order of the
// numbers when the statement orders by them. A read needs no single
// statement, and the slices keep SQLite's memory small for any count.
// The store's failure at the first failing slice (rows then hold the
// earlier slices').
KX2Status znSelectByNumbers(KX2DBSqlite& store, const QString& head, const QList<int>& numbers,
                            const QString& tail, QList<QJsonObject>& rows);

#endif // ZNQUARANTINEMARKS_H
