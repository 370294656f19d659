#ifndef KX2DBSQLITE_H
#define KX2DBSQLITE_H

// KX2DBSqlite: one connection to one SQLite database file, plus a catalogue
// of named SQL statements.
//
// SQL runs in two ways: raw text with named parameters (exec), or a
// statement picked by name from the catalogue (call). Parameters are bound
// from a JSON object; every result row comes back as a JSON object keyed by
// the lower-cased column name (or alias). Integer, real and text columns are
// converted; NULL and BLOB columns are left out of the row object.
//
// The catalogue is loaded from an engine file ("SQL:" / "params:" syntax,
// see docs/storage.md) merged over four built-in configure_* statements.
//
// Threads: every operation but the destructor may be called from any
// thread at any time. The
// connection is opened in SQLite's serialized mode and shared; a running
// exec/call keeps the connection alive, so close() and open() wait for the
// statements already running on other threads. Transactions belong to the
// connection, not to a thread: a transaction opened on one thread also
// covers statements that other threads run meanwhile.
//
// Failure: every operation that can fail has a form that returns a
// KX2Status (openFile, loadEngine, run, runSql): ok() exactly when the bool
// form returns true, otherwise SQLite's result code (SQLITE_ERROR,
// SQLITE_MISUSE or SQLITE_CANTOPEN for failures SQLite itself did not
// report) and the message. The status is the caller's own, whichever
// thread it runs on. The bool forms return false and leave the message
// where lastError() finds it; that slot is the object's, shared by every
// thread that uses the object, so with threads sharing an object it may
// hold another thread's failure. Code that shares an object between
// threads uses the status forms. lastError() is never cleared by a success.
//
// Lifetime: the object owns the connection and the threads that callDetach()
// starts; destroying it waits for those threads to finish their statements
// and joins them, then closes the connection. Not copyable.

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <memory>

#include "kx2status.h"

struct sqlite3;
class KX2DBSqlitePrivate;

class KX2DBSqlite
{
public:
    KX2DBSqlite();
    ~KX2DBSqlite();
    KX2DBSqlite(const KX2DBSqlite&) = delete;
    KX2DBSqlite& operator=(const KX2DBSqlite&) = delete;

    // Opens the database file at `path`, creating it (and its directory,
    // mode 755) when missing by running the creator script loaded with
    // loadSqlCreator(). A new database is built whole in a temporary file
    // beside `path` and only then linked into place, so a crash at any
    // moment leaves either no file or a complete one; a file that another
    // process put at `path` meanwhile is opened, never replaced or deleted.
    // A creator script that is missing or fails leaves no file. Temporary
    // files of creations killed part-way are removed. The file and the
    // journal files SQLite makes beside it are readable and writable by
    // their owner only (0600), whatever the umask; an existing file and
    // journals with more permissions lose them here. `*created` is set to
    // true only when this call created the file; it is never set to false,
    // so clear it first.
    bool open(const QString& path, bool* created = nullptr);
    KX2Status openFile(const QString& path, bool* created = nullptr);

    // As above, but loads the creator script from `creatorPath` (only when a
    // new file must be created) and, after a successful open, the engine file
    // from `enginePath`. The engine load result does not affect the result.
    bool open(const QString& path, const QString& enginePath, const QString& creatorPath,
              bool* created = nullptr);

    // Opens an existing file only; never creates it and runs no script.
    bool openOnly(const QString& path);

    // Closes the connection if open. Waits for statements running on other
    // threads to finish first.
    void close();

    bool isOpen() const;
    // The raw connection, null while closed. For testing whether the
    // database is open; statements go through exec() and call().
    sqlite3* handle() const;
    QString fileName() const;
    // The last failure met on this object by any thread; empty before the
    // first. Guarded by the object's own lock, so it is whole, but with
    // threads sharing the object it may be another thread's failure.
    QString lastError() const;
    // Name most recently passed to a call() form.
    QString lastSqlId() const;

    // Replaces the creator script when the file (a Qt resource path works)
    // can be read as UTF-8 text; otherwise nothing changes.
    void loadSqlCreator(const QString& creatorPath);
    QString creatorText() const;

    // Parses the engine file and replaces the whole catalogue with the
    // built-in statements plus the file's. False (catalogue unchanged) when
    // the path is empty or the file cannot be read. `reserved` has no effect.
    bool loadSqlEngine(const QString& enginePath, bool reserved = false);
    // As loadSqlEngine(); a file that cannot be read is a failure with a
    // message too.
    KX2Status loadEngine(const QString& enginePath);
    QString engineText() const;

    // A copy of the catalogue: name -> {"id", "text", "params"}.
    QJsonObject sqlEngine() const;

    // The lines of `text` with everything from "--" on cut (also inside SQL
    // literals) and white space trimmed; lines that become empty stay.
    static QStringList delSqlComments(const QString& text);

    // Runs every statement of `sql` in order. `values` supplies parameter
    // values by name (without the ':' or '@'); `params` declares defaults by
    // type word ("string"/"text" -> '', "int"/"double" -> 0) for parameters
    // that `values` lacks. Rows are appended to `rows` (never cleared).
    // True when at least one statement completed or produced a row; a failing
    // statement sets lastError() and the following statements still run,
    // except after a prepare (syntax) error, which ends the text. On a closed
    // database nothing runs and the result is false.
    bool exec(int& changes, int& lastRowId, QList<QJsonObject>& rows, const QString& sql,
              const QJsonObject& values = QJsonObject(), const QJsonObject& params = QJsonObject());
    bool exec(int& changes, int& lastRowId, const QString& sql,
              const QJsonObject& values = QJsonObject(), const QJsonObject& params = QJsonObject());

    // Runs the catalogue statement `name` (exact, lower-case match) through
    // exec(). An unknown name returns false with lastError()
    // "sqlid not found: <name>" and leaves counters and rows untouched.
    bool call(int& changes, int& lastRowId, QList<QJsonObject>& rows, const QString& name,
              const QJsonObject& values = QJsonObject());
    bool call(int& changes, int& lastRowId, const QString& name,
              const QJsonObject& values = QJsonObject());
    bool call(const QString& name, const QJsonObject& values = QJsonObject());
    bool call(QList<QJsonObject>& rows, const QString& name,
              const QJsonObject& values = QJsonObject());
    bool call(QJsonArray& rows, const QString& name, const QJsonObject& values = QJsonObject());
    bool call(int& changes, int& lastRowId, QJsonArray& rows, const QString& name,
              const QJsonObject& values = QJsonObject());

    // The status forms of exec() and call(): the same work, with the
    // failure returned (the message of the last failing statement). A text
    // with no statement to run fails with "no statement to run".
    KX2Status runSql(int& changes, int& lastRowId, QList<QJsonObject>& rows, const QString& sql,
                     const QJsonObject& values = QJsonObject(),
                     const QJsonObject& params = QJsonObject());
    KX2Status runSql(int& changes, int& lastRowId, const QString& sql,
                     const QJsonObject& values = QJsonObject(),
                     const QJsonObject& params = QJsonObject());
    KX2Status run(int& changes, int& lastRowId, QList<QJsonObject>& rows, const QString& name,
                  const QJsonObject& values = QJsonObject());
    KX2Status run(int& changes, int& lastRowId, const QString& name,
                  const QJsonObject& values = QJsonObject());
    KX2Status run(const QString& name, const QJsonObject& values = QJsonObject());
    KX2Status run(QList<QJsonObject>& rows, const QString& name,
                  const QJsonObject& values = QJsonObject());
    KX2Status run(QJsonArray& rows, const QString& name, const QJsonObject& values = QJsonObject());
    KX2Status run(int& changes, int& lastRowId, QJsonArray& rows, const QString& name,
                  const QJsonObject& values = QJsonObject());

    // Runs call(name, values) on a new background thread of this object when
    // the database is open; the caller does not wait and the result is
    // dropped. The destructor waits for it. When no thread can be started
    // nothing runs and lastError() says so.
    void callDetach(const QString& name, const QJsonObject& values = QJsonObject());

    // "begin/commit/rollback transaction"; false when the database is not
    // open or SQLite reports an error.
    bool transactionBegin();
    bool transactionCommit();
    bool transactionRollback();

private:
    // Shared only so that the threads' error tables can hold weak references
    // to it; this object is its owner.
    const std::shared_ptr<KX2DBSqlitePrivate> d;
};

#endif // KX2DBSQLITE_H
