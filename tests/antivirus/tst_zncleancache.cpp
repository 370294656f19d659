// The clean-file cache (incremental scans) with real libclamav engines from
// signature files written here, real SQLite files and real sockets: what a
// later scan skips, what it must scan again (a rewritten file with its old
// times, a new signature set, a swapped file), a lost or damaged cache
// file, the "incremental" setting and the "full" request parameter, the
// bound, the service process restarted or killed with -9 mid-scan, and
// file systems whose content may change behind the kernel's back (loop
// devices, overlay) mounted for the test when it runs as root.
//
// Needs build*/bin/znantivirus and znavctl (ZN_BIN_DIR).

#include "avservice.h"

#include <QDeadlineTimer>
#include <QDirIterator>
#include <QProcess>
#include <QRandomGenerator>

#include <clamav.h>
#include <sqlite3.h>

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>

#include "kx2uniquefd.h"
#include "zncleancache.h"
#include "zncleancacheworker.h"
#include "znfilesystemtrust.h"
#include "znremembercheck.h"

namespace {

// Clean contents of the test string's size, so a rewrite with it keeps the
// size.
QByteArray cleanOfEicarSize(int n)
{
    return QByteArray::number(n).leftJustified(avtest::eicar().size(), '.');
}

// `count` clean files of the test string's size in `dir`; their paths.
QStringList layCleanFiles(const QString& dir, int count)
{
    QStringList paths;
    for (int i = 0; i < count; ++i) {
        const QString path = QStringLiteral("%1/d%2/f%3.txt").arg(dir).arg(i / 500).arg(i);
        if (avtest::writeFile(path, cleanOfEicarSize(i)))
            paths << path;
    }
    return paths;
}

qint64 latestChangeMs(const struct stat& info)
{
    const auto ms = [](const timespec& t) { return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000; };
    return qMax(ms(info.st_ctim), ms(info.st_mtim));
}

// Waits until every file below `dir` was last changed long enough ago to
// be remembered when found clean (ZNRememberCheck::settled).
bool waitSettled(const QString& dir)
{
    qint64 newest = 0;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        struct stat info;
        if (::lstat(QFile::encodeName(it.next()).constData(), &info) == 0)
            newest = qMax(newest, latestChangeMs(info));
    }
    const qint64 due = newest + kZNSettledSeconds * 1000 + 100;
    QDeadlineTimer deadline(30000);
    while (QDateTime::currentMSecsSinceEpoch() <= due && !deadline.hasExpired())
        QTest::qWait(int(qBound<qint64>(10, due - QDateTime::currentMSecsSinceEpoch(), 200)));
    return QDateTime::currentMSecsSinceEpoch() > due;
}

QString cacheFile(const QString& dataDir)
{
    return dataDir + "/.cache/clean.db";
}

// Rows of `sql` on the cache file, opened read-only beside the service, as
// text.
QList<QStringList> cacheRows(const QString& dataDir, const char* sql)
{
    QList<QStringList> rows;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(cacheFile(dataDir)).constData(), &db,
                        SQLITE_OPEN_READONLY, nullptr)
        == SQLITE_OK) {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK) {
            while (sqlite3_step(statement) == SQLITE_ROW) {
                QStringList row;
                for (int c = 0; c < sqlite3_column_count(statement); ++c)
                    row << QString::fromUtf8(
                        reinterpret_cast<const char*>(sqlite3_column_text(statement, c)));
                rows << row;
            }
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return rows;
}

qint64 cacheEntries(const QString& dataDir)
{
    const QList<QStringList> rows = cacheRows(dataDir, "SELECT COUNT(*) FROM clean;");
    return rows.isEmpty() ? -1 : rows.first().value(0).toLongLong();
}

// Writes `bytes` over `path` in place and puts its access and modification
// times back, as a user can.
bool rewriteKeepingTimes(const QString& path, const QByteArray& bytes)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat before;
    if (::stat(name.constData(), &before) != 0)
        return false;
    const int fd = ::open(name.constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    const bool written =
        fd >= 0 && ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    const bool timed = fd >= 0 && ::futimens(fd, times) == 0;
    if (fd >= 0)
        ::close(fd);
    struct stat after;
    return written && timed && ::stat(name.constData(), &after) == 0
        && after.st_size == before.st_size && after.st_mtim.tv_sec == before.st_mtim.tv_sec
        && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
}

// A program of the system (mkfs.ext4, tune2fs, e2fsck), run to its end.
bool runTool(const QString& name, const QStringList& arguments)
{
    const QString program =
        QStandardPaths::findExecutable(name, {"/usr/sbin", "/sbin", "/usr/bin", "/bin"});
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (program.isEmpty())
        return false;
    process.start(program, arguments);
    const bool ok = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
    if (!ok)
        qWarning("%s: %s", qPrintable(name), process.readAll().constData());
    return ok;
}

// An ext4 image attached to a loop device and mounted; both undone at the
// end. remount() puts another (or the same) image on the same device.
class LoopMount
{
public:
    ~LoopMount() { unmount(); }

    bool mount(const QString& image, const QString& point)
    {
        if (number < 0) {
            const KX2UniqueFd control(::open("/dev/loop-control", O_RDWR | O_CLOEXEC));
            number = control.isValid() ? ::ioctl(control.get(), LOOP_CTL_GET_FREE) : -1;
        }
        const KX2UniqueFd device(::open(devicePath().constData(), O_RDWR | O_CLOEXEC));
        const KX2UniqueFd backing(::open(QFile::encodeName(image).constData(), O_RDWR | O_CLOEXEC));
        if (number < 0 || !device.isValid() || !backing.isValid())
            return false;
        // A device just let go of may still be tearing down.
        QDeadlineTimer deadline(10000);
        int attached;
        while ((attached = ::ioctl(device.get(), LOOP_SET_FD, backing.get())) != 0
               && errno == EBUSY && !deadline.hasExpired())
            QTest::qWait(20);
        if (attached != 0)
            return false;
        if (::mount(devicePath().constData(), QFile::encodeName(point).constData(), "ext4", 0,
                    nullptr)
            != 0) {
            ::ioctl(device.get(), LOOP_CLR_FD);
            return false;
        }
        mountPoint = point;
        return true;
    }

    void unmount()
    {
        if (mountPoint.isEmpty())
            return;
        ::umount2(QFile::encodeName(mountPoint).constData(), 0);
        mountPoint.clear();
        const KX2UniqueFd device(::open(devicePath().constData(), O_RDWR | O_CLOEXEC));
        if (device.isValid())
            ::ioctl(device.get(), LOOP_CLR_FD);
    }

    QByteArray devicePath() const { return "/dev/loop" + QByteArray::number(number); }

    int number = -1;
    QString mountPoint;
};

// Whether this process may mount (root, and not kept from it).
bool canMount(const QString& point)
{
    if (::geteuid() != 0 || !QDir().mkpath(point))
        return false;
    if (::mount("probe", QFile::encodeName(point).constData(), "tmpfs", 0, "size=64k") != 0)
        return false;
    ::umount2(QFile::encodeName(point).constData(), 0);
    return true;
}

// Makes an ext4 image of 8 MiB holding `name` with `content`, its data
// on the image when this returns.
bool makeImage(const QString& image, const QString& point, const QString& name,
               const QByteArray& content)
{
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(8 << 20))
        return false;
    file.close();
    LoopMount loop;
    return runTool("mkfs.ext4", {"-q", "-F", image}) && loop.mount(image, point)
        && avtest::writeFile(point + '/' + name, content);
}

// Overwrites `from` with `to` (same size) wherever it stands in `path`,
// as user `uid` (a child process that drops to it) when given.
bool patchBytes(const QString& path, const QByteArray& from, const QByteArray& to, uid_t uid)
{
    const qint64 at = avtest::readBytes(path).indexOf(from);
    if (at < 0 || from.size() != to.size())
        return false;
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0)
            ::_exit(2);
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY);
        ::_exit(fd >= 0 && ::pwrite(fd, to.constData(), size_t(to.size()), at) == to.size()
                    ? 0
                    : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status)
        && WEXITSTATUS(status) == 0;
}

// The newest scan log row of an in-process service.
QJsonObject lastLog(avtest::Service& service)
{
    return service
        .rows("SELECT log_state AS state, log_totality AS total, log_resolved AS "
              "resolved, log_infectes AS infected, log_skipped AS skipped FROM t_log "
              "ORDER BY log_no DESC LIMIT 1")
        .value(0);
}

QJsonObject counts(int total, int infected, int skipped)
{
    return QJsonObject{{"state", 9},
                       {"total", total},
                       {"resolved", total},
                       {"infected", infected},
                       {"skipped", skipped}};
}

QString binary(const char* name)
{
    return qEnvironmentVariable("ZN_BIN_DIR") + '/' + name;
}

// The service as a process of its own, for restarts and kill -9.
class Process
{
public:
    explicit Process(const QString& root) : root(root)
    {
        dataDir = root + "/data";
        socketName = root + "/run/antivirus.sock";
    }
    ~Process() { stop(true); }

    bool configure(int threads = 2)
    {
        QJsonObject config = avtest::componentConfig(root);
        config["lpcid"] = socketName;
        config["debugging"] = false;
        config["debuglevel"] = 0x02;
        return avtest::writeFile(dataDir + "/virusdb/test.hdb", avtest::eicarHdbLine())
            && avtest::writeJson(root + "/etc/config.json", config)
            && avtest::writeJson(root + "/etc/settings.json",
                                 {{"enabled", 1}, {"datadir", dataDir}, {"threads", threads}});
    }

    // Started and answering requests.
    bool start()
    {
        process.reset(new QProcess());
        process->setProcessChannelMode(QProcess::MergedChannels);
        process->start(binary("znantivirus"), {"--cfg", root + "/etc/config.json"});
        if (!process->waitForStarted(20000))
            return false;
        QDeadlineTimer deadline(30000);
        while (!deadline.hasExpired() && process->state() == QProcess::Running) {
            if (request("help_interfaces").value("err").toInt(-1) == 0)
                return true;
            process->waitForReadyRead(20);
            output += process->readAll();
        }
        return false;
    }

    void stop(bool kill)
    {
        if (!process || process->state() == QProcess::NotRunning)
            return;
        kill ? process->kill() : process->terminate();
        process->waitForFinished(30000);
        output += process->readAll();
    }

    QJsonObject request(const QString& cmd, const QJsonObject& params = QJsonObject())
    {
        QJsonObject packet{{"cmd", cmd}};
        if (!params.isEmpty())
            packet.insert("params", params);
        QJsonObject reply;
        KX2LocalServer::localRequest(socketName, packet, &reply, 30);
        return reply;
    }

    // Starts a scan once the engine the start-up loads is there.
    bool startScan(const QString& path)
    {
        QDeadlineTimer deadline(60000);
        int err = -1;
        while ((err = request("antivirus_scan_start", {{"path", path}}).value("err").toInt(-1))
                   == 9983
               && !deadline.hasExpired())
            process->waitForReadyRead(20);
        return err == 0;
    }

    bool running()
    {
        return request("antivirus_scan_running")
                   .value("results")
                   .toObject()
                   .value("running")
                   .toInt(1)
            != 0;
    }

    // Scans `path` to its end; the task's log record from the listing reply.
    QJsonObject scan(const QString& path)
    {
        if (!startScan(path))
            return QJsonObject();
        QDeadlineTimer deadline(120000);
        while (running() && !deadline.hasExpired())
            process->waitForReadyRead(50);
        output += process->readAll();
        const QJsonArray records = request("antivirus_log_alload", {{"page", 1}, {"ofpage", 1000}})
                                       .value("results")
                                       .toObject()
                                       .value("records")
                                       .toArray();
        return records.isEmpty() ? QJsonObject() : records.last().toObject();
    }

    QString root;
    QString dataDir;
    QString socketName;
    QScopedPointer<QProcess> process;
    QByteArray output;
};

} // namespace

class tst_ZNCleanCache : public QObject
{
    Q_OBJECT
private slots:
    // The suite scans in its own process too, as the service's entry does.
    void initTestCase() { ZNRememberCheck::ignoreLeaseBreaks(); }
    void restartSkipsUnchangedFilesAndFindsNewOnes();
    void rewriteWithOldTimesIsScannedAgain();
    void fileOpenForWritingIsNeverRemembered();
    void newSignatureSetForgetsEveryFile();
    void swappedFileIsScannedAgain();
    void lostOrDamagedCacheCostsOnlySpeed();
    void incrementalOffAndFullScanReadEveryFile();
    void boundHoldsAfterEachTask();
    void killMidScanNeverMakesAChangedFileLookClean();
    void writerKeepsEveryFieldAndTheLaterEntry();
    void loopDeviceImagesAreNeverRemembered();
    void onlyFileSystemsOfTheKernelAreRemembered();
    void fileSystemIsPartOfTheKey();
};

// Restarted, the service skips every unchanged file, finds a file infected
// meanwhile, and says so in the log listing and the task's end line, also
// with a store of an earlier version, which gains the columns it lacks.
void tst_ZNCleanCache::restartSkipsUnchangedFilesAndFindsNewOnes()
{
    QTemporaryDir root;
    Process service(root.path());
    QVERIFY(service.configure());
    const QString tree = root.path() + "/scan";
    QCOMPARE(layCleanFiles(tree, 200).size(), 200);
    QVERIFY(waitSettled(tree));
    QVERIFY(service.start());
    QJsonObject log = service.scan(tree);
    QCOMPARE(log.value("resolved").toInt(), 200);
    QCOMPARE(log.value("skipped").toInt(), 0);

    // Made by the service, for the service alone.
    struct stat info;
    QCOMPARE(::stat(QFile::encodeName(cacheFile(service.dataDir)).constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 07777), 0600);
    QCOMPARE(info.st_uid, ::geteuid());
    QCOMPARE(::stat(QFile::encodeName(service.dataDir + "/.cache").constData(), &info), 0);
    QCOMPARE(int(info.st_mode & 07777), 0700);
    QCOMPARE(cacheEntries(service.dataDir), qint64(200));

    service.stop(false);
    // As a store of an earlier version: the start-up adds the columns back.
    {
        KX2DBSqlite store;
        QVERIFY(store.openOnly(root.path() + "/etc/antivirus.db"));
        int changes = 0, lastRowId = 0;
        for (const char* sql : {"ALTER TABLE t_log DROP COLUMN log_skipped;",
                                "ALTER TABLE t_task DROP COLUMN tsk_skipped;",
                                "ALTER TABLE t_task DROP COLUMN tsk_full;"})
            QVERIFY2(store.exec(changes, lastRowId, QString::fromLatin1(sql)),
                     qPrintable(store.lastError()));
    }
    QVERIFY(avtest::writeFile(tree + "/new/arrived.com", avtest::eicar()));
    QVERIFY(service.start());
    log = service.scan(tree);
    QCOMPARE(log.value("state").toInt(), 9);
    QCOMPARE(log.value("totality").toInt(), 201);
    QCOMPARE(log.value("resolved").toInt(), 201);
    QCOMPARE(log.value("infectes").toInt(), 1);
    QCOMPARE(log.value("skipped").toInt(), 200);
    service.stop(false);
    QVERIFY2(service.output.contains("infected=1 seconds="), service.output.constData());
    QVERIFY2(service.output.contains(" unreachable=0 skipped=200 limited=0 path=" + QFile::encodeName(tree)),
             service.output.constData());
}

// Size and modification time put back after a rewrite: the change time
// still moved, so the file is scanned and found. A file changed within the
// settling window before its scan is not remembered.
void tst_ZNCleanCache::rewriteWithOldTimesIsScannedAgain()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    const QStringList files = layCleanFiles(service.scanDir, 6);
    QVERIFY(waitSettled(service.scanDir));
    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    QCOMPARE(lastLog(service), counts(6, 0, 0));
    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    QCOMPARE(lastLog(service), counts(6, 0, 6));

    QVERIFY(rewriteKeepingTimes(files.at(3), avtest::eicar()));
    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    QCOMPARE(lastLog(service), counts(6, 1, 5));
    QVERIFY(service.waitIdle());
    QVERIFY(!QFile::exists(files.at(3)));

    QElapsedTimer sinceWritten;
    sinceWritten.start();
    QVERIFY(avtest::writeFile(service.scanDir + "/fresh.txt", cleanOfEicarSize(99)));
    for (int i = 0; i < 2; ++i)
        QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    if (sinceWritten.elapsed() >= kZNSettledSeconds * 1000)
        QSKIP("the scans took longer than the settling window: nothing to tell");
    QCOMPARE(lastLog(service), counts(6, 0, 5));
}

// A page written through a shared mapping made before the scan changes the
// content without moving the times: a file open for writing (a mapping
// included) is never remembered, so the test string written through the
// mapping after a clean scan is found by the next.
void tst_ZNCleanCache::fileOpenForWritingIsNeverRemembered()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    const QStringList files = layCleanFiles(service.scanDir, 3);
    const QByteArray eicar = avtest::eicar();
    const int fd = ::open(QFile::encodeName(files.at(1)).constData(), O_RDWR | O_CLOEXEC);
    QVERIFY(fd >= 0);
    void* const mapped =
        ::mmap(nullptr, size_t(eicar.size()), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd); // the mapping keeps the file open for writing
    QVERIFY(mapped != MAP_FAILED);
    struct Unmap
    {
        ~Unmap() { ::munmap(address, size); }
        void* address;
        size_t size;
    } unmap{mapped, size_t(eicar.size())};
    // The first write faults and moves the times; later ones through the
    // same page do not.
    static_cast<char*>(mapped)[0] = '1';
    // A plain descriptor open for writing counts too: one write() call
    // stamps the times once, as it starts, and may go on filling the file
    // for minutes (a slow source buffer, a throttled disk).
    const KX2UniqueFd writing(
        ::open(QFile::encodeName(files.at(2)).constData(), O_WRONLY | O_CLOEXEC));
    QVERIFY(writing.isValid());
    QVERIFY(waitSettled(service.scanDir));
    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    QCOMPARE(lastLog(service), counts(3, 0, 0));
    // The one entry is the file nobody writes.
    struct stat idle;
    QCOMPARE(::stat(QFile::encodeName(files.at(0)).constData(), &idle), 0);
    QCOMPARE(cacheRows(service.dataDir, "SELECT ino FROM clean;"),
             QList<QStringList>{{QString::number(idle.st_ino)}});
    memcpy(mapped, eicar.constData(), size_t(eicar.size()));
    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    QCOMPARE(lastLog(service), counts(3, 1, 1));
}

// Entries made under one signature set say nothing under the next: a file
// remembered clean is scanned again and matches a signature added since.
void tst_ZNCleanCache::newSignatureSetForgetsEveryFile()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    const QByteArray suspect = "content that a later signature set knows";
    QVERIFY(avtest::writeFile(service.scanDir + "/suspect.bin", suspect));
    layCleanFiles(service.scanDir, 3);
    QVERIFY(waitSettled(service.scanDir));
    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    QCOMPARE(lastLog(service), counts(4, 0, 4));

    const QByteArray line = QCryptographicHash::hash(suspect, QCryptographicHash::Md5).toHex() + ':'
        + QByteArray::number(suspect.size()) + ":Later.Sig\n";
    QVERIFY(
        avtest::writeFile(service.dataDir + "/virusdb/test.hdb", avtest::eicarHdbLine() + line));
    const unsigned generation = service.d->engines.generation();
    // The update run each task starts may still be ending: the reload is
    // due from the first call, and runs with the next run that starts.
    QDeadlineTimer deadline(60000);
    bool started = false;
    while (!(started = service.d->updater.prepare(true)) && !deadline.hasExpired())
        QTest::qWait(20);
    QVERIFY(started);
    QTRY_VERIFY_WITH_TIMEOUT(
        service.d->engines.generation() != generation && !service.d->updater.isRunning(), 60000);

    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    QCOMPARE(lastLog(service), counts(4, 1, 0));
    // The cache was started afresh under the new set: the three clean
    // files, and never the infected one.
    QCOMPARE(cacheEntries(service.dataDir), qint64(3));
}

// Another file renamed over a remembered one, with its name, size and
// modification time, is another inode: scanned and found.
void tst_ZNCleanCache::swappedFileIsScannedAgain()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    const QStringList files = layCleanFiles(service.scanDir, 4);
    const QString stranger = service.root.path() + "/elsewhere/f2.txt";
    QVERIFY(avtest::writeFile(stranger, avtest::eicar()));
    QVERIFY(waitSettled(service.scanDir));
    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    QCOMPARE(lastLog(service), counts(4, 0, 0));

    struct stat original;
    QCOMPARE(::stat(QFile::encodeName(files.at(2)).constData(), &original), 0);
    const struct timespec times[2] = {original.st_atim, original.st_mtim};
    QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(stranger).constData(), times, 0), 0);
    QCOMPARE(::rename(QFile::encodeName(stranger).constData(),
                      QFile::encodeName(files.at(2)).constData()),
             0);
    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    QCOMPARE(lastLog(service), counts(4, 1, 3));
}

// A deleted cache file, one of garbage bytes, and one whose pages are
// damaged behind a sound header: every scan is complete and right, the
// file comes back, and the scan after next skips again.
void tst_ZNCleanCache::lostOrDamagedCacheCostsOnlySpeed()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    layCleanFiles(service.scanDir, 600);
    QVERIFY(waitSettled(service.scanDir));
    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    const QString file = cacheFile(service.dataDir);
    QCOMPARE(cacheEntries(service.dataDir), qint64(600));

    const QList<std::function<bool()>> damages{
        [&] { return QFile::remove(file); },
        [&] { return avtest::writeFile(file, QByteArray(8192, '\x5a')); },
        [&] {
            QFile db(file);
            QByteArray bytes = avtest::readBytes(file);
            if (bytes.size() <= 4096 || !db.open(QIODevice::ReadWrite))
                return false;
            db.seek(4096);
            return db.write(QByteArray(bytes.size() - 4096, '\x07')) == bytes.size() - 4096;
        },
    };
    int infected = 0;
    for (int i = 0; i < damages.size(); ++i) {
        QVERIFY2(damages.at(i)(), qPrintable(QString::number(i)));
        QFile::remove(file + "-wal");
        QFile::remove(file + "-shm");
        QVERIFY(avtest::writeFile(QStringLiteral("%1/new/f%2.com").arg(service.scanDir).arg(i),
                                  avtest::eicar()));
        QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
        const QJsonObject log = lastLog(service);
        QCOMPARE(log.value("resolved").toInt(), 601);
        QCOMPARE(log.value("infected").toInt(), 1);
        QCOMPARE(log.value("skipped").toInt(), 0);
        ++infected;
        QVERIFY(service.waitIdle());
        // Made anew (the damaged one is replaced at the next task), then
        // trusted again.
        QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
        QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
        QCOMPARE(lastLog(service), counts(600, 0, 600));
    }
    QCOMPARE(infected, damages.size());
}

// "incremental": false reads every file and keeps no cache; "full" on a
// request (znavctl scan --full) reads every file once.
void tst_ZNCleanCache::incrementalOffAndFullScanReadEveryFile()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine(2, {{"incremental", "no"}}));
    QCOMPARE(
        service.call("antivirus_settings_load").value("results").toObject().value("incremental"),
        QJsonValue(false));
    layCleanFiles(service.scanDir, 10);
    QVERIFY(waitSettled(service.scanDir));
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
        QCOMPARE(lastLog(service), counts(10, 0, 0));
    }
    QVERIFY(!QFile::exists(cacheFile(service.dataDir)));

    QVERIFY(service.enableWithEngine(2, {{"incremental", true}}));
    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    QCOMPARE(lastLog(service), counts(10, 0, 0));

    QProcess client;
    client.start(binary("znavctl"),
                 {"--socket", service.socketName, "scan", service.scanDir, "--full", "--wait"});
    QVERIFY(client.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(client.state() == QProcess::NotRunning, 60000);
    QVERIFY2(client.exitCode() == 0, client.readAllStandardError().constData());
    QVERIFY(service.waitIdle());
    QCOMPARE(lastLog(service), counts(10, 0, 0));

    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    QCOMPARE(lastLog(service), counts(10, 0, 10));
}

// Beyond "cachemaxentries" the cache keeps that many entries.
void tst_ZNCleanCache::boundHoldsAfterEachTask()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine(2, {{"cachemaxentries", 7}}));
    layCleanFiles(service.scanDir, 12);
    QVERIFY(waitSettled(service.scanDir));
    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    QCOMPARE(cacheEntries(service.dataDir), qint64(7));
    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    QCOMPARE(lastLog(service), counts(12, 0, 7));
    QCOMPARE(cacheEntries(service.dataDir), qint64(7));
}

// kill -9 while the scan is writing entries, at a random moment after the
// first ones are committed; then a remembered file is rewritten with its
// old size and times, and one never remembered too. After the restart both
// are found, the rest skipped as far as the cache got, and the cache
// passes SQLite's integrity check.
void tst_ZNCleanCache::killMidScanNeverMakesAChangedFileLookClean()
{
    const quint32 seed = qEnvironmentVariableIsSet("ZN_KILL_SEED")
        ? quint32(qEnvironmentVariableIntValue("ZN_KILL_SEED"))
        : QRandomGenerator::global()->generate();
    qInfo("seed %u (ZN_KILL_SEED repeats it)", seed);
    QRandomGenerator random(seed);
    QTemporaryDir root;
    Process service(root.path());
    // One worker keeps the scan going for a few seconds.
    QVERIFY(service.configure(1));
    const int kFiles = 20000;
    for (int trial = 0; trial < 2; ++trial) {
        const QString tree = QStringLiteral("%1/scan/t%2").arg(root.path()).arg(trial);
        const QStringList files = layCleanFiles(tree, kFiles);
        QCOMPARE(files.size(), kFiles);
        QVERIFY(waitSettled(tree));
        QVERIFY(service.start());
        QVERIFY(service.startScan(tree));
        // Some entries committed (the writer commits at least every second).
        QDeadlineTimer deadline(60000);
        const qint64 before = qMax<qint64>(0, cacheEntries(service.dataDir));
        while (cacheEntries(service.dataDir) <= before && !deadline.hasExpired())
            QTest::qWait(20);
        QTest::qWait(int(random.bounded(500)));
        QVERIFY2(service.running(), "the scan ended before the kill");
        service.stop(true);
        QCOMPARE(service.process->exitStatus(), QProcess::CrashExit);

        std::map<QString, QString> byInode;
        for (const QString& f : files) {
            struct stat info;
            QCOMPARE(::stat(QFile::encodeName(f).constData(), &info), 0);
            byInode[QString::number(quint64(info.st_ino))] = f;
        }
        const QList<QStringList> entries = cacheRows(service.dataDir, "SELECT ino FROM clean;");
        QString remembered, unknown;
        for (const QStringList& entry : entries) {
            if (byInode.count(entry.value(0)) && remembered.isEmpty())
                remembered = byInode.at(entry.value(0));
            byInode.erase(entry.value(0));
        }
        if (!byInode.empty())
            unknown = byInode.begin()->second;
        QVERIFY2(!remembered.isEmpty() && !unknown.isEmpty(), "killed before or after the scan");
        QVERIFY(rewriteKeepingTimes(remembered, avtest::eicar()));
        QVERIFY(rewriteKeepingTimes(unknown, avtest::eicar()));

        QVERIFY(service.start());
        const QJsonObject log = service.scan(tree);
        QCOMPARE(log.value("resolved").toInt(), kFiles);
        QCOMPARE(log.value("infectes").toInt(), 2);
        QVERIFY(log.value("skipped").toInt() > 0);
        QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(remembered) && !QFile::exists(unknown), 10000);
        service.stop(false);
        QCOMPARE(cacheRows(service.dataDir, "PRAGMA integrity_check;"),
                 QList<QStringList>{QStringList{"ok"}});
    }
}

// Entries written keep every field, and of two entries of one file queued
// together the later stays.
void tst_ZNCleanCache::writerKeepsEveryFieldAndTheLaterEntry()
{
    QTemporaryDir area;
    std::vector<ZNFileStamp> stamps;
    std::map<std::pair<quint64, quint64>, QStringList> wanted; // in key order
    for (int i = 0; i < 76; ++i) {
        // Queued against key order; the last is a later entry of the first file.
        const int file = i == 75 ? 0 : i;
        const ZNFileStamp s{quint64(1 + file % 2),
                            quint64(1000 - file),
                            i,
                            1700000000 + i,
                            7 * i,
                            1700000500 + i,
                            11 * i,
                            quint64(13 * i + 1)};
        stamps.push_back(s);
        QStringList& row = wanted[{s.device, s.inode}];
        row.clear();
        for (const qint64 field : {qint64(s.device), qint64(s.inode), s.size, s.modifiedSec,
                                   s.modifiedNsec, s.changedSec, s.changedNsec,
                                   qint64(s.fileSystem)})
            row << QString::number(field);
    }
    {
        const auto cache = ZNCleanCache::open({area.path(), "digest", 1000, true});
        QVERIFY(cache);
        cache->remember(stamps);
        cache->finish();
    }
    QList<QStringList> rows;
    for (const auto& entry : wanted)
        rows << entry.second;
    QCOMPARE(cacheRows(area.path(),
                       "SELECT dev, ino, size, msec, mnsec, csec, cnsec, fs FROM clean"
                       " ORDER BY dev, ino;"),
             rows);
}

// Files on an ext4 image on a loop device are scanned every time: the
// image is a file that its owner may write underneath the mount, or copy
// with one block changed and a new UUID and mount on the same device, with
// every inode, size and time as they were. Both are found without a full
// scan.
void tst_ZNCleanCache::loopDeviceImagesAreNeverRemembered()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    const QString point = service.scanDir + "/image";
    if (!canMount(point))
        QSKIP("mounting needs root on a system that allows it");
    // Reachable by nobody, who owns the image.
    QTemporaryDir images;
    QVERIFY(QFile::setPermissions(images.path(), QFile::ReadOwner | QFile::WriteOwner
                                                     | QFile::ExeOwner | QFile::ExeGroup
                                                     | QFile::ExeOther));
    const QString image = images.path() + "/share.img";
    const QByteArray clean =
        QByteArray("clean on an image").leftJustified(avtest::eicar().size(), '.');
    if (!makeImage(image, point, "file.txt", clean))
        QSKIP("no mkfs.ext4 or no free loop device here");
    const uid_t nobody = 65534;
    QCOMPARE(::chown(QFile::encodeName(image).constData(), nobody, nobody), 0);
    LoopMount loop;
    QVERIFY(loop.mount(image, point));
    QVERIFY(waitSettled(point));
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
        QCOMPARE(lastLog(service), counts(1, 0, 0));
    }
    QCOMPARE(cacheEntries(service.dataDir), qint64(0));

    // A byte copy with the test string in the file's block and a new
    // UUID, on the same loop device.
    loop.unmount();
    const QString copy = images.path() + "/copy.img";
    QVERIFY(QFile::copy(image, copy));
    QVERIFY(patchBytes(copy, clean, avtest::eicar(), 0));
    QVERIFY(runTool("e2fsck", {"-f", "-p", copy}));
    QVERIFY(runTool("tune2fs", {"-U", "random", copy}));
    QVERIFY(loop.mount(copy, point));
    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    QCOMPARE(lastLog(service), counts(1, 1, 0));
    QVERIFY(service.waitIdle());

    // The owner writes the test string into the image while it is
    // mounted; the device's next mount reads it.
    loop.unmount();
    QVERIFY(loop.mount(image, point));
    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    QCOMPARE(lastLog(service), counts(1, 0, 0));
    QVERIFY(patchBytes(image, clean, avtest::eicar(), nobody));
    loop.unmount();
    QVERIFY(loop.mount(image, point));
    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    QCOMPARE(lastLog(service), counts(1, 1, 0));
}

// Of a tree that spans the disk, a tmpfs and an overlay, the files of the
// disk and of the tmpfs are remembered; those of the overlay (whose layers
// change beneath it) never are.
void tst_ZNCleanCache::onlyFileSystemsOfTheKernelAreRemembered()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    const QString memory = service.scanDir + "/memory";
    const QString overlay = service.scanDir + "/overlay";
    if (!canMount(memory) || !QDir().mkpath(overlay))
        QSKIP("mounting needs root on a system that allows it");
    QTemporaryDir layers;
    for (const char* layer : {"/lower", "/upper", "/work"})
        QVERIFY(QDir().mkpath(layers.path() + layer));
    QCOMPARE(::mount("memory", QFile::encodeName(memory).constData(), "tmpfs", 0, "size=1m"), 0);
    struct Unmount
    {
        ~Unmount()
        {
            for (const QString& point : points)
                ::umount2(QFile::encodeName(point).constData(), MNT_DETACH);
        }
        QStringList points;
    } unmount{{memory}};
    const QByteArray options = QFile::encodeName(
        QStringLiteral("lowerdir=%1/lower,upperdir=%1/upper,workdir=%1/work").arg(layers.path()));
    if (::mount("layers", QFile::encodeName(overlay).constData(), "overlay", 0,
                options.constData())
        != 0)
        QSKIP("no overlay file system here");
    unmount.points << overlay;
    for (const QString& dir : {service.scanDir + "/disk", memory, overlay})
        QCOMPARE(layCleanFiles(dir, 2).size(), 2);
    QVERIFY(waitSettled(service.scanDir));
    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    QCOMPARE(service.scan(service.scanDir).value("err").toInt(), 0);
    QCOMPARE(lastLog(service), counts(6, 0, 4));
    struct stat disk, tmpfs;
    QCOMPARE(::stat(QFile::encodeName(service.scanDir).constData(), &disk), 0);
    QCOMPARE(::stat(QFile::encodeName(memory).constData(), &tmpfs), 0);
    QCOMPARE(cacheRows(service.dataDir, "SELECT DISTINCT dev FROM clean ORDER BY dev;"),
             (QList<QStringList>{{QString::number(qMin(disk.st_dev, tmpfs.st_dev))},
                                 {QString::number(qMax(disk.st_dev, tmpfs.st_dev))}}));

    // A tmpfs mounted anew (its device number may come back, and its
    // inode numbers do) is another file system.
    const KX2UniqueFd before(::open(QFile::encodeName(memory).constData(), O_RDONLY | O_CLOEXEC));
    QVERIFY(before.isValid());
    const quint64 identity = ZNFileSystemTrust().of(before.get(), tmpfs.st_dev).identity;
    QCOMPARE(::umount2(QFile::encodeName(memory).constData(), MNT_DETACH), 0);
    QCOMPARE(::mount("memory", QFile::encodeName(memory).constData(), "tmpfs", 0, "size=1m"), 0);
    const KX2UniqueFd after(::open(QFile::encodeName(memory).constData(), O_RDONLY | O_CLOEXEC));
    struct stat again;
    QCOMPARE(::fstat(after.get(), &again), 0);
    const ZNFileSystemTrust::Verdict verdict = ZNFileSystemTrust().of(after.get(), again.st_dev);
    QVERIFY(verdict.trusted);
    QVERIFY(verdict.identity != identity);
}

// An entry says nothing about a file of another file system on the same
// device number, with the same inode and times; a file of the earlier
// format (without the file system) is started afresh.
void tst_ZNCleanCache::fileSystemIsPartOfTheKey()
{
    QTemporaryDir area;
    const ZNFileStamp stamp{64769, 4242, 68, 1700000000, 5, 1700000100, 7, 0xA11CE};
    const QString directory = ZNCleanCache::directoryOf(area.path());
    QVERIFY(QDir().mkpath(directory));
    QCOMPARE(::chmod(QFile::encodeName(directory).constData(), 0700), 0);
    {
        sqlite3* db = nullptr;
        QCOMPARE(sqlite3_open(QFile::encodeName(cacheFile(area.path())).constData(), &db),
                 SQLITE_OK);
        const char* earlier =
            "CREATE TABLE meta (key TEXT PRIMARY KEY, value);"
            "CREATE TABLE clean (dev INTEGER NOT NULL, ino INTEGER NOT NULL,"
            " size INTEGER NOT NULL, msec INTEGER NOT NULL, mnsec INTEGER NOT NULL,"
            " csec INTEGER NOT NULL, cnsec INTEGER NOT NULL, seen INTEGER NOT NULL,"
            " PRIMARY KEY (dev, ino)) WITHOUT ROWID;"
            "INSERT INTO meta VALUES ('format', 1), ('digest', CAST('digest' AS BLOB)),"
            " ('newest', 1700000100), ('rows', 1), ('pruned', 0);"
            "INSERT INTO clean VALUES (64769, 4242, 68, 1700000000, 5, 1700000100, 7, 0);";
        QCOMPARE(sqlite3_exec(db, earlier, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
        QCOMPARE(::chmod(QFile::encodeName(cacheFile(area.path())).constData(), 0600), 0);
    }
    cl_init(CL_INIT_DEFAULT);
    const std::unique_ptr<cl_engine, cl_error_t (*)(cl_engine*)> engine(cl_engine_new(),
                                                                      cl_engine_free);
    QVERIFY(engine);
    const auto knownClean = [&](const ZNFileStamp& s) {
        const auto cache = ZNCleanCache::open({area.path(), "digest", 1000, true});
        const auto worker = cache ? cache->worker() : nullptr;
        if (worker)
            worker->useEngine(engine.get(), "digest");
        return worker && worker->knownClean(s);
    };
    QVERIFY(!knownClean(stamp));
    {
        const auto cache = ZNCleanCache::open({area.path(), "digest", 1000, true});
        QVERIFY(cache);
        std::vector<ZNFileStamp> stamps{stamp};
        cache->remember(stamps);
    }
    QVERIFY(knownClean(stamp));
    ZNFileStamp elsewhere = stamp;
    elsewhere.fileSystem = 0xB0B;
    QVERIFY(!knownClean(elsewhere));
}

QTEST_MAIN(tst_ZNCleanCache)
#include "tst_zncleancache.moc"
