#ifndef KX2SQLITEHANDLES_H
#define KX2SQLITEHANDLES_H

// Scope owners for SQLite resources: KX2DBSqlite's, and those of
// components that drive SQLite directly on a hot path (a connection and
// statements prepared once, stepped millions of times).
//
// KX2SqlStatement owns one prepared statement and finalizes it when it goes
// out of scope, whatever path leaves the scope.
//
// KX2SqlConnection owns one connection and closes it (sqlite3_close_v2)
// when it goes out of scope; statements of the connection must be owned by
// scopes that end first. Movable, not copyable.
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
    // Finalizes the statement; the owner is empty afterwards.
    void reset()
    {
        sqlite3_finalize(stmt);
        stmt = nullptr;
    }

private:
    sqlite3_stmt* stmt = nullptr;
};

class KX2SqlConnection
{
public:
    KX2SqlConnection() = default;
    ~KX2SqlConnection() { sqlite3_close_v2(db); }
    KX2SqlConnection(KX2SqlConnection&& other) noexcept : db(other.db) { other.db = nullptr; }
    KX2SqlConnection& operator=(KX2SqlConnection&& other) noexcept
    {
        if (this != &other) {
            sqlite3_close_v2(db);
            db = other.db;
            other.db = nullptr;
        }
        return *this;
    }
    KX2SqlConnection(const KX2SqlConnection&) = delete;
    KX2SqlConnection& operator=(const KX2SqlConnection&) = delete;

    sqlite3* get() const { return db; }
    explicit operator bool() const { return db != nullptr; }
    // For sqlite3_open_v2's out parameter; only on an empty owner. SQLite
    // may hand out a connection even when the open fails: it is owned too.
    sqlite3** out() { return &db; }
    void reset()
    {
        sqlite3_close_v2(db);
        db = nullptr;
    }

private:
    sqlite3* db = nullptr;
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
