#ifndef KX2SQLITEHANDLES_H
#define KX2SQLITEHANDLES_H

// Scope owners for SQLite resources used by KX2DBSqlite. Internal to the
// storage library.
//
// KX2SqlStatement owns one prepared statement and finalizes it when it goes
// out of scope, whatever path leaves the scope.
//
// KX2SqlConnectionGuard holds a connection's own (recursive) mutex for its
// scope. In serialized mode SQLite takes that mutex inside every API call;
// holding it across a statement's prepare, steps, error message and
// counters keeps another thread's statement from slipping in between, so
// sqlite3_errmsg(), sqlite3_changes() and sqlite3_last_insert_rowid() speak
// about this statement. With a null connection it does nothing.

#include <sqlite3.h>

class KX2SqlStatement
{
public:
    KX2SqlStatement() = default;
    ~KX2SqlStatement() { sqlite3_finalize(stmt); }
    KX2SqlStatement(const KX2SqlStatement&) = delete;
    KX2SqlStatement& operator=(const KX2SqlStatement&) = delete;

    sqlite3_stmt* get() const { return stmt; }
    // For sqlite3_prepare_v2's out parameter; only on an empty owner.
    sqlite3_stmt** out() { return &stmt; }

private:
    sqlite3_stmt* stmt = nullptr;
};

class KX2SqlConnectionGuard
{
public:
    explicit KX2SqlConnectionGuard(sqlite3* db) : mutex(db ? sqlite3_db_mutex(db) : nullptr)
    {
        sqlite3_mutex_enter(mutex);
    }
    ~KX2SqlConnectionGuard() { sqlite3_mutex_leave(mutex); }
    KX2SqlConnectionGuard(const KX2SqlConnectionGuard&) = delete;
    KX2SqlConnectionGuard& operator=(const KX2SqlConnectionGuard&) = delete;

private:
    sqlite3_mutex* mutex;
};

#endif // KX2SQLITEHANDLES_H
