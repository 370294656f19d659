// Tests of KX2DBSqlite against real database files in a temporary directory.

#include "kx2dbsqlite.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <sqlite3.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const char kCreator[] =
    "-- test schema\n"
    "CREATE TABLE IF NOT EXISTS sys_configure (cfg_no INTEGER PRIMARY KEY AUTOINCREMENT,\n"
    "  cfg_key VARCHAR(250), cfg_value VARCHAR(250));\n"
    "CREATE TABLE t_item (itm_no INTEGER PRIMARY KEY AUTOINCREMENT,\n"
    "  itm_name TEXT UNIQUE, itm_size INTEGER, itm_note TEXT);\n"
    "INSERT INTO sys_configure (cfg_key, cfg_value) VALUES ('Database.Version', '1');\n"
    "-- trailing comment\n";

const char kEngine[] =
    "-- header block of comments\n"
    "-- more comments\n"
    "\n"
    "SQL: item_append\n"
    "  INSERT INTO t_item (itm_name, itm_size, itm_note)\n"
    "  VALUES (@name, @size, @note);\n"
    "params:\n"
    "  name   string\n"
    "  size   integer\n"
    "  note   string\n"
    "\n"
    "SQL: item_count\n"
    "  SELECT COUNT(*) AS RecCount FROM t_item;\n"
    "\n"
    "SQL: item_by_name\n"
    "  SELECT itm_no AS no, itm_name AS name, itm_size AS size, itm_note AS note\n"
    "  FROM t_item WHERE itm_name = @name;\n"
    "params:\n"
    "  name string\n";

void writeFile(const QString& path, const QByteArray& text)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    QCOMPARE(file.write(text), qint64(text.size()));
}

// Lets a fixed number of threads meet at one point. A party that waits
// past the deadline gives up, so a broken test fails instead of hanging.
class Barrier
{
public:
    explicit Barrier(int parties) : remaining(parties) {}

    bool arriveAndWait()
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (--remaining == 0) {
            allArrived.notify_all();
            return true;
        }
        return allArrived.wait_for(lock, std::chrono::seconds(10),
                                   [this] { return remaining == 0; });
    }

private:
    std::mutex mutex;
    std::condition_variable allArrived;
    int remaining;
};

QJsonObject statement(const KX2DBSqlite& db, const QString& name)
{
    return db.sqlEngine().value(name).toObject();
}

} // namespace

class TestKX2DBSqlite : public QObject
{
    Q_OBJECT

private slots:
    void init();

    // Engine files
    void commentRemoval();
    void engineFileStatements();
    void engineFileNamesAndDeclarations();
    void engineFileMarkersAndComments();
    void engineFileFailures();

    // Binding and rows
    void binding_data();
    void binding();
    void rowConversion();

    // Statement sequences and counters
    void syntaxErrorInFirstStatement();
    void constraintErrorInLaterStatement();
    void countersAndRowLists();
    void closedDatabaseRunsNothing();

    // Opening
    void createsMissingDirectoryAndFile();
    void creatorFailureLeavesNoFile();
    void fourArgumentOpen();
    void openOnlyNeverCreates();
    void storeAndJournalsAreOwnersOnly();
    void transactions();

    // Threads
    void concurrentCalls();
    void statusPerCall();
    void statusForms();
    void lastErrorPerObject();
    void destructionWaitsForDetachedCalls();

private:
    bool openFresh(KX2DBSqlite& db, const QString& name = QStringLiteral("test.db"));

    QScopedPointer<QTemporaryDir> dir;
    QString creatorPath;
    QString enginePath;
};

void TestKX2DBSqlite::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
    creatorPath = dir->filePath(QStringLiteral("creator.sql"));
    enginePath = dir->filePath(QStringLiteral("engine.sql"));
    writeFile(creatorPath, kCreator);
    writeFile(enginePath, kEngine);
}

bool TestKX2DBSqlite::openFresh(KX2DBSqlite& db, const QString& name)
{
    db.loadSqlCreator(creatorPath);
    return db.open(dir->filePath(name)) && db.loadSqlEngine(enginePath);
}

// ---------------------------------------------------------------------------

void TestKX2DBSqlite::commentRemoval()
{
    const QStringList lines = KX2DBSqlite::delSqlComments(
        QStringLiteral("  SELECT 1; -- why\r\n\n-- only a comment\n\tb  \nx = 'a--b'"));
    QCOMPARE(lines, (QStringList{"SELECT 1;", "", "b", "x = 'a"}));
}

void TestKX2DBSqlite::engineFileStatements()
{
    writeFile(enginePath,
              "SQL: twice\nSELECT 1 AS first;\n"
              "SQL: configure_get\nSELECT 'mine' AS value;\n"
              "SQL: twice\nSELECT 2 AS second;\n"
              "SQL: empty_body\nparams:\nx int\n");
    KX2DBSqlite db;
    QVERIFY(db.loadSqlEngine(enginePath));

    const QJsonObject twice = statement(db, "twice");
    QCOMPARE(twice.value("id").toString(), QString("twice"));
    QCOMPARE(twice.value("text").toString(), QString("SELECT 2 AS second;\n"));
    QCOMPARE(statement(db, "configure_get").value("text").toString(),
             QString("SELECT 'mine' AS value;\n"));
    QVERIFY(!db.sqlEngine().contains("empty_body"));

    // The other built-ins are still there, as stored in the program.
    const QJsonObject change = statement(db, "configure_change");
    QVERIFY(!change.contains("id"));
    QCOMPARE(change.value("params").toObject(),
             (QJsonObject{{"key", "string"}, {"value", "string"}}));
    QVERIFY(db.sqlEngine().contains("configure_alload"));
    QVERIFY(db.sqlEngine().contains("configure_append"));
    QCOMPARE(db.engineText(),
             QString::fromUtf8(QByteArray(
                 "SQL: twice\nSELECT 1 AS first;\nSQL: configure_get\nSELECT 'mine' AS value;\n"
                 "SQL: twice\nSELECT 2 AS second;\nSQL: empty_body\nparams:\nx int")));
}

void TestKX2DBSqlite::engineFileNamesAndDeclarations()
{
    writeFile(enginePath,
              "ignored line before any statement\n"
              "SQL:  Mission_Detail \n"
              "  SELECT   msn_no   FROM t\n"
              "  WHERE msn_path = :path;\n"
              "Params: trailing words are ignored\n"
              "path\n"
              "SQL: forms\nSELECT :a, :b, :c, :d, :e;\n"
              "PARAMS:\n"
              "a string\n"
              "@b   STRING  extra\n"
              ":c int\n"
              "d\tdouble\n"
              "e text\n"
              "e integer\n"
              "SELECT after params is a declaration\n");
    KX2DBSqlite db;
    QVERIFY(db.loadSqlEngine(enginePath));

    const QJsonObject detail = statement(db, "mission_detail");
    QCOMPARE(detail.value("id").toString(), QString("mission_detail"));
    QCOMPARE(detail.value("text").toString(),
             QString("SELECT   msn_no   FROM t\nWHERE msn_path = :path;\n"));
    QCOMPARE(detail.value("params").toObject(), (QJsonObject{{"path", "string"}}));

    QCOMPARE(statement(db, "forms").value("params").toObject(),
             (QJsonObject{{"a", "string"},
                          {"b", "string"},
                          {"c", "int"},
                          {"d", "double"},
                          {"e", "integer"},
                          {"SELECT", "after"}}));

    QVERIFY(!db.call("Mission_Detail"));
    QCOMPARE(db.lastError(), QString("sqlid not found: Mission_Detail"));
    QCOMPARE(db.lastSqlId(), QString("Mission_Detail"));
}

void TestKX2DBSqlite::engineFileMarkersAndComments()
{
    writeFile(enginePath,
              "SQL: first -- the name ends before the comment\n"
              "SELECT @a AS a, 'x--y' AS b;\n"
              "params:\na int\n"
              "SQL: last\n"
              "SELECT @z AS z;   -- comment\n");
    KX2DBSqlite db;
    QVERIFY(db.loadSqlEngine(enginePath));
    QCOMPARE(statement(db, "first").value("text").toString(), QString("SELECT :a AS a, 'x\n"));
    QCOMPARE(statement(db, "last").value("text").toString(), QString("SELECT :z AS z;\n"));
}

void TestKX2DBSqlite::engineFileFailures()
{
    KX2DBSqlite db;
    QVERIFY(db.loadSqlEngine(enginePath));
    const QJsonObject loaded = db.sqlEngine();

    QVERIFY(!db.loadSqlEngine(QString()));
    QCOMPARE(db.lastError(), QString("Not found engine ddl."));
    QCOMPARE(db.sqlEngine(), loaded);

    QVERIFY(!db.loadSqlEngine(dir->filePath("missing.sql")));
    QCOMPARE(db.lastError(), QString("Not found engine ddl."));
    QCOMPARE(db.sqlEngine(), loaded);

    db.loadSqlCreator(dir->filePath("missing.sql"));
    QVERIFY(db.creatorText().isEmpty());
    db.loadSqlCreator(creatorPath);
    QCOMPARE(db.creatorText(), QString::fromUtf8(kCreator).trimmed());
}

// ---------------------------------------------------------------------------

void TestKX2DBSqlite::binding_data()
{
    QTest::addColumn<QJsonObject>("values");
    QTest::addColumn<QString>("declared");
    QTest::addColumn<QString>("expectedType");
    QTest::addColumn<QJsonValue>("expectedValue");

    QTest::newRow("7.0 is an integer") << QJsonObject{{"v", 7.0}} << ""
                                       << "integer" << QJsonValue(7);
    QTest::newRow("7.5 is a double") << QJsonObject{{"v", 7.5}} << ""
                                     << "real" << QJsonValue(7.5);
    QTest::newRow("true is 1") << QJsonObject{{"v", true}} << ""
                               << "integer" << QJsonValue(1);
    QTest::newRow("false is 0") << QJsonObject{{"v", false}} << ""
                                << "integer" << QJsonValue(0);
    QTest::newRow("large whole number") << QJsonObject{{"v", 5000000000.0}} << ""
                                        << "integer" << QJsonValue(5000000000.0);
    QTest::newRow("text") << QJsonObject{{"v", QString::fromUtf8("病毒 ok")}} << ""
                          << "text" << QJsonValue(QString::fromUtf8("病毒 ok"));
    QTest::newRow("empty text") << QJsonObject{{"v", ""}} << ""
                                << "text" << QJsonValue("");
    QTest::newRow("null declared int") << QJsonObject{{"v", QJsonValue::Null}} << "int"
                                       << "null" << QJsonValue(QJsonValue::Undefined);
    QTest::newRow("array") << QJsonObject{{"v", QJsonArray{1}}} << "string"
                           << "null" << QJsonValue(QJsonValue::Undefined);
    QTest::newRow("missing int") << QJsonObject() << "int"
                                 << "integer" << QJsonValue(0);
    QTest::newRow("missing double") << QJsonObject() << "double"
                                    << "integer" << QJsonValue(0);
    QTest::newRow("missing string") << QJsonObject() << "string"
                                    << "text" << QJsonValue("");
    QTest::newRow("missing text") << QJsonObject() << "text"
                                  << "text" << QJsonValue("");
    QTest::newRow("missing integer") << QJsonObject() << "integer"
                                     << "null" << QJsonValue(QJsonValue::Undefined);
    QTest::newRow("missing undeclared") << QJsonObject() << ""
                                        << "null" << QJsonValue(QJsonValue::Undefined);
    QTest::newRow("other name") << QJsonObject{{"V", 1}} << ""
                                << "null" << QJsonValue(QJsonValue::Undefined);
}

void TestKX2DBSqlite::binding()
{
    QFETCH(QJsonObject, values);
    QFETCH(QString, declared);
    QFETCH(QString, expectedType);
    QFETCH(QJsonValue, expectedValue);

    KX2DBSqlite db;
    QVERIFY(openFresh(db));
    QJsonObject params;
    if (!declared.isEmpty())
        params.insert("v", declared);

    int changes = -1;
    int rowId = -1;
    QList<QJsonObject> rows;
    // '@' and ':' markers look up the same name.
    QVERIFY2(db.exec(changes, rowId, rows, "SELECT typeof(:v) AS type, @v AS v;", values, params),
             qPrintable(db.lastError()));
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows[0].value("type").toString(), expectedType);
    QCOMPARE(rows[0].value("v"), expectedValue);
}

void TestKX2DBSqlite::rowConversion()
{
    KX2DBSqlite db;
    QVERIFY(openFresh(db));
    QList<QJsonObject> rows;
    QVERIFY(db.call(rows, "item_count"));
    QCOMPARE(rows, (QList<QJsonObject>{{{"reccount", 0}}}));

    rows.clear();
    int changes = 0;
    int rowId = 0;
    QVERIFY(db.exec(changes, rowId, rows,
                    "SELECT COUNT(*), NULL AS Gone, '' AS Empty, 2.5 AS Ratio,"
                    " 1099511627776 AS Big, x'00ff' AS Bin;"));
    QCOMPARE(rows.size(), 1);
    const QJsonObject expected{
        {"count(*)", 1}, {"empty", ""}, {"ratio", 2.5}, {"big", 1099511627776.0}};
    QCOMPARE(rows[0], expected);
}

// ---------------------------------------------------------------------------

void TestKX2DBSqlite::syntaxErrorInFirstStatement()
{
    KX2DBSqlite db;
    QVERIFY(openFresh(db));
    int changes = 0;
    int rowId = 0;
    QVERIFY(!db.exec(changes, rowId,
                     "INSRT INTO t_item (itm_name) VALUES ('a');"
                     "INSERT INTO t_item (itm_name) VALUES ('b');"));
    QVERIFY2(db.lastError().contains("syntax error"), qPrintable(db.lastError()));

    QList<QJsonObject> rows;
    QVERIFY(db.call(rows, "item_count"));
    QCOMPARE(rows.value(0).value("reccount").toInt(), 0);
}

void TestKX2DBSqlite::constraintErrorInLaterStatement()
{
    KX2DBSqlite db;
    QVERIFY(openFresh(db));
    int changes = 0;
    int rowId = 0;
    QVERIFY(db.exec(changes, rowId,
                    "INSERT INTO t_item (itm_name) VALUES ('a');\n"
                    "INSERT INTO t_item (itm_name) VALUES ('a');\n"
                    "INSERT INTO t_item (itm_name) VALUES ('b');\n"));
    QVERIFY2(db.lastError().contains("UNIQUE"), qPrintable(db.lastError()));
    QCOMPARE(rowId, 2);
    QCOMPARE(changes, 1);

    QList<QJsonObject> rows;
    QVERIFY(db.exec(changes, rowId, rows, "SELECT itm_name AS n FROM t_item ORDER BY itm_no;"));
    QCOMPARE(rows, (QList<QJsonObject>{{{"n", "a"}}, {{"n", "b"}}}));
}

void TestKX2DBSqlite::countersAndRowLists()
{
    KX2DBSqlite db;
    QVERIFY(openFresh(db));
    int changes = -1;
    int rowId = -1;
    QVERIFY(db.call(changes, rowId, "item_append", {{"name", "x"}, {"size", 10}}));
    QCOMPARE(changes, 1);
    QCOMPARE(rowId, 1);
    QVERIFY(db.call("item_append", {{"name", "y"}}));
    QVERIFY(db.exec(changes, rowId, "UPDATE t_item SET itm_note = 'n';"));
    QCOMPARE(changes, 2);

    // Rows are appended to what the caller already holds.
    QJsonArray array{"kept"};
    QVERIFY(db.call(changes, rowId, array, "item_by_name", {{"name", "x"}}));
    QCOMPARE(
        array,
        (QJsonArray{"kept", QJsonObject{{"no", 1}, {"name", "x"}, {"size", 10}, {"note", "n"}}}));
    QVERIFY(db.call(array, "item_by_name", {{"name", "y"}}));
    QCOMPARE(array.size(), 3);
    QVERIFY(!array.at(2).toObject().contains("size")); // "integer" left out binds NULL

    // An unknown name touches nothing the caller passed.
    QList<QJsonObject> rows{{{"kept", true}}};
    changes = 41;
    rowId = 42;
    QVERIFY(!db.call(changes, rowId, rows, "no_such_statement"));
    QCOMPARE(db.lastError(), QString("sqlid not found: no_such_statement"));
    QCOMPARE(changes, 41);
    QCOMPARE(rowId, 42);
    QCOMPARE(rows.size(), 1);

    // A SELECT that finds nothing still succeeds.
    QVERIFY(db.call(changes, rowId, rows, "item_by_name", {{"name", "none"}}));
    QCOMPARE(rows.size(), 1);
}

void TestKX2DBSqlite::closedDatabaseRunsNothing()
{
    const QString path = dir->filePath("closed.db");
    KX2DBSqlite db;
    QVERIFY(openFresh(db, "closed.db"));
    db.close();
    QVERIFY(!db.isOpen());
    QVERIFY(db.handle() == nullptr);
    QVERIFY(db.fileName().isEmpty());

    int changes = 0;
    int rowId = 0;
    QVERIFY(!db.exec(changes, rowId, "INSERT INTO t_item (itm_name) VALUES ('a');"));
    QVERIFY(!db.call("item_append", {{"name", "b"}}));
    QVERIFY(!db.lastError().isEmpty());
    db.callDetach("item_append", {{"name", "c"}});

    QVERIFY(db.openOnly(path));
    QList<QJsonObject> rows;
    QVERIFY(db.call(rows, "item_count"));
    QCOMPARE(rows.value(0).value("reccount").toInt(), 0);
}

// ---------------------------------------------------------------------------

void TestKX2DBSqlite::createsMissingDirectoryAndFile()
{
    const QString subdir = dir->filePath("a/b");
    const QString path = subdir + "/store.db";
    KX2DBSqlite db;
    db.loadSqlCreator(creatorPath);
    bool created = false;
    // A restrictive umask must not leak into the directory's mode.
    const mode_t oldMask = ::umask(077);
    const bool opened = db.open(path, &created);
    ::umask(oldMask);
    QVERIFY2(opened, qPrintable(db.lastError()));
    QVERIFY(created);
    QVERIFY(db.isOpen());
    QCOMPARE(db.fileName(), path);
    QCOMPARE(QFileInfo(subdir).permissions() & 0x0777, QFileDevice::Permissions(0x0755));

    // The creator script ran: the built-in statements see its table.
    QList<QJsonObject> rows;
    QVERIFY(db.call(rows, "configure_get", {{"key", "Database.Version"}}));
    QCOMPARE(rows, (QList<QJsonObject>{{{"value", "1"}}}));

    created = false;
    QVERIFY(db.open(path, &created));
    QVERIFY(!created);
    db.close();
}

void TestKX2DBSqlite::creatorFailureLeavesNoFile()
{
    const QString path = dir->filePath("broken.db");
    KX2DBSqlite db;
    bool created = false;
    QVERIFY(!db.open(path, &created));
    QCOMPARE(db.lastError(), QString("Not found creator ddl"));
    QVERIFY(!QFile::exists(path));

    // The failing statement is not the first: the file must still go.
    writeFile(creatorPath, "CREATE TABLE t (a INTEGER);\nCREATE TABLE t (a INTEGER);\n");
    db.loadSqlCreator(creatorPath);
    QVERIFY(!db.open(path, &created));
    QVERIFY2(db.lastError().contains("already exists"), qPrintable(db.lastError()));
    QVERIFY(!created);
    QVERIFY(!db.isOpen());
    QVERIFY(db.fileName().isEmpty());
    QVERIFY(!QFile::exists(path));
}

void TestKX2DBSqlite::fourArgumentOpen()
{
    const QString path = dir->filePath("four.db");
    KX2DBSqlite db;
    bool created = false;
    QVERIFY(!db.open(QString(), enginePath, creatorPath, &created));
    // Both forms: an empty name must not become a throw-away temporary store.
    db.loadSqlCreator(creatorPath);
    QVERIFY(!db.open(QString(), &created));
    QVERIFY(!created);
    QVERIFY(!db.isOpen());
    QCOMPARE(db.lastError(), QString("database path is empty"));
    QVERIFY(!db.open(path, enginePath, QString(), &created));
    QCOMPARE(db.lastError(), QString("Not found creator ddl"));
    QVERIFY(!QFile::exists(path));

    QVERIFY(db.open(path, enginePath, creatorPath, &created));
    QVERIFY(created);
    QVERIFY(db.call("item_append", {{"name", "x"}}));

    // An engine file that cannot be read does not fail the open.
    created = false;
    QVERIFY(db.open(path, dir->filePath("missing.sql"), QString(), &created));
    QVERIFY(!created);
    QVERIFY(db.sqlEngine().contains("item_append"));
}

void TestKX2DBSqlite::openOnlyNeverCreates()
{
    const QString path = dir->filePath("only.db");
    KX2DBSqlite db;
    db.loadSqlCreator(creatorPath);
    QVERIFY(!db.openOnly(path));
    QVERIFY(!db.isOpen());
    QVERIFY(!QFile::exists(path));

    QVERIFY(db.open(path));
    db.close();
    QVERIFY(db.openOnly(path));
    QCOMPARE(db.fileName(), path);
}

namespace {

int modeOf(const QString& path)
{
    struct stat info
    {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

} // namespace

// The store holds paths of users' files: neither a permissive umask nor an
// earlier version's 0644 file may leave it or its journals readable by
// others.
void TestKX2DBSqlite::storeAndJournalsAreOwnersOnly()
{
    const QString path = dir->filePath("private.db");
    KX2DBSqlite db;
    db.loadSqlCreator(creatorPath);
    const mode_t oldMask = ::umask(0);
    const bool opened = db.open(path) && db.loadSqlEngine(enginePath);
    QVERIFY2(opened, qPrintable(db.lastError()));
    QCOMPARE(modeOf(path), 0600);
    // The rollback journal exists while a write transaction runs.
    QVERIFY(db.transactionBegin());
    QVERIFY(db.call("item_append", {{"name", "/home/alice/private/x"}}));
    const int journalMode = modeOf(path + "-journal");
    QVERIFY(db.transactionCommit());
    QCOMPARE(journalMode, 0600);
    int changes = 0, lastRowId = 0;
    QList<QJsonObject> rows;
    QVERIFY(db.exec(changes, lastRowId, rows, "PRAGMA journal_mode = WAL;"));
    QVERIFY(db.call("item_append", {{"name", "y"}}));
    QCOMPARE(modeOf(path + "-wal"), 0600);
    QCOMPARE(modeOf(path + "-shm"), 0600);
    ::umask(oldMask);

    // What an earlier version left: everything 0644 (the journals stay
    // while a connection is open), closed by the next open.
    for (const char* suffix : {"", "-wal", "-shm"})
        QCOMPARE(::chmod(QFile::encodeName(path + suffix).constData(), 0644), 0);
    KX2DBSqlite next;
    QVERIFY(next.open(path));
    for (const char* suffix : {"", "-wal", "-shm"})
        QCOMPARE(modeOf(path + suffix), 0600);
    next.close();
    db.close();
}

void TestKX2DBSqlite::transactions()
{
    KX2DBSqlite db;
    QVERIFY(!db.transactionBegin());
    QVERIFY(openFresh(db));

    QVERIFY(db.transactionBegin());
    QVERIFY(!db.transactionBegin());
    QVERIFY(db.call("item_append", {{"name", "gone"}}));
    QVERIFY(db.transactionRollback());
    QVERIFY(db.transactionBegin());
    QVERIFY(db.call("item_append", {{"name", "kept"}}));
    QVERIFY(db.transactionCommit());
    QVERIFY(!db.transactionCommit());

    QList<QJsonObject> rows;
    QVERIFY(db.call(rows, "item_count"));
    QCOMPARE(rows.value(0).value("reccount").toInt(), 1);
}

// ---------------------------------------------------------------------------

// Writers and readers share the connection while the catalogue is swapped
// underneath them. Every insert must land and report its own row id.
void TestKX2DBSqlite::concurrentCalls()
{
    KX2DBSqlite db;
    QVERIFY(openFresh(db));
    // Durability is not under test; without it the run takes seconds, not minutes.
    int changes = 0;
    int rowId = 0;
    QVERIFY(db.exec(changes, rowId, "PRAGMA synchronous = OFF;"));
    const int writers = 6;
    const int perWriter = 300;
    std::atomic<int> failures{0};
    std::atomic<bool> writing{true};
    std::vector<std::vector<int>> rowIds(writers);
    std::vector<std::thread> threads;

    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < perWriter; ++i) {
                int changes = 0;
                int rowId = 0;
                const QString name = QString("w%1-%2").arg(w).arg(i);
                if (!db.call(changes, rowId, "item_append", {{"name", name}, {"size", i}})
                    || changes != 1) {
                    ++failures;
                    continue;
                }
                QList<QJsonObject> rows;
                if (!db.call(rows, "item_by_name", {{"name", name}}) || rows.size() != 1
                    || rows[0].value("no").toInt() != rowId)
                    ++failures;
                rowIds[w].push_back(rowId);
            }
        });
    }
    threads.emplace_back([&] {
        while (writing.load()) {
            QList<QJsonObject> rows;
            if (!db.call(rows, "item_count") || rows.size() != 1)
                ++failures;
            if (!db.loadSqlEngine(enginePath))
                ++failures;
        }
    });
    for (int w = 0; w < writers; ++w)
        threads[w].join();
    writing = false;
    threads.back().join();

    QVERIFY2(failures.load() == 0, qPrintable(db.lastError()));
    QSet<int> distinct;
    for (const auto& ids : rowIds)
        for (int id : ids)
            distinct.insert(id);
    QCOMPARE(distinct.size(), writers * perWriter);
    QList<QJsonObject> rows;
    QVERIFY(db.call(rows, "item_count"));
    QCOMPARE(rows.value(0).value("reccount").toInt(), writers * perWriter);
}

// Two threads fail over and over on one shared object, each with its own
// statement name, while a third succeeds: every status carries the failure
// of its own call. The shared lastError() holds one of the two messages.
void TestKX2DBSqlite::statusPerCall()
{
    KX2DBSqlite db;
    QVERIFY(openFresh(db));
    const int rounds = 2000;
    Barrier start(3);
    std::atomic<int> wrong{0};
    std::atomic<int> met{0};
    QString seen[2];
    auto failing = [&](int which) {
        const QString name = QStringLiteral("missing_%1").arg(which);
        const QString expected = QStringLiteral("sqlid not found: ") + name;
        if (start.arriveAndWait())
            ++met;
        for (int i = 0; i < rounds; ++i) {
            const KX2Status status = db.run(name);
            if (status.ok() || status.message() != expected) {
                seen[which] = status.message();
                ++wrong;
            }
        }
    };
    std::thread first(failing, 0);
    std::thread second(failing, 1);
    std::thread succeeding([&] {
        if (start.arriveAndWait())
            ++met;
        for (int i = 0; i < rounds; ++i) {
            QList<QJsonObject> rows;
            if (!db.run(rows, "item_count").ok() || rows.size() != 1)
                ++wrong;
        }
    });
    first.join();
    second.join();
    succeeding.join();

    QCOMPARE(met.load(), 3);
    QVERIFY2(wrong.load() == 0, qPrintable(seen[0] + " / " + seen[1]));
    QVERIFY2(db.lastError() == "sqlid not found: missing_0"
                 || db.lastError() == "sqlid not found: missing_1",
             qPrintable(db.lastError()));
}

// The status forms report what the bool forms leave in lastError(), with
// SQLite's result code; a text without a statement fails too.
void TestKX2DBSqlite::statusForms()
{
    KX2DBSqlite db;
    KX2Status status = db.run("anything");
    QCOMPARE(status.code(), SQLITE_ERROR);
    QCOMPARE(status.message(), QString("sqlid not found: anything"));
    int changes = 0, rowId = 0;
    status = db.runSql(changes, rowId, "SELECT 1;");
    QCOMPARE(status.code(), SQLITE_MISUSE);
    QCOMPARE(status.message(), QString("database is not open"));
    QCOMPARE(db.openFile(QString()).message(), QString("database path is empty"));

    QVERIFY(openFresh(db));
    QVERIFY(db.runSql(changes, rowId, "INSERT INTO t_item (itm_name) VALUES ('dup');").ok());
    status = db.runSql(changes, rowId, "INSERT INTO t_item (itm_name) VALUES ('dup');");
    QCOMPARE(status.code(), SQLITE_CONSTRAINT_UNIQUE);
    QVERIFY2(status.message().contains("UNIQUE"), qPrintable(status.message()));
    QCOMPARE(db.lastError(), status.message());
    QCOMPARE(db.runSql(changes, rowId, "  ").message(), QString("no statement to run"));
    QVERIFY(!db.loadEngine(dir->filePath("missing.sql")).ok());
}

// An error belongs to the object it happened on, also to a new object that
// takes the place of a destroyed one on the same thread.
void TestKX2DBSqlite::lastErrorPerObject()
{
    KX2DBSqlite first;
    KX2DBSqlite second;
    QVERIFY(!first.call("first_missing"));
    QCOMPARE(first.lastError(), QString("sqlid not found: first_missing"));
    QCOMPARE(second.lastError(), QString());
    QVERIFY(!second.call("second_missing"));
    QCOMPARE(first.lastError(), QString("sqlid not found: first_missing"));
    QCOMPARE(second.lastError(), QString("sqlid not found: second_missing"));

    for (int round = 0; round < 3; ++round) {
        auto gone = std::make_unique<KX2DBSqlite>();
        QVERIFY(!gone->call("gone_missing"));
        gone.reset();
        const KX2DBSqlite fresh;
        QCOMPARE(fresh.lastError(), QString());
    }
}

// The object is destroyed right after handing the calls over; its
// destructor returns only once every background statement has run.
void TestKX2DBSqlite::destructionWaitsForDetachedCalls()
{
    const QString path = dir->filePath("detached.db");
    {
        KX2DBSqlite db;
        db.loadSqlCreator(creatorPath);
        QVERIFY(db.open(path));
        QVERIFY(db.loadSqlEngine(enginePath));
        // Enough statements that the last ones are still queued on the
        // shared connection when the calls have all been handed over.
        for (int i = 0; i < 200; ++i)
            db.callDetach("item_append", {{"name", QString::number(i)}});
    }
    KX2DBSqlite reader;
    QVERIFY(reader.openOnly(path));
    QVERIFY(reader.loadSqlEngine(enginePath));
    QList<QJsonObject> rows;
    QVERIFY(reader.call(rows, "item_count"));
    QCOMPARE(rows.value(0).value("reccount").toInt(), 200);
}

QTEST_GUILESS_MAIN(TestKX2DBSqlite)
#include "tst_kx2dbsqlite.moc"
