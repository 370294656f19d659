// Columns that a store made by an earlier version lacks, added at start-up.
//
// creator.sql makes new stores with every column; an older store gets the
// missing ones with ALTER TABLE ... ADD COLUMN and their defaults, so its
// rows read as if they had always had them. Each component adds the
// columns of its own tables.
//
// Runs on the thread that opens the store, before any other thread uses it.

#ifndef ZNSTORECOLUMNS_H
#define ZNSTORECOLUMNS_H

#include <initializer_list>

#include "kx2status.h"

class KX2DBSqlite;

struct ZNStoreColumn
{
    const char* name;
    const char* definition; // type and default, as in creator.sql
};

// Adds each of `columns` that `table` lacks. The store's failure when the
// table cannot be read or a column cannot be added (the last one; each is
// traced); the others are still added.
KX2Status znAddMissingColumns(KX2DBSqlite& store, const char* table,
                         std::initializer_list<ZNStoreColumn> columns);

#endif // ZNSTORECOLUMNS_H
