// Scan tasks over a real local socket with a real libclamav engine: the
// walk's rules, totals, task and log rows, quarantine records, refusals,
// stop, and the quarantine without any schedule.

#include "avservice.h"

#include <QCryptographicHash>
#include <QProcess>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

const int kQuarantineDeadlineMs = 2000;

int err(const QJsonObject& reply)
{
    return reply.value("err").toInt();
}

bool makeFifo(const QString& path)
{
    return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
}

} // namespace

class tst_ZNScan : public QObject
{
    Q_OBJECT
private slots:
    void treeIsWalkedByTheRulesAndInfectedFilesQuarantined();
    void hiddenNamesSkippedOnlyWhenAsked();
    void overallScanHonoursExclusions();
    void refusalsComeInOrder();
    void queuedTasksAndStop();
    void totalIsTheWholeTreeEarly();
    void singleFileAndEmptyDirectory();
    void filesOfEverySizeAreScannedWhole();
    void filesNotScannedInFullAreCountedAsLimited();
    void membersTooLargeForTheTemporaryDirectoryStillScan();
    void quarantineMovesOnlyWhatWasScanned();
    void workersReadOnlyWhatWasWalked();
    void deepTreesWithFewDescriptors();
    void longNamesAreShortenedKeepingTheirExtension();
    void quarantineAcrossFileSystems();
    void helpDocumentOnly();
};

// One tree with everything the walk must tell apart; scanned with the
// default settings (no schedule, no automatic update).
void tst_ZNScan::treeIsWalkedByTheRulesAndInfectedFilesQuarantined()
{
    avtest::Service service;
    QVERIFY(service.start());
    // The work area, and so the quarantine, lies inside the scanned tree.
    service.dataDir = service.scanDir + "/work";
    QVERIFY(service.enableWithEngine());
    const QString top = service.scanDir;
    const QByteArray eicar = avtest::eicar();
    QVERIFY(avtest::writeFile(top + "/clean.txt", "nothing to see"));
    QVERIFY(avtest::writeFile(top + "/a/report.doc", eicar));
    QVERIFY(avtest::writeFile(top + "/b/report.doc", eicar));
    QVERIFY(avtest::writeFile(top + "/b/deeper/fine.bin", QByteArray(4096, 'x')));
    // Hidden names are scanned like any other.
    QVERIFY(avtest::writeFile(top + "/.hidden", eicar));
    QVERIFY(avtest::writeFile(top + "/.hid/inside", eicar));
    QVERIFY(avtest::writeFile(service.root.path() + "/outside/target", eicar));
    QVERIFY(QFile::link(service.root.path() + "/outside/target", top + "/link-to-file"));
    QVERIFY(QFile::link(service.root.path() + "/outside", top + "/link-to-dir"));
    QVERIFY(makeFifo(top + "/a/pipe"));
    // A name that is not UTF-8, holding the test string.
    const QByteArray oddName = QFile::encodeName(top) + "/odd-\xff\xfe-name";
    {
        const int fd = ::open(oddName.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, eicar.constData(), eicar.size()), ssize_t(eicar.size()));
        ::close(fd);
    }
    // An infected file already in the quarantine is never scanned again.
    QVERIFY(avtest::writeFile(service.dataDir + "/.qra/old", eicar));

    QElapsedTimer timer;
    timer.start();
    QCOMPARE(err(service.scan(top)), 0);
    // Every detection is in the quarantine within two seconds.
    QTRY_COMPARE_WITH_TIMEOUT(service.rows("SELECT * FROM t_infectes WHERE ift_pending = 0").size(),
                              5, kQuarantineDeadlineMs);

    const QList<QJsonObject> logs = service.rows("SELECT * FROM t_log");
    QCOMPARE(logs.size(), 1);
    const QJsonObject log = logs.first();
    QCOMPARE(log.value("log_state").toInt(), 9);
    // clean.txt, .hidden, .hid/inside, a/report.doc, b/report.doc,
    // b/deeper/fine.bin, the odd name and the signature file in
    // work/virusdb and in its last good copy, work/virusdb.good.
    QCOMPARE(log.value("log_totality").toInt(), 9);
    QCOMPARE(log.value("log_resolved").toInt(), 9);
    QCOMPARE(log.value("log_infectes").toInt(), 5);
    QCOMPARE(log.value("log_path").toString(), top);
    QVERIFY(service.rows("SELECT * FROM t_task").isEmpty());

    const QList<QJsonObject> records = service.rows("SELECT * FROM t_infectes ORDER BY ift_path");
    QStringList quarantined, former;
    for (const QJsonObject& record : records) {
        QCOMPARE(record.value("tsk_no").toInt(), log.value("tsk_no").toInt());
        QCOMPARE(record.value("msn_no").toInt(), 0);
        QCOMPARE(record.value("ift_virus").toString(), QStringLiteral("Test.Sig.UNOFFICIAL"));
        quarantined << QFileInfo(record.value("ift_quarantined").toString()).fileName();
        former << record.value("ift_path").toString();
        QCOMPARE(avtest::readBytes(record.value("ift_quarantined").toString()), eicar);
    }
    QCOMPARE(former.mid(0, 4),
             QStringList({top + "/.hid/inside", top + "/.hidden", top + "/a/report.doc",
                          top + "/b/report.doc"}));
    QVERIFY(former.at(4).endsWith("/odd-\\xFF\\xFE-name"));
    QVERIFY(quarantined.contains("report.doc"));
    QVERIFY(quarantined.contains("report.doc.002"));
    QVERIFY(!QFile::exists(top + "/a/report.doc"));
    QVERIFY(!QFile::exists(top + "/b/report.doc"));
    QVERIFY(::access(oddName.constData(), F_OK) != 0);
    QVERIFY(!QFile::exists(top + "/.hidden"));
    QVERIFY(!QFile::exists(top + "/.hid/inside"));
    // Untouched: linked-to and already quarantined files.
    QVERIFY(QFile::exists(service.root.path() + "/outside/target"));
    QVERIFY(QFile::exists(service.dataDir + "/.qra/old"));
    QVERIFY(QFileInfo(top + "/link-to-file").isSymLink());

    const QJsonObject progress = service.call("antivirus_scan_running");
    QCOMPARE(err(progress), 0);
    const QJsonObject results = progress.value("results").toObject();
    QCOMPARE(results.value("total").toInt(), 9);
    QCOMPARE(results.value("scans").toInt(), 9);
    QCOMPARE(results.value("percentage").toInt(), 100);
    QCOMPARE(results.value("infectes").toInt(), 5);
    QCOMPARE(results.value("running").toInt(), 0);
    QCOMPARE(results.value("path").toString(), top);
    QVERIFY(results.contains("endtime"));
    QCOMPARE(results.value("missions").toObject(), QJsonObject());
}

// "skiphidden" brings back the walk that leaves out names beginning with
// ".": neither scanned nor counted. Exclusions apply to hidden directories
// like to any other.
void tst_ZNScan::hiddenNamesSkippedOnlyWhenAsked()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine(2, {{"skiphidden", "yes"}}));
    QCOMPARE(
        service.call("antivirus_settings_load").value("results").toObject().value("skiphidden"),
        QJsonValue(true));
    const QString top = service.scanDir;
    QVERIFY(avtest::writeFile(top + "/.payload", avtest::eicar()));
    QVERIFY(avtest::writeFile(top + "/.cache/evil", avtest::eicar()));
    QVERIFY(avtest::writeFile(top + "/seen", avtest::eicar()));

    QCOMPARE(err(service.scan(top)), 0);
    QTRY_COMPARE_WITH_TIMEOUT(service.rows("SELECT * FROM t_infectes WHERE ift_pending = 0").size(),
                              1, kQuarantineDeadlineMs);
    QCOMPARE(service.rows("SELECT * FROM t_log").value(0).value("log_totality").toInt(), 1);
    QVERIFY(QFile::exists(top + "/.payload"));
    QVERIFY(QFile::exists(top + "/.cache/evil"));

    // Back to the default: both found; a hidden excluded directory stays.
    QVERIFY(service.enableWithEngine(2, {{"skiphidden", false}}));
    QVERIFY(avtest::writeFile(top + "/.skip/evil", avtest::eicar()));
    // A task of the tree excluding the hidden directory, queued ahead of
    // the requested one.
    QVERIFY(service.d->store.call("task_append",
                                  {{"msnno", 0}, {"path", top}, {"excludes", top + "/.skip"}}));
    QCOMPARE(err(service.call("antivirus_scan_start", {{"path", service.scanDir + "/.cache"}})), 0);
    QVERIFY(service.waitIdle());
    QTRY_COMPARE_WITH_TIMEOUT(service.rows("SELECT * FROM t_infectes WHERE ift_pending = 0").size(),
                              3, kQuarantineDeadlineMs);
    QVERIFY(!QFile::exists(top + "/.payload"));
    QVERIFY(!QFile::exists(top + "/.cache/evil"));
    QVERIFY(QFile::exists(top + "/.skip/evil"));
}

// The overall path's exclusions: exact absolute paths, and the bare
// built-in names taken below the overall path; a trailing "/" on an
// exclusion excludes nothing. The overall path is configured and requested
// with a trailing "/": it is the overall path all the same.
void tst_ZNScan::overallScanHonoursExclusions()
{
    avtest::Service service;
    const QString overall =
        QDir(QDir::tempPath()).absoluteFilePath("zn-overall-") + QString::number(::getpid());
    QVERIFY(service.start(
        {{"overall",
          QJsonObject{{"path", overall + "/"},
                      {"excludes", QJsonArray{overall + "/skip", overall + "/slash/", "ftp"}}}}}));
    struct Cleanup
    {
        QString path;
        ~Cleanup() { QDir(path).removeRecursively(); }
    } cleanup{overall};
    QVERIFY(service.enableWithEngine());
    for (const char* dir : {"/skip", "/slash", "/ftp", "/kept"})
        QVERIFY(avtest::writeFile(overall + dir + "/f", avtest::eicar()));

    QCOMPARE(err(service.scan(overall + "/")), 0);
    QTRY_COMPARE_WITH_TIMEOUT(service.rows("SELECT * FROM t_infectes").size(), 2,
                              kQuarantineDeadlineMs);
    // A record is written before its file moves: the moves may still run.
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(overall + "/slash/f"), kQuarantineDeadlineMs);
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(overall + "/kept/f"), kQuarantineDeadlineMs);
    QVERIFY(QFile::exists(overall + "/skip/f"));
    QVERIFY(QFile::exists(overall + "/ftp/f"));
    const QJsonObject log = service.rows("SELECT * FROM t_log").value(0);
    QCOMPARE(log.value("log_excludes").toString(),
             QStringList({overall + "/skip", overall + "/slash/", "ftp"}).join('\n'));
}

void tst_ZNScan::refusalsComeInOrder()
{
    avtest::Service service;
    QVERIFY(service.start());
    const QString target = service.scanDir;
    QJsonObject reply = service.call("antivirus_scan_start", {{"path", target}});
    QCOMPARE(err(reply), 9983);
    QCOMPARE(reply.value("errmsg").toString(), QStringLiteral("病毒库未准备就绪，请稍后再重试"));

    QVERIFY(service.enableWithEngine());
    const auto setWorkArea = [&service](const QString& directory) {
        ZNSettingsSnapshot settings = service.d->settings.get();
        settings.dataDir = directory;
        service.d->settings.exchange(settings);
    };
    setWorkArea(QString());
    QCOMPARE(err(service.call("antivirus_scan_start", {{"path", target}})), 9869);
    setWorkArea(service.root.path() + "/gone");
    QCOMPARE(err(service.call("antivirus_scan_start", {{"path", target}})), 9994);
    setWorkArea(service.root.path() + "/blocked");
    QVERIFY(avtest::writeFile(service.root.path() + "/blocked/.qra", "a file in the way"));
    QCOMPARE(err(service.call("antivirus_scan_start", {{"path", target}})), 9969);
    setWorkArea(service.dataDir);
    // Missing, link and FIFO paths: nothing to scan.
    QVERIFY(QFile::link(target, service.root.path() + "/link"));
    QVERIFY(makeFifo(service.root.path() + "/fifo"));
    for (const QString& bad : {service.root.path() + "/none", service.root.path() + "/link",
                               service.root.path() + "/fifo"})
        QCOMPARE(err(service.call("antivirus_scan_start", {{"path", bad}})), 9994);
    reply = service.call("antivirus_scan_start", {{"path", "   "}});
    QCOMPARE(err(reply), 9995);
    QCOMPARE(reply.value("errmsg").toString(), QStringLiteral("缺少参数: path"));
    QVERIFY(service.rows("SELECT * FROM t_task").isEmpty());
    QVERIFY(service.rows("SELECT * FROM t_log").isEmpty());
}

// Holding the workers as they take a file keeps a task running for
// as long as the test needs, without timing assumptions.
void tst_ZNScan::queuedTasksAndStop()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine(1));
    const QString big = service.scanDir + "/big";
    const QString other = service.scanDir + "/other";
    const int capacity = ZNPathQueue().capacity();
    const int files = capacity + 500;
    QVERIFY(QDir().mkpath(big));
    for (int i = 0; i < files; ++i)
        QVERIFY(avtest::writeFile(big + QString("/f%1").arg(i), "x"));
    QVERIFY(avtest::writeFile(other + "/infected", avtest::eicar()));

    avtest::PauseGate::Hold hold(service.fileTaking);
    QCOMPARE(err(service.call("antivirus_scan_start", {{"path", " " + big + " "}})), 0);
    QTRY_VERIFY(service.d->tasks.isRunning());
    QCOMPARE(err(service.call("antivirus_scan_start", {{"path", big}})), 9993);
    const QJsonObject refused = service.call("antivirus_scan_start", {{"path", other}});
    QCOMPARE(err(refused), 9992);
    QCOMPARE(refused.value("errmsg").toString(), QStringLiteral("正在进行查杀毒中，请稍后再重试"));
    QCOMPARE(service.rows("SELECT * FROM t_task").size(), 2);
    hold.unlock();
    QVERIFY(service.waitIdle());
    QTRY_COMPARE_WITH_TIMEOUT(service.rows("SELECT * FROM t_infectes").size(), 1,
                              kQuarantineDeadlineMs);
    QList<QJsonObject> logs = service.rows("SELECT * FROM t_log ORDER BY log_no");
    QCOMPARE(logs.size(), 2);
    QCOMPARE(logs.at(0).value("log_path").toString(), big);
    QCOMPARE(logs.at(0).value("log_totality").toInt(), files);
    QCOMPARE(logs.at(1).value("log_path").toString(), other);
    QCOMPARE(logs.at(1).value("log_infectes").toInt(), 1);

    // Stop while the walk waits on a full queue: state 8, queued files
    // never scanned; the task queued behind it is logged as stopped, so
    // its path is free again.
    hold.relock();
    QCOMPARE(err(service.call("antivirus_scan_start", {{"path", big}})), 0);
    QTRY_VERIFY(service.d->tasks.filesFound() > capacity); // the walk waits on a full queue
    QCOMPARE(err(service.call("antivirus_scan_start", {{"path", other}})), 9992);
    std::atomic<bool> stopped{false};
    QJsonObject stopReply;
    std::thread stopper([&] {
        KX2LocalServer::localRequest(service.socketName,
                                     QJsonObject{{"cmd", "antivirus_scan_stop"}}, &stopReply, 60);
        stopped = true;
    });
    QTRY_VERIFY(service.d->tasks.isStopping());
    hold.unlock();
    QTRY_VERIFY_WITH_TIMEOUT(stopped, 10000);
    stopper.join();
    QCOMPARE(err(stopReply), 0);
    QVERIFY(!service.d->tasks.isRunning());
    logs = service.rows("SELECT * FROM t_log ORDER BY log_no");
    QCOMPARE(logs.size(), 4);
    QCOMPARE(logs.at(2).value("log_state").toInt(), 8);
    QVERIFY(logs.at(2).value("log_resolved").toInt() < logs.at(2).value("log_totality").toInt());
    QCOMPARE(logs.at(3).value("log_path").toString(), other);
    QCOMPARE(logs.at(3).value("log_state").toInt(), 8);
    QCOMPARE(logs.at(3).value("log_totality").toInt(), 0);
    QVERIFY(service.rows("SELECT * FROM t_task").isEmpty());
    QCOMPARE(err(service.scan(other)), 0);
    QCOMPARE(service.rows("SELECT * FROM t_log WHERE log_state = 9").size(), 3);
}

// The path queue keeps the walk a few thousand files ahead of the
// workers; "total" must still reach the whole tree long before half of it
// is scanned. The one worker is held on its first file meanwhile.
void tst_ZNScan::totalIsTheWholeTreeEarly()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine(1));
    const int directories = 30, perDirectory = 1000, files = directories * perDirectory;
    const QByteArray tree = QFile::encodeName(service.scanDir + "/tree");
    for (int d = 0; d < directories; ++d) {
        const QByteArray dir = tree + "/d" + QByteArray::number(d);
        QVERIFY(QDir().mkpath(QFile::decodeName(dir)));
        for (int f = 0; f < perDirectory; ++f) {
            const int fd = ::open((dir + "/f" + QByteArray::number(f)).constData(),
                                  O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
            QVERIFY(fd >= 0);
            ::close(fd);
        }
    }
    {
        // The total is read in-process while the worker is held.
        avtest::PauseGate::Hold hold(service.fileTaking);
        QCOMPARE(err(service.call("antivirus_scan_start", {{"path", QFile::decodeName(tree)}})), 0);
        QTRY_COMPARE_WITH_TIMEOUT(service.d->tasks.totalFiles(), files, 30000);
        QVERIFY(service.d->tasks.filesFound() < files); // the walk itself is held back
    }
    // Released: the reply shows the same total.
    const QJsonObject now = service.call("antivirus_scan_running").value("results").toObject();
    QCOMPARE(now.value("total").toInt(), files);
    QVERIFY(service.waitIdle());
    const QJsonObject log = service.rows("SELECT * FROM t_log").value(0);
    QCOMPARE(log.value("log_totality").toInt(), files);
    QCOMPARE(log.value("log_resolved").toInt(), files);
    QCOMPARE(log.value("log_state").toInt(), 9);
}

void tst_ZNScan::singleFileAndEmptyDirectory()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    const QString file = service.scanDir + "/one/sample.exe";
    QVERIFY(avtest::writeFile(file, avtest::eicar()));
    QVERIFY(QDir().mkpath(service.scanDir + "/empty"));

    QCOMPARE(err(service.scan(file)), 0);
    QTRY_COMPARE_WITH_TIMEOUT(service.rows("SELECT * FROM t_infectes").size(), 1,
                              kQuarantineDeadlineMs);
    QVERIFY(!QFile::exists(file));
    QCOMPARE(err(service.scan(service.scanDir + "/empty")), 0);

    const QList<QJsonObject> logs = service.rows("SELECT * FROM t_log ORDER BY log_no");
    QCOMPARE(logs.size(), 2);
    QCOMPARE(logs.at(0).value("log_totality").toInt(), 1);
    QCOMPARE(logs.at(0).value("log_resolved").toInt(), 1);
    QCOMPARE(logs.at(0).value("log_infectes").toInt(), 1);
    QCOMPARE(logs.at(1).value("log_state").toInt(), 9);
    for (const char* counter : {"log_totality", "log_resolved", "log_infectes"})
        QCOMPARE(logs.at(1).value(counter).toInt(), 0);
}

// Files are scanned from a buffer the worker keeps (up to 1 MiB), from a
// buffer of their own (up to 8 MiB) or through their descriptor: a body
// signature is found near the end of each, and a file scanned after a
// larger one is judged on its own bytes only (one worker, names in walk
// order).
void tst_ZNScan::filesOfEverySizeAreScannedWhole()
{
    avtest::Service service;
    QVERIFY(service.start());
    const QByteArray marker = QByteArray("zn-scan-body-") + "marker-" + QByteArray::number(4711);
    QVERIFY(avtest::writeFile(service.dataDir + "/virusdb/body.ndb",
                              "Test.Body.UNOFFICIAL:0:*:" + marker.toHex() + "\n"));
    QVERIFY(service.enableWithEngine(1));
    const int mib = 1024 * 1024;
    auto withMarkerAt = [&](int size, int at) {
        QByteArray bytes(size, 'x');
        bytes.replace(at, marker.size(), marker);
        return bytes;
    };
    const QString top = service.scanDir;
    QVERIFY(avtest::writeFile(top + "/a-kept", withMarkerAt(mib, mib - 100)));
    QVERIFY(avtest::writeFile(top + "/b-kept", QByteArray(mib / 2, 'x')));
    QVERIFY(avtest::writeFile(top + "/c-own", withMarkerAt(3 * mib, 3 * mib - 100)));
    QVERIFY(avtest::writeFile(top + "/d-descriptor", withMarkerAt(9 * mib, 9 * mib - 100)));
    QVERIFY(avtest::writeFile(top + "/e-descriptor", QByteArray(9 * mib, 'x')));
    QVERIFY(avtest::writeFile(top + "/f-tiny", marker));

    QCOMPARE(err(service.scan(top)), 0);
    QTRY_COMPARE_WITH_TIMEOUT(service.rows("SELECT * FROM t_infectes WHERE ift_pending = 0").size(),
                              4, kQuarantineDeadlineMs);
    const QList<QJsonObject> logs = service.rows("SELECT * FROM t_log");
    QCOMPARE(logs.size(), 1);
    QCOMPARE(logs.first().value("log_resolved").toInt(), 6);
    QCOMPARE(logs.first().value("log_infectes").toInt(), 4);
    QStringList found;
    for (const QJsonObject& record : service.rows("SELECT * FROM t_infectes ORDER BY ift_path"))
        found << QFileInfo(record.value("ift_path").toString()).fileName();
    QCOMPARE(found, QStringList({"a-kept", "c-own", "d-descriptor", "f-tiny"}));
}

// A file over a limit is never counted clean: it is counted as limited
// until the limits let it be scanned, or is a detection with
// "limitsalert". The files: 120 MiB with a signature in its first bytes,
// and a tar.gz whose signed member lies two archives deep.
void tst_ZNScan::filesNotScannedInFullAreCountedAsLimited()
{
    const QString testFiles = "/usr/share/clamav-testfiles";
    QFile member(testFiles + "/clam.exe");
    if (!member.open(QIODevice::ReadOnly))
        QSKIP("clamav-testfiles is not installed");
    const QByteArray memberBytes = member.readAll();
    avtest::Service service;
    service.extraSignatures = QCryptographicHash::hash(memberBytes, QCryptographicHash::Md5).toHex()
        + ":" + QByteArray::number(memberBytes.size()) + ":Test.Member.UNOFFICIAL\n";
    QVERIFY(service.start());
    const QByteArray marker = QByteArray("zn-limit-head-") + "marker-" + QByteArray::number(4711);
    QVERIFY(avtest::writeFile(service.dataDir + "/virusdb/head.ndb",
                              "Test.Head.UNOFFICIAL:0:0:" + marker.toHex() + "\n"));
    const auto lay = [&](const QString& name) {
        const QString dir = service.scanDir + "/" + name;
        QFile huge(dir + "/huge.bin");
        return QDir().mkpath(dir) && huge.open(QIODevice::WriteOnly) && huge.write(marker) > 0
            && huge.resize(120LL * 1024 * 1024)
            && QFile::copy(testFiles + "/clam.tar.gz", dir + "/clam.tar.gz");
    };
    const auto lastLog = [&] { return service.rows("SELECT * FROM t_log ORDER BY log_no").last(); };

    QVERIFY(service.enableWithEngine(1, {{"maxfilesize", 100}, {"maxrecursion", 1}}));
    QVERIFY(lay("small-limits"));
    QCOMPARE(err(service.scan(service.scanDir + "/small-limits")), 0);
    QJsonObject log = lastLog();
    QCOMPARE(log.value("log_resolved").toInt(), 2);
    QCOMPARE(log.value("log_limited").toInt(), 2);
    QCOMPARE(log.value("log_infectes").toInt(), 0);
    QCOMPARE(service.call("antivirus_scan_running").value("results").toObject().value("limited").toInt(), 2);
    // Not remembered as clean: the next scan reads them again.
    QCOMPARE(err(service.scan(service.scanDir + "/small-limits")), 0);
    QCOMPARE(lastLog().value("log_limited").toInt(), 2);

    QVERIFY(service.enableWithEngine(1, {{"maxfilesize", 200}, {"maxrecursion", 17}}));
    QVERIFY(lay("large-limits"));
    QCOMPARE(err(service.scan(service.scanDir + "/large-limits")), 0);
    log = lastLog();
    QCOMPARE(log.value("log_limited").toInt(), 0);
    QCOMPARE(log.value("log_infectes").toInt(), 2);

    QVERIFY(service.enableWithEngine(1, {{"maxfilesize", 100}, {"limitsalert", true}}));
    QVERIFY(lay("alert"));
    QCOMPARE(err(service.scan(service.scanDir + "/alert")), 0);
    QTRY_COMPARE_WITH_TIMEOUT(
        service.rows("SELECT ift_virus FROM t_infectes WHERE ift_path LIKE '%/alert/huge.bin'").size(),
        1, kQuarantineDeadlineMs);
    QCOMPARE(service.rows("SELECT ift_virus FROM t_infectes WHERE ift_path LIKE '%/alert/huge.bin'")
                 .first()
                 .value("ift_virus")
                 .toString(),
             QStringLiteral("Heuristics.Limits.Exceeded.MaxFileSize"));
    QCOMPARE(lastLog().value("log_limited").toInt(), 0);
}

// libclamav unpacks a compressed member into its temporary directory. One
// larger than that (bounded) directory is scanned with the temporary files
// on disk instead, and the engine writes to the small one again afterwards.
void tst_ZNScan::membersTooLargeForTheTemporaryDirectoryStillScan()
{
    avtest::Service service;
    QVERIFY(service.root.isValid());
    const QString small = service.root.path() + "/small-tmp";
    QVERIFY(QDir().mkpath(small));
    if (::mount("small", QFile::encodeName(small).constData(), "tmpfs", 0, "size=1m") != 0)
        QSKIP("tmpfs cannot be mounted here");
    struct Unmount
    {
        QByteArray path;
        ~Unmount() { ::umount2(path.constData(), MNT_DETACH); }
    } unmount{QFile::encodeName(small)};
    QVERIFY(service.start({{"tmpdir", small}}));
    const QByteArray marker = "zn-spill-tail-marker-4711";
    QVERIFY(avtest::writeFile(service.dataDir + "/virusdb/tail.ndb",
                              "Test.Tail.UNOFFICIAL:0:*:" + marker.toHex() + "\n"));
    QVERIFY(avtest::writeFile(service.scanDir + "/member", QByteArray(8 << 20, '\0') + marker));
    QProcess gzip;
    gzip.start("gzip", {service.scanDir + "/member"});
    QVERIFY(gzip.waitForFinished(30000) && gzip.exitCode() == 0);

    QVERIFY(service.enableWithEngine());
    QCOMPARE(err(service.scan(service.scanDir)), 0);
    const QJsonObject log = service.rows("SELECT * FROM t_log").last();
    QCOMPARE(log.value("log_infectes").toInt(), 1);
    QCOMPARE(log.value("log_limited").toInt(), 0);
    const ZNEngineRef engine = service.d->engines.current();
    int error = 0;
    QCOMPARE(QFile::decodeName(cl_engine_get_str(engine.get(), CL_ENGINE_TMPDIR, &error)), small);
}

// Users may change the share between the scan and the move. Holding the
// keeper once it has taken its jobs parks it while the test does that.
void tst_ZNScan::quarantineMovesOnlyWhatWasScanned()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    const QString top = service.scanDir;
    const QString outside = service.root.path() + "/outside";
    for (const char* name : {"to-link", "to-fifo", "to-dir", "replaced", "moved-dir/file", "kept"})
        QVERIFY(avtest::writeFile(top + "/" + name, avtest::eicar()));
    QVERIFY(avtest::writeFile(outside + "/precious", avtest::eicar()));
    QVERIFY(avtest::writeFile(outside + "/file", avtest::eicar()));

    {
        avtest::PauseGate::Hold hold(service.keeperJobs);
        QCOMPARE(err(service.call("antivirus_scan_start", {{"path", top}})), 0);
        QTRY_VERIFY_WITH_TIMEOUT(!service.d->tasks.isRunning(), 30000);
        QCOMPARE(service.d->tasks.progress().value("infectes").toInt(), 6);
        QVERIFY(QFile::remove(top + "/to-link")
                && QFile::link(outside + "/precious", top + "/to-link"));
        QVERIFY(QFile::remove(top + "/to-fifo") && makeFifo(top + "/to-fifo"));
        QVERIFY(QFile::remove(top + "/to-dir") && QDir().mkpath(top + "/to-dir"));
        QVERIFY(QFile::remove(top + "/replaced")
                && avtest::writeFile(top + "/replaced", avtest::eicar()));
        // The directory of a detected file becomes a link to another tree
        // holding a file of the same name.
        QVERIFY(QDir().rename(top + "/moved-dir", service.root.path() + "/elsewhere"));
        QVERIFY(QFile::link(outside, top + "/moved-dir"));
    }
    QTRY_VERIFY_WITH_TIMEOUT(!service.d->keeper.isBusy(), 5000);
    // Every detection has its record; only "kept" moved.
    const QList<QJsonObject> records =
        service.rows("SELECT * FROM t_infectes WHERE ift_moved = 1 AND ift_pending = 0");
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().value("ift_path").toString(), top + "/kept");
    QStringList stayed;
    for (const QJsonObject& row :
         service.rows("SELECT * FROM t_infectes WHERE ift_moved = 0 ORDER BY ift_path")) {
        QCOMPARE(row.value("ift_quarantined").toString(), QString());
        stayed << row.value("ift_path").toString().mid(top.size() + 1);
    }
    QCOMPARE(stayed, QStringList({"moved-dir/file", "replaced", "to-dir", "to-fifo", "to-link"}));
    // The log tells the detections left in place; the listing shows them as
    // not moved, and pruning keeps them.
    const QJsonObject log = service.call("antivirus_log_alload", {{"page", 1}, {"ofpage", 10}})
                                .value("results")
                                .toObject()
                                .value("records")
                                .toArray()
                                .first()
                                .toObject();
    QCOMPARE(log.value("infectes").toInt(), 6);
    QCOMPARE(log.value("inplace").toInt(), 5);
    QCOMPARE(service.call("antivirus_quarantined_reduce").value("results").toObject(),
             QJsonObject({{"amount", 0}}));
    const QJsonArray listed =
        service.call("antivirus_quarantined_alload", {{"page", 1}, {"ofpage", 10}})
            .value("results")
            .toObject()
            .value("records")
            .toArray();
    QCOMPARE(listed.size(), 6);
    int notMoved = 0;
    QJsonValue replacedRecord;
    for (const QJsonValue& entry : listed) {
        const QJsonObject record = entry.toObject();
        QCOMPARE(record.value("removed").toInt(), 0);
        notMoved += record.value("moved").toInt() == 0 ? 1 : 0;
        // Each says why it stayed, for the client to show.
        QCOMPARE(record.value("reason").toString(),
                 record.value("moved").toInt()
                     ? QString()
                     : QStringLiteral("the file changed after it was scanned"));
        if (record.value("path").toString() == top + "/replaced")
            replacedRecord = record.value("iftno");
    }
    QCOMPARE(notMoved, 5);
    // Removing such a record never touches the file at its former path.
    QCOMPARE(service.call("antivirus_quarantined_remove", {{"iftnos", QJsonArray{replacedRecord}}})
                 .value("err")
                 .toInt(),
             0);
    QVERIFY(QFile::exists(outside + "/precious"));
    QVERIFY(QFile::exists(outside + "/file"));
    QVERIFY(QFileInfo(top + "/to-link").isSymLink());
    QVERIFY(QFileInfo(top + "/to-dir").isDir());
    QVERIFY(QFile::exists(top + "/replaced"));
    QCOMPARE(QDir(service.dataDir + "/.qra").entryList(QDir::Files | QDir::System).size(), 1);
}

// A parent directory swapped for a link between the walk and the open must
// not make a worker read the files the link leads to. The one worker is
// held after taking its path, before it opens the file.
void tst_ZNScan::workersReadOnlyWhatWasWalked()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine(1));
    const QString sub = service.scanDir + "/sub";
    const QString outside = service.root.path() + "/root-only";
    QVERIFY(avtest::writeFile(sub + "/evil", "harmless"));
    QVERIFY(avtest::writeFile(outside + "/evil", avtest::eicar()));
    {
        avtest::PauseGate::Hold hold(service.fileTaking);
        QCOMPARE(err(service.call("antivirus_scan_start", {{"path", service.scanDir}})), 0);
        QTRY_COMPARE(service.d->tasks.filesFound(), 1);
        QVERIFY(QDir().rename(sub, sub + ".old"));
        QVERIFY(QFile::link(outside, sub));
    }
    QVERIFY(service.waitIdle());
    const QJsonObject log = service.rows("SELECT * FROM t_log").value(0);
    QCOMPARE(log.value("log_totality").toInt(), 1);
    QCOMPARE(log.value("log_resolved").toInt(), 0); // not opened
    QCOMPARE(log.value("log_infectes").toInt(), 0);
    QVERIFY(service.rows("SELECT * FROM t_infectes").isEmpty());
    QCOMPARE(avtest::readBytes(outside + "/evil"), avtest::eicar());
}

// A chain of directories far deeper than the descriptors the process may
// hold: everything down to the deepest level walked is scanned and
// quarantined with a few descriptors; what lies deeper is not entered.
void tst_ZNScan::deepTreesWithFewDescriptors()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine(1));
    QByteArray path = QFile::encodeName(service.scanDir + "/deep");
    QVERIFY(::mkdir(path.constData(), 0755) == 0);
    QByteArray reachable, unreachable;
    for (int level = 1; level <= 1010; ++level) {
        path += "/d";
        QVERIFY(::mkdir(path.constData(), 0755) == 0);
        if (level == 600 || level == 1005) {
            (level == 600 ? reachable : unreachable) = path + "/evil";
            const int fd = ::open((path + "/evil").constData(), O_WRONLY | O_CREAT, 0644);
            QVERIFY(fd >= 0);
            const QByteArray eicar = avtest::eicar();
            QCOMPARE(::write(fd, eicar.constData(), size_t(eicar.size())), ssize_t(eicar.size()));
            ::close(fd);
        }
    }
    struct rlimit before;
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &before) == 0);
    struct rlimit few = before;
    few.rlim_cur = 300;
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &few) == 0);
    const QJsonObject reply = service.scan(service.scanDir + "/deep");
    QTRY_VERIFY_WITH_TIMEOUT(
        !service.rows("SELECT * FROM t_infectes WHERE ift_pending = 0 AND ift_moved = 1").isEmpty(),
        kQuarantineDeadlineMs);
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &before) == 0);
    QCOMPARE(err(reply), 0);
    const QJsonObject log = service.rows("SELECT * FROM t_log").value(0);
    QCOMPARE(log.value("log_state").toInt(), 9);
    QCOMPARE(log.value("log_totality").toInt(), 1);
    QCOMPARE(log.value("log_infectes").toInt(), 1);
    QVERIFY(::access(reachable.constData(), F_OK) != 0);
    QVERIFY(::access(unreachable.constData(), F_OK) == 0);
    QCOMPARE(service.d->tasks.filesFound(), 1);
    // The tree is removed relative to its directories: its paths are long.
    QVERIFY(::system(("rm -rf " + QFile::encodeName(service.scanDir + "/deep")).constData()) == 0);
}

// Names at the file system's limit: the numbered twin and the escaped
// form of a name that is not UTF-8 are longer still. Each is shortened
// before its extension and quarantined.
void tst_ZNScan::longNamesAreShortenedKeepingTheirExtension()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine(1));                      // walk order is detection order
    const QByteArray longName = QByteArray(251, 'n') + ".doc"; // 255 bytes
    const QByteArray top = QFile::encodeName(service.scanDir);
    QVERIFY(QDir().mkpath(service.scanDir + "/a") && QDir().mkpath(service.scanDir + "/b"));
    const QByteArray odd = QByteArray(200, '\xff') + ".bin";
    for (const QByteArray& path :
         {top + "/a/" + longName, top + "/b/" + longName, top + "/a/" + odd}) {
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        QVERIFY(fd >= 0);
        const QByteArray eicar = avtest::eicar();
        QCOMPARE(::write(fd, eicar.constData(), size_t(eicar.size())), ssize_t(eicar.size()));
        ::close(fd);
    }
    QCOMPARE(err(service.scan(service.scanDir)), 0);
    QTRY_COMPARE_WITH_TIMEOUT(
        service.rows("SELECT * FROM t_infectes WHERE ift_pending = 0 AND ift_moved = 1").size(), 3,
        kQuarantineDeadlineMs);
    QStringList names;
    for (const QJsonObject& row : service.rows("SELECT * FROM t_infectes ORDER BY ift_no")) {
        const QString kept = row.value("ift_quarantined").toString();
        QCOMPARE(avtest::readBytes(kept), avtest::eicar());
        const QByteArray name = QFileInfo(kept).fileName().toUtf8();
        QVERIFY2(name.size() <= 255, name.constData());
        names << QString::fromUtf8(name.right(8));
    }
    QCOMPARE(names.size(), 3);
    QVERIFY(names.at(0).endsWith(".doc"));
    QVERIFY(names.at(1).endsWith(".bin"));
    QVERIFY(names.at(2).endsWith(".doc.002"));
    QVERIFY(::access((top + "/a/" + longName).constData(), F_OK) != 0);
    QVERIFY(::access((top + "/a/" + odd).constData(), F_OK) != 0);
}

// A work area on another file system: the file is copied, made durable,
// renamed into place and only then removed from the share.
void tst_ZNScan::quarantineAcrossFileSystems()
{
    const QString shm = QStringLiteral("/dev/shm");
    struct stat tmpInfo, shmInfo;
    QTemporaryDir work(shm + "/zn-qra-XXXXXX");
    if (!work.isValid() || ::stat(QFile::encodeName(QDir::tempPath()).constData(), &tmpInfo) != 0
        || ::stat(shm.toUtf8().constData(), &shmInfo) != 0 || tmpInfo.st_dev == shmInfo.st_dev)
        QSKIP("needs a second file system at /dev/shm");
    avtest::Service service;
    QVERIFY(service.start());
    service.dataDir = work.path();
    QVERIFY(service.enableWithEngine(1)); // walk order is detection order
    // "a/away.doc.part" is quarantined first under its own name, which is
    // the name a temporary copy of "far/away.doc" would have had.
    const QString part = service.scanDir + "/a/away.doc.part";
    const QString file = service.scanDir + "/far/away.doc";
    QVERIFY(avtest::writeFile(part, avtest::eicar()));
    QVERIFY(avtest::writeFile(file, avtest::eicar()));
    QVERIFY(::chmod(QFile::encodeName(file).constData(), 0640) == 0);

    QCOMPARE(err(service.scan(service.scanDir)), 0);
    QTRY_COMPARE_WITH_TIMEOUT(service.rows("SELECT * FROM t_infectes WHERE ift_pending = 0").size(),
                              2, 2000);
    const QList<QJsonObject> records = service.rows("SELECT * FROM t_infectes ORDER BY ift_no");
    QCOMPARE(records.at(0).value("ift_quarantined").toString(),
             work.path() + "/.qra/away.doc.part");
    QCOMPARE(records.at(1).value("ift_quarantined").toString(), work.path() + "/.qra/away.doc");
    for (const QJsonObject& record : records)
        QCOMPARE(avtest::readBytes(record.value("ift_quarantined").toString()), avtest::eicar());
    struct stat info;
    QVERIFY(::stat(QFile::encodeName(work.path() + "/.qra/away.doc").constData(), &info) == 0);
    QCOMPARE(int(info.st_mode & 07777), 0640);
    QVERIFY(!QFile::exists(file));
    QVERIFY(!QFile::exists(part));
    QCOMPARE(QDir(work.path() + "/.qra").entryList(QDir::Files | QDir::Hidden).size(), 2);
}

void tst_ZNScan::helpDocumentOnly()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine());
    for (const char* method :
         {"antivirus_scan_start", "antivirus_scan_stop", "antivirus_scan_running"}) {
        const QJsonObject reply = service.request(QJsonObject{
            {"cmd", method}, {"help", false}, {"params", QJsonObject{{"path", service.scanDir}}}});
        QCOMPARE(reply.value("comment").toString(), QString());
        QVERIFY(!reply.contains("results"));
    }
    QVERIFY(service.rows("SELECT * FROM t_task").isEmpty());
    QVERIFY(service.rows("SELECT * FROM t_log").isEmpty());
}

QTEST_GUILESS_MAIN(tst_ZNScan)
#include "tst_znscan.moc"
