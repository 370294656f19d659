// Quarantine and scan-log management over a real local socket, with files
// quarantined by real scans: listing windows, pruning, removal, restores
// (and their refusals), log listing and removal, thousands of numbers in
// one request, and restore against removal of the same records.

#include "avservice.h"

#include <QMetaMethod>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "znrawpath.h"

namespace {

const int kRestoreDeadlineMs = 2000;

int err(const QJsonObject& reply)
{
    return reply.value("err").toInt();
}

QSet<QString> keySet(const QJsonObject& object)
{
    const QStringList keys = object.keys();
    return QSet<QString>(keys.begin(), keys.end());
}

QList<int> iftnos(const QJsonArray& records)
{
    QList<int> list;
    for (const QJsonValue& record : records)
        list << record.toObject().value("iftno").toInt();
    return list;
}

} // namespace

class tst_ZNQuarantine : public QObject
{
    Q_OBJECT
private slots:
    void listingWindowsRemovedAndPruning();
    void removeDeletesFilesThenRecords();
    void restoreMovesFilesBackOnlyToSafePlaces();
    void restoreFailingLaterKeepsTheRecord();
    void listingAfterRestoreReplyLeavesTheRecordOut();
    void restoreFollowsOnlyTheAdministratorsLinks();
    void restoreAcrossFileSystems();
    void moveWithoutRenameFlagNeverReplaces();
    void logsListAndRemove();
    void thousandsOfNumbersInOneRequest();
    void millionNumbersInOneRequest();
    void restoreAndRemoveOfTheSameRecordsAtOnce();
    void methodsHelpAndOrder();
    void reduceReportsAFailingStore();

private:
    // Quarantines `count` infected files "f00".."fNN" below `dir` (relative
    // to the scanned tree) with one real scan; the records in ift_no order.
    QList<QJsonObject> quarantineFiles(avtest::Service& service, const QString& dir, int count);
};

QList<QJsonObject> tst_ZNQuarantine::quarantineFiles(avtest::Service& service, const QString& dir,
                                                     int count)
{
    const int before = service.rows("SELECT ift_no FROM t_infectes").size();
    for (int i = 0; i < count; ++i)
        avtest::writeFile(QString("%1/%2/f%3").arg(service.scanDir, dir).arg(i, 2, 10, QChar('0')),
                          avtest::eicar());
    if (err(service.scan(service.scanDir + "/" + dir)) != 0)
        return {};
    QElapsedTimer timer;
    timer.start();
    while (service.rows("SELECT ift_no FROM t_infectes WHERE ift_pending = 0").size()
               < before + count
           && timer.elapsed() < 10000)
        QTest::qWait(10);
    return service.rows("SELECT ift_no AS iftno, ift_path AS path, ift_quarantined AS quarantined "
                        "FROM t_infectes ORDER BY ift_no");
}

void tst_ZNQuarantine::listingWindowsRemovedAndPruning()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    // An empty quarantine: success, no keys; nothing to prune.
    QJsonObject reply = service.call("antivirus_quarantined_alload", {{"page", 1}, {"ofpage", 10}});
    QCOMPARE(err(reply), 0);
    QCOMPARE(reply.value("results").toObject(), QJsonObject());
    reply = service.call("antivirus_quarantined_reduce");
    QCOMPARE(err(reply), 0);
    QCOMPARE(reply.value("results").toObject(), QJsonObject({{"amount", 0}}));

    const QList<QJsonObject> records = quarantineFiles(service, "many", 25);
    QCOMPARE(records.size(), 25);

    // "page" is the position of the first row: 21 to 25 of 25.
    reply = service.call("antivirus_quarantined_alload", {{"page", 21}, {"ofpage", 10}});
    QCOMPARE(err(reply), 0);
    QJsonObject results = reply.value("results").toObject();
    QCOMPARE(results.value("reccount").toInt(), 25);
    QCOMPARE(results.value("page").toInt(), 21);
    QCOMPARE(results.value("ofpage").toInt(), 10);
    QList<int> expected;
    for (int i = 20; i < 25; ++i)
        expected << records.at(i).value("iftno").toInt();
    QCOMPARE(iftnos(results.value("records").toArray()), expected);
    const QJsonObject first = results.value("records").toArray().first().toObject();
    QCOMPARE(keySet(first),
             QSet<QString>({"iftno", "crttime", "msnno", "time", "filename", "path", "quarantined",
                            "virus", "moved", "tskno", "reason", "removed"}));
    QCOMPARE(first.value("path").toString(), records.at(20).value("path").toString());
    QCOMPARE(first.value("removed").toInt(), 0);

    reply = service.call("antivirus_quarantined_alload", {{"page", 30}, {"ofpage", 10}});
    results = reply.value("results").toObject();
    QCOMPARE(results.value("reccount").toInt(), 25);
    QCOMPARE(results.value("records").toArray(), QJsonArray());

    // Missing values mean 1; out-of-range values are clamped.
    reply = service.call("antivirus_quarantined_alload");
    QCOMPARE(iftnos(reply.value("results").toObject().value("records").toArray()),
             QList<int>{records.first().value("iftno").toInt()});
    reply = service.call("antivirus_quarantined_alload", {{"page", 0}, {"ofpage", 1e12}});
    results = reply.value("results").toObject();
    QCOMPARE(results.value("page").toInt(), 1);
    QCOMPARE(results.value("ofpage").toInt(), 99999999);
    QCOMPARE(results.value("records").toArray().size(), 25);
    reply = service.call("antivirus_quarantined_alload", {{"page", "2000000"}});
    QCOMPARE(reply.value("results").toObject().value("page").toInt(), 1000000);

    // A file deleted by hand lists as removed; pruning takes its record once.
    QVERIFY(QFile::remove(records.at(3).value("quarantined").toString()));
    reply = service.call("antivirus_quarantined_alload", {{"page", 4}, {"ofpage", 2}});
    const QJsonArray window = reply.value("results").toObject().value("records").toArray();
    QCOMPARE(window.at(0).toObject().value("removed").toInt(), 1);
    QCOMPARE(window.at(1).toObject().value("removed").toInt(), 0);
    QCOMPARE(service.call("antivirus_quarantined_reduce")
                 .value("results")
                 .toObject()
                 .value("amount")
                 .toInt(),
             1);
    QCOMPARE(service.call("antivirus_quarantined_reduce")
                 .value("results")
                 .toObject()
                 .value("amount")
                 .toInt(),
             0);
    QCOMPARE(service.rows("SELECT ift_no FROM t_infectes").size(), 24);

    // A new file of the same name never takes the name of a record whose
    // file is gone: deleting or restoring that record must not reach it.
    QVERIFY(QFile::remove(records.at(4).value("quarantined").toString()));
    const QList<QJsonObject> after = quarantineFiles(service, "many", 25);
    QCOMPARE(after.size(), 24 + 25);
    QSet<QString> names;
    for (const QJsonObject& record : after)
        names.insert(record.value("quarantined").toString());
    QCOMPARE(names.size(), after.size());
}

void tst_ZNQuarantine::removeDeletesFilesThenRecords()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    const QList<QJsonObject> records = quarantineFiles(service, "rm", 4);
    QCOMPARE(records.size(), 4);
    const int a = records.at(0).value("iftno").toInt(), b = records.at(1).value("iftno").toInt();

    // Its file already gone: the record still goes. The number list keeps
    // positive numbers once, whatever their JSON form.
    QVERIFY(QFile::remove(records.at(0).value("quarantined").toString()));
    QJsonObject reply =
        service.call("antivirus_quarantined_remove",
                     {{"iftnos", QJsonArray{a, QString::number(b), 0, -2, double(a)}}});
    QCOMPARE(err(reply), 0);
    QVERIFY(!reply.contains("results"));
    QVERIFY(!QFileInfo::exists(records.at(1).value("quarantined").toString()));
    QCOMPARE(service.rows("SELECT ift_no FROM t_infectes").size(), 2);

    // Unknown numbers: refused with 9994.
    QCOMPARE(err(service.call("antivirus_quarantined_remove", {{"iftnos", QJsonArray{a, 999}}})),
             9994);
    reply = service.call("antivirus_quarantined_remove", {{"iftnos", 7}});
    QCOMPARE(err(reply), 9995);
    QCOMPARE(reply.value("errmsg").toString(), QStringLiteral("缺少参数: iftnos"));
    QCOMPARE(err(service.call("antivirus_quarantined_restore", {{"iftnos", QJsonArray{0, -1}}})),
             9995);

    // A file that cannot be deleted keeps its record, settled.
    const QJsonObject third = records.at(2);
    const QString held = third.value("quarantined").toString();
    QVERIFY(QFile::remove(held));
    QVERIFY(QDir().mkpath(held + "/inside"));
    QCOMPARE(err(service.call("antivirus_quarantined_remove",
                              {{"iftnos", QJsonArray{third.value("iftno")}}})),
             9994);
    QCOMPARE(service
                 .rows(QString("SELECT ift_pending AS p FROM t_infectes WHERE ift_no = %1")
                           .arg(third.value("iftno").toInt()))
                 .value(0)
                 .value("p")
                 .toInt(-1),
             0);
}

void tst_ZNQuarantine::restoreMovesFilesBackOnlyToSafePlaces()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine()); // default settings: no schedule
    const QList<QJsonObject> records = quarantineFiles(service, "back", 5);
    QCOMPARE(records.size(), 5);
    auto restore = [&](int index) {
        return err(service.call("antivirus_quarantined_restore",
                                {{"iftnos", QJsonArray{records.at(index).value("iftno")}}}));
    };
    auto recordCount = [&] { return service.rows("SELECT ift_no FROM t_infectes").size(); };
    const QString free = records.at(0).value("path").toString();
    QVERIFY(!QFileInfo::exists(free));

    // A free place: the file is back with its content within two seconds.
    QCOMPARE(restore(0), 0);
    QTRY_COMPARE_WITH_TIMEOUT(avtest::readBytes(free), avtest::eicar(), kRestoreDeadlineMs);
    QTRY_COMPARE_WITH_TIMEOUT(recordCount(), 4, kRestoreDeadlineMs);
    QVERIFY(!QFileInfo::exists(records.at(0).value("quarantined").toString()));

    // An occupied place: both untouched, 9994, the record listed.
    const QString occupied = records.at(1).value("path").toString();
    QVERIFY(avtest::writeFile(occupied, "the user's new file"));
    QCOMPARE(restore(1), 9994);
    QCOMPARE(avtest::readBytes(occupied), QByteArray("the user's new file"));
    QCOMPARE(avtest::readBytes(records.at(1).value("quarantined").toString()), avtest::eicar());

    // The former path is a link (even a dangling one): never written through.
    const QString outside = service.root.path() + "/outside";
    QVERIFY(QDir().mkpath(outside));
    QVERIFY(QFile::link(outside + "/target", records.at(2).value("path").toString()));
    QCOMPARE(restore(2), 9994);
    QVERIFY(!QFileInfo::exists(outside + "/target"));

    // The former directory became a link to elsewhere: refused.
    const QString dir = QFileInfo(free).absolutePath();
    QVERIFY(QDir(dir).removeRecursively());
    QVERIFY(QFile::link(outside, dir));
    QCOMPARE(restore(3), 9994);
    QVERIFY(QDir(outside).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());

    // The former directory is gone: refused, no directory is created.
    QVERIFY(QFile::remove(dir));
    QCOMPARE(restore(4), 9994);
    QVERIFY(!QFileInfo::exists(dir));

    // Every refused file is still listed, with its file in the quarantine.
    QTest::qWait(100);
    QCOMPARE(recordCount(), 4);
    for (int i = 1; i < 5; ++i)
        QVERIFY(QFileInfo::exists(records.at(i).value("quarantined").toString()));
    QCOMPARE(service.rows("SELECT ift_no FROM t_infectes WHERE ift_pending <> 0").size(), 0);
}

// The place changes between the request and the move: the keeper refuses,
// and the file stays listed.
void tst_ZNQuarantine::restoreFailingLaterKeepsTheRecord()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    const QList<QJsonObject> records = quarantineFiles(service, "later", 3);
    QCOMPARE(records.size(), 3);
    const QString dir = service.scanDir + "/later";
    const QString outside = service.root.path() + "/outside";
    QVERIFY(QDir().mkpath(outside));
    QJsonArray all;
    for (const QJsonObject& record : records)
        all.append(record.value("iftno"));
    {
        // The moves are queued as a request queues them, but the places
        // change before the keeper runs: one is taken, then the whole
        // directory becomes a link.
        avtest::PauseGate::Hold hold(service.keeperJobs);
        service.rows("UPDATE t_infectes SET ift_pending = 2");
        QList<int> numbers;
        for (const QJsonObject& record : records)
            numbers << record.value("iftno").toInt();
        service.d->keeper.queueRestores(numbers);
        QVERIFY(avtest::writeFile(records.at(0).value("path").toString(), "taken"));
        QVERIFY(QDir(dir).rename(dir, dir + ".old"));
        QVERIFY(QFile::link(outside, dir));
        // Records marked for restore are not listed while their move waits.
        QCOMPARE(service.call("antivirus_quarantined_alload").value("results").toObject(),
                 QJsonObject());
    }
    QTRY_VERIFY_WITH_TIMEOUT(!service.d->keeper.isBusy(), kRestoreDeadlineMs);
    QTRY_COMPARE_WITH_TIMEOUT(
        service.rows("SELECT ift_no FROM t_infectes WHERE ift_pending = 0").size(), 3,
        kRestoreDeadlineMs);
    // The failed restores cleared their marks: listed again.
    QCOMPARE(service.call("antivirus_quarantined_alload")
                 .value("results")
                 .toObject()
                 .value("reccount")
                 .toInt(),
             3);
    QVERIFY(QDir(outside).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    for (const QJsonObject& record : records)
        QCOMPARE(avtest::readBytes(record.value("quarantined").toString()), avtest::eicar());
    // Once the place is usable again, the same records restore.
    QVERIFY(QFile::remove(dir));
    QVERIFY(QDir().rename(dir + ".old", dir));
    QCOMPARE(avtest::readBytes(records.at(0).value("path").toString()), QByteArray("taken"));
    QVERIFY(QFile::remove(records.at(0).value("path").toString()));
    QCOMPARE(err(service.call("antivirus_quarantined_restore", {{"iftnos", all}})), 0);
    QTRY_COMPARE_WITH_TIMEOUT(service.rows("SELECT ift_no FROM t_infectes").size(), 0,
                              kRestoreDeadlineMs);
    for (const QJsonObject& record : records)
        QCOMPARE(avtest::readBytes(record.value("path").toString()), avtest::eicar());
}

// The reply to a restore comes before the keeper moves the file; a listing
// right after it must not show the record. The keeper is stopped, so the
// restore stays queued for as long as the test looks.
void tst_ZNQuarantine::listingAfterRestoreReplyLeavesTheRecordOut()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    const QList<QJsonObject> records = quarantineFiles(service, "listed", 2);
    QCOMPARE(records.size(), 2);
    service.d->keeper.shutdown();
    QCOMPARE(err(service.call("antivirus_quarantined_restore",
                              {{"iftnos", QJsonArray{records.at(0).value("iftno")}}})),
             0);
    const QJsonObject results =
        service.call("antivirus_quarantined_alload").value("results").toObject();
    QCOMPARE(results.value("reccount").toInt(), 1);
    QCOMPARE(iftnos(results.value("records").toArray()),
             QList<int>({records.at(1).value("iftno").toInt()}));
    QCOMPARE(service.rows("SELECT ift_no FROM t_infectes WHERE ift_pending = 2").size(), 1);
}

// A link higher up the former path is followed only when root made it: a
// user who owns a directory there cannot point the restore elsewhere.
void tst_ZNQuarantine::restoreFollowsOnlyTheAdministratorsLinks()
{
    if (::geteuid() != 0)
        QSKIP("needs root to give a link another owner");
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    const QList<QJsonObject> records = quarantineFiles(service, "deep/sub", 2);
    QCOMPARE(records.size(), 2);
    const QString moved = service.root.path() + "/elsewhere/deep";
    QVERIFY(QDir().mkpath(service.root.path() + "/elsewhere"));
    QVERIFY(QDir().rename(service.scanDir + "/deep", moved));
    const QByteArray link = QFile::encodeName(service.scanDir + "/deep");
    QCOMPARE(::symlink("../elsewhere/deep", link.constData()), 0);

    QCOMPARE(err(service.call("antivirus_quarantined_restore",
                              {{"iftnos", QJsonArray{records.at(0).value("iftno")}}})),
             0);
    auto placeOf = [&](int i) {
        return moved + "/sub/" + QFileInfo(records.at(i).value("path").toString()).fileName();
    };
    QTRY_COMPARE_WITH_TIMEOUT(avtest::readBytes(placeOf(0)), avtest::eicar(), kRestoreDeadlineMs);

    QCOMPARE(::lchown(link.constData(), 1000, 1000), 0);
    QCOMPARE(err(service.call("antivirus_quarantined_restore",
                              {{"iftnos", QJsonArray{records.at(1).value("iftno")}}})),
             9994);
    QVERIFY(!QFileInfo::exists(placeOf(1)));
    QCOMPARE(avtest::readBytes(records.at(1).value("quarantined").toString()), avtest::eicar());
}

void tst_ZNQuarantine::restoreAcrossFileSystems()
{
    QTemporaryDir other(QStringLiteral("/dev/shm/zn-restore-XXXXXX"));
    struct stat a, b;
    if (!other.isValid() || ::stat("/dev/shm", &a) != 0
        || ::stat(QDir::tempPath().toUtf8().constData(), &b) != 0 || a.st_dev == b.st_dev)
        QSKIP("needs a second file system at /dev/shm");
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    const QString file = other.path() + "/shared/infected";
    QVERIFY(avtest::writeFile(file, avtest::eicar()));
    // A user's set-uid file: the copies both ways keep owner, group and
    // every mode bit (the owner change comes first, as it clears set-uid).
    const QByteArray raw = QFile::encodeName(file);
    const uid_t user = ::geteuid() == 0 ? 65534 : ::geteuid();
    const gid_t group = ::geteuid() == 0 ? 65534 : ::getegid();
    QVERIFY(::chown(raw.constData(), user, group) == 0);
    QVERIFY(::chmod(raw.constData(), 04750) == 0);
    auto sameOwnerAndMode = [&](const QByteArray& path) {
        struct stat info;
        return ::stat(path.constData(), &info) == 0 && info.st_uid == user && info.st_gid == group
            && (info.st_mode & 07777) == 04750;
    };
    QCOMPARE(err(service.scan(other.path() + "/shared")), 0);
    QTRY_COMPARE_WITH_TIMEOUT(
        service.rows("SELECT ift_no FROM t_infectes WHERE ift_pending = 0").size(), 1, 2000);
    QVERIFY(!QFileInfo::exists(file));
    QVERIFY(sameOwnerAndMode(
        QFile::encodeName(service.rows("SELECT ift_quarantined AS q FROM t_infectes")
                              .value(0)
                              .value("q")
                              .toString())));
    const int number =
        service.rows("SELECT ift_no AS n FROM t_infectes").value(0).value("n").toInt();
    QCOMPARE(err(service.call("antivirus_quarantined_restore", {{"iftnos", QJsonArray{number}}})),
             0);
    QTRY_COMPARE_WITH_TIMEOUT(service.rows("SELECT ift_no FROM t_infectes").size(), 0,
                              kRestoreDeadlineMs);
    QCOMPARE(avtest::readBytes(file), avtest::eicar());
    QVERIFY(sameOwnerAndMode(raw));
    QVERIFY(QDir(service.dataDir + "/.qra")
                .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                .isEmpty());
}

// The move for file systems without RENAME_NOREPLACE, against a user who
// creates the target name at the same moment: either the move or the
// user's file gets the name, never both.
void tst_ZNQuarantine::moveWithoutRenameFlagNeverReplaces()
{
    QTemporaryDir root;
    QVERIFY(QDir().mkpath(root.path() + "/from") && QDir().mkpath(root.path() + "/to"));
    const KX2UniqueFd from(::open(QFile::encodeName(root.path() + "/from"), O_DIRECTORY | O_RDONLY));
    const KX2UniqueFd to(::open(QFile::encodeName(root.path() + "/to"), O_DIRECTORY | O_RDONLY));
    QVERIFY(from.isValid() && to.isValid());
    const auto content = [&](const char* name) {
        return avtest::readBytes(root.path() + "/to/" + name);
    };

    QVERIFY(avtest::writeFile(root.path() + "/from/f", "moved"));
    QVERIFY(avtest::writeFile(root.path() + "/to/taken", "user"));
    QVERIFY(!znMoveByLink(from.get(), "f", to.get(), "taken"));
    QCOMPARE(errno, EEXIST);
    QCOMPARE(content("taken"), QByteArray("user"));
    QVERIFY(znMoveByLink(from.get(), "f", to.get(), "free"));
    QCOMPARE(content("free"), QByteArray("moved"));
    QVERIFY(!QFileInfo::exists(root.path() + "/from/f"));

    const int rounds = 1000;
    std::atomic<int> go{-1}, done{-1};
    std::vector<char> created(rounds);
    std::thread user([&] {
        for (int round = 0; round < rounds; ++round) {
            while (go.load() < round)
                std::this_thread::yield();
            const int fd = ::openat(to.get(), "race", O_WRONLY | O_CREAT | O_EXCL, 0644);
            created[round] = fd >= 0 && ::write(fd, "user", 4) == 4;
            if (fd >= 0)
                ::close(fd);
            done = round;
        }
    });
    int clashes = 0;
    for (int round = 0; round < rounds; ++round) {
        if (!avtest::writeFile(root.path() + "/from/f", "moved"))
            break;
        go = round;
        const bool moved = znMoveByLink(from.get(), "f", to.get(), "race");
        while (done.load() < round)
            std::this_thread::yield();
        const QByteArray now = content("race");
        if (moved == bool(created[round]) || now != (moved ? "moved" : "user"))
            ++clashes;
        ::unlinkat(to.get(), "race", 0);
        ::unlinkat(from.get(), "f", 0);
    }
    go = rounds;
    user.join();
    QCOMPARE(clashes, 0);
}

void tst_ZNQuarantine::logsListAndRemove()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    // No logs: success without keys.
    QJsonObject reply = service.call("antivirus_log_alload", {{"page", 1}, {"ofpage", 5}});
    QCOMPARE(err(reply), 0);
    QCOMPARE(reply.value("results").toObject(), QJsonObject());

    QVERIFY(avtest::writeFile(service.scanDir + "/one/x", avtest::eicar()));
    for (int i = 0; i < 3; ++i)
        QCOMPARE(err(service.scan(service.scanDir + "/one")), 0);
    const QList<QJsonObject> stored = service.rows("SELECT * FROM t_log ORDER BY log_no");
    QCOMPARE(stored.size(), 3);

    reply = service.call("antivirus_log_alload", {{"page", 2}, {"ofpage", 5}});
    QCOMPARE(err(reply), 0);
    const QJsonObject results = reply.value("results").toObject();
    QCOMPARE(results.value("reccount").toInt(), 3);
    const QJsonArray records = results.value("records").toArray();
    QCOMPARE(records.size(), 2);
    const QJsonObject record = records.first().toObject();
    QCOMPARE(keySet(record),
             QSet<QString>({"logno", "state", "file", "path", "starttime", "endtime", "times",
                            "totality", "resolved", "infectes", "inplace", "skipped",
                            "limited", "tskno"}));
    QCOMPARE(record.value("logno"), QJsonValue(stored.at(1).value("log_no").toInt()));
    QCOMPARE(record.value("state"), QJsonValue(9));
    QCOMPARE(record.value("starttime").toString(), stored.at(1).value("log_starttime").toString());
    QCOMPARE(record.value("endtime").toString(), stored.at(1).value("log_endtime").toString());
    QVERIFY(QDateTime::fromString(record.value("starttime").toString(), "yyyy-MM-dd HH:mm:ss")
                .isValid());
    QCOMPARE(record.value("path").toString(), service.scanDir + "/one");

    const int first = stored.first().value("log_no").toInt();
    QCOMPARE(err(service.call("antivirus_log_remove", {{"lognos", QJsonArray{900, 901}}})), 9994);
    QCOMPARE(err(service.call("antivirus_log_remove", {{"lognos", QJsonArray{first, 900}}})), 0);
    QCOMPARE(service.rows("SELECT log_no FROM t_log").size(), 2);
    reply = service.call("antivirus_log_remove", {{"lognos", 7}});
    QCOMPARE(err(reply), 9995);
    QCOMPARE(reply.value("errmsg").toString(), QStringLiteral("缺少参数: lognos"));
}

// Thousands of numbers in one request each: prune, remove, restore, logs.
// The records and files are written directly (2,500 scans' worth of
// quarantine moves would take far longer than the operations under test).
void tst_ZNQuarantine::thousandsOfNumbersInOneRequest()
{
    const int kCount = 2500;
    avtest::Service service;
    QVERIFY(service.start());
    const QString qra = service.dataDir + "/.qra";
    const QString former = service.scanDir + "/bulk";
    QVERIFY(QDir().mkpath(qra));
    QVERIFY(QDir().mkpath(former));
    QString sql = "BEGIN;";
    for (int i = 0; i < kCount; ++i) {
        const QString name = QString("b%1").arg(i);
        QVERIFY(avtest::writeFile(qra + "/" + name, name.toUtf8()));
        sql += QString("INSERT INTO t_infectes (ift_filename, ift_path, ift_quarantined) VALUES "
                       "('%1', '%2', '%3');"
                       "INSERT INTO t_log (log_path, log_state) VALUES ('%2', 9);")
                   .arg(name, former + "/" + name, qra + "/" + name);
    }
    service.rows(sql + "COMMIT;");
    QCOMPARE(service.rows("SELECT ift_no FROM t_infectes").size(), kCount);

    // Prune 2,500: every file gone by hand.
    QJsonArray all;
    for (int i = 1; i <= kCount; ++i)
        all.append(i);
    QVERIFY(QDir(qra).removeRecursively() && QDir().mkpath(qra));
    QJsonObject reply = service.call("antivirus_quarantined_reduce");
    QCOMPARE(reply.value("results").toObject().value("amount").toInt(), kCount);
    QCOMPARE(service.rows("SELECT ift_no FROM t_infectes").size(), 0);

    // Remove 2,500 and restore 2,500 (new records, files in place).
    sql = "BEGIN;";
    for (int i = 0; i < 2 * kCount; ++i) {
        const QString name = QString("c%1").arg(i);
        QVERIFY(avtest::writeFile(qra + "/" + name, name.toUtf8()));
        sql += QString("INSERT INTO t_infectes (ift_path, ift_quarantined) VALUES ('%1', '%2');")
                   .arg(former + "/" + name, qra + "/" + name);
    }
    service.rows(sql + "COMMIT;");
    QJsonArray removed, restored;
    for (const QJsonObject& row :
         service.rows("SELECT ift_no AS n FROM t_infectes ORDER BY ift_no"))
        (removed.size() < kCount ? removed : restored).append(row.value("n"));
    QCOMPARE(err(service.call("antivirus_quarantined_remove", {{"iftnos", removed}})), 0);
    QCOMPARE(service.rows("SELECT ift_no FROM t_infectes").size(), kCount);
    QCOMPARE(err(service.call("antivirus_quarantined_restore", {{"iftnos", restored}})), 0);
    QTRY_COMPARE_WITH_TIMEOUT(service.rows("SELECT ift_no FROM t_infectes").size(), 0, 10000);
    QVERIFY(QDir(qra).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    QCOMPARE(QDir(former).entryList(QDir::Files).size(), kCount);
    QCOMPARE(avtest::readBytes(former + "/c4999"), QByteArray("c4999"));

    QJsonArray logs;
    for (const QJsonObject& row : service.rows("SELECT log_no AS n FROM t_log"))
        logs.append(row.value("n"));
    QCOMPARE(logs.size(), kCount);
    QCOMPARE(err(service.call("antivirus_log_remove", {{"lognos", logs}})), 0);
    QCOMPARE(service.rows("SELECT log_no FROM t_log").size(), 0);
}

// A million numbers, most of them naming no record, in descending order
// and with repeats: the records they name are removed, the others stay.
void tst_ZNQuarantine::millionNumbersInOneRequest()
{
    avtest::Service service;
    QVERIFY(service.start());
    const QString qra = service.dataDir + "/.qra";
    QVERIFY(QDir().mkpath(qra));
    QString sql = "BEGIN;";
    for (int i = 0; i < 4; ++i) {
        const QString name = QString("m%1").arg(i);
        QVERIFY(avtest::writeFile(qra + "/" + name, name.toUtf8()));
        sql += QString("INSERT INTO t_infectes (ift_path, ift_quarantined) VALUES ('%1', '%2');")
                   .arg(service.scanDir + "/" + name, qra + "/" + name);
    }
    service.rows(sql + "COMMIT;");
    const QList<QJsonObject> rows =
        service.rows("SELECT ift_no AS n FROM t_infectes ORDER BY ift_no");
    QCOMPARE(rows.size(), 4);
    const int kept = rows.last().value("n").toInt();
    QJsonArray numbers;
    for (int n = 1000000; n >= 1; --n) {
        if (n != kept)
            numbers.append(n);
    }
    numbers.append(rows.first().value("n"));
    QCOMPARE(err(service.call("antivirus_quarantined_remove", {{"iftnos", numbers}})), 0);
    const QList<QJsonObject> left = service.rows("SELECT ift_no AS n FROM t_infectes");
    QCOMPARE(left.size(), 1);
    QCOMPARE(left.first().value("n").toInt(), kept);
    QCOMPARE(QDir(qra).entryList(QDir::Files), QStringList{"m3"});
}

// Restores and removals of the same records from two connections: each
// file ends either restored or deleted, never both, and the listing
// matches the quarantine directory.
void tst_ZNQuarantine::restoreAndRemoveOfTheSameRecordsAtOnce()
{
    const int kCount = 300;
    avtest::Service service;
    QVERIFY(service.start());
    const QString qra = service.dataDir + "/.qra";
    const QString former = service.scanDir + "/race";
    QVERIFY(QDir().mkpath(qra) && QDir().mkpath(former));
    QString sql = "BEGIN;";
    QJsonArray all;
    for (int i = 0; i < kCount; ++i) {
        const QString name = QString("r%1").arg(i);
        QVERIFY(avtest::writeFile(qra + "/" + name, name.toUtf8()));
        sql += QString("INSERT INTO t_infectes (ift_path, ift_quarantined) VALUES ('%1', '%2');")
                   .arg(former + "/" + name, qra + "/" + name);
        all.append(i + 1);
    }
    service.rows(sql + "COMMIT;");
    QJsonObject restoreReply, removeReply;
    std::atomic<int> done{0};
    std::thread restorer([&] {
        KX2LocalServer::localRequest(
            service.socketName,
            {{"cmd", "antivirus_quarantined_restore"}, {"params", QJsonObject{{"iftnos", all}}}},
            &restoreReply, 30);
        ++done;
    });
    std::thread remover([&] {
        KX2LocalServer::localRequest(
            service.socketName,
            {{"cmd", "antivirus_quarantined_remove"}, {"params", QJsonObject{{"iftnos", all}}}},
            &removeReply, 30);
        ++done;
    });
    // The server accepts on this thread: serve events while they run.
    QTRY_VERIFY_WITH_TIMEOUT(done == 2, 35000);
    restorer.join();
    remover.join();
    QVERIFY(err(restoreReply) == 0 || err(removeReply) == 0);
    QTRY_VERIFY_WITH_TIMEOUT(!service.d->keeper.isBusy(), kRestoreDeadlineMs);
    QTRY_COMPARE_WITH_TIMEOUT(
        service.rows("SELECT ift_no FROM t_infectes WHERE ift_pending <> 0").size(), 0,
        kRestoreDeadlineMs);
    QCOMPARE(service.rows("SELECT ift_no FROM t_infectes").size(), 0);
    QVERIFY(QDir(qra).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    // Restored files are whole; the others are gone from everywhere.
    for (const QString& name : QDir(former).entryList(QDir::Files))
        QCOMPARE(avtest::readBytes(former + "/" + name), name.toUtf8());
}

void tst_ZNQuarantine::methodsHelpAndOrder()
{
    avtest::Service service;
    QVERIFY(service.start());
    const QStringList mine{"antivirus_log_alload",         "antivirus_log_remove",
                           "antivirus_quarantined_alload", "antivirus_quarantined_reduce",
                           "antivirus_quarantined_remove", "antivirus_quarantined_restore"};
    for (const QString& method : mine) {
        const QJsonObject reply = service.request(
            {{"cmd", method}, {"help", false}, {"params", QJsonObject{{"iftnos", QJsonArray{1}}}}});
        QCOMPARE(reply.value("comment"), QJsonValue(QString()));
        QVERIFY(!reply.contains("results"));
        QCOMPARE(err(reply), 9999);
    }
    // All seventeen methods, in the order help_interfaces visits them.
    const QMetaObject& meta = RequestRouter::staticMetaObject;
    QStringList slotNames;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        if (meta.method(i).methodType() == QMetaMethod::Slot)
            slotNames << QString::fromLatin1(meta.method(i).name());
    }
    const QStringList all = QStringList{"antivirus_settings_load",  "antivirus_settings_save",
                                        "antivirus_updvdb_running", "antivirus_updvdb_start",
                                        "antivirus_updvdb_stop",    "antivirus_scan_running",
                                        "antivirus_scan_start",     "antivirus_scan_stop",
                                        "antivirus_mission_alload", "antivirus_mission_create",
                                        "antivirus_mission_remove"}
        + mine;
    QCOMPARE(slotNames, all);
    const QJsonObject listed = service.call("help_interfaces").value("results").toObject();
    for (const QString& method : mine)
        QCOMPARE(listed.value(method).toObject().value("params-comment").toString(),
                 QStringLiteral("本接口没有参数"));
}

void tst_ZNQuarantine::reduceReportsAFailingStore()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    service.rows("DROP TABLE t_infectes;");
    const QJsonObject reply = service.call("antivirus_quarantined_reduce");
    QCOMPARE(reply.value("err").toInt(), 9975);
    QVERIFY2(reply.value("errmsg").toString().startsWith(QStringLiteral("取隔离文件内容失败: ")),
             qPrintable(reply.value("errmsg").toString()));
    QVERIFY(!reply.contains("results"));
}

QTEST_GUILESS_MAIN(tst_ZNQuarantine)
#include "tst_znquarantine.moc"
