// The scanning pipeline under ThreadSanitizer: the walk, the workers, the
// quarantine keeper, progress requests, a stop, and engine reloads and
// settings saves arriving while files are scanned. Built with -fsanitize=
// thread by tsan_znscan.cmake; any report fails the run (exit code 66).

#include "avservice.h"

#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

const int kDirectories = 6;
const int kFilesPerDirectory = 50; // 300 files, every fifth infected

int err(const QJsonObject& reply)
{
    return reply.value("err").toInt(-1);
}

// Lays the tree again; returns the number of infected files written.
int layTree(const QString& top)
{
    int infected = 0;
    for (int d = 0; d < kDirectories; ++d) {
        for (int f = 0; f < kFilesPerDirectory; ++f) {
            const QString path = QStringLiteral("%1/d%2/f%3").arg(top).arg(d).arg(f);
            const bool bad = f % 5 == 0;
            if (!avtest::writeFile(path,
                                   bad ? avtest::eicar() : QByteArray("clean ") + path.toUtf8()))
                return -1;
            infected += bad ? 1 : 0;
        }
    }
    return infected;
}

int settledRecords(avtest::Service& service)
{
    return service.rows("SELECT COUNT(*) AS n FROM t_infectes WHERE ift_pending = 0")
        .value(0)
        .value("n")
        .toInt();
}

} // namespace

class tsan_ZNScan : public QObject
{
    Q_OBJECT
private slots:
    void scanWhileEnginesAndSettingsChange();
};

void tsan_ZNScan::scanWhileEnginesAndSettingsChange()
{
    avtest::Service service;
    QVERIFY(service.start());
    QVERIFY(service.enableWithEngine(3));
    const QString top = service.scanDir + "/tree";
    const QJsonObject settings{{"enabled", 1}, {"datadir", service.dataDir}};

    // Engine reloads, one after another, for the whole test: each waits
    // until the engine it asked for is in place.
    std::atomic<bool> done{false};
    std::atomic<int> reloads{0};
    std::thread reloader([&] {
        while (!done) {
            const unsigned before = service.d->engines.generation();
            if (!service.d->updater.prepare(true)) {
                std::this_thread::sleep_for(2ms);
                continue;
            }
            const auto deadline = std::chrono::steady_clock::now() + 30s;
            while (!done && service.d->engines.generation() == before
                   && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(2ms);
            ++reloads;
            // A gap between reloads, in which settings saves get through.
            std::this_thread::sleep_for(5ms);
        }
    });
    struct Join
    {
        std::atomic<bool>& done;
        std::thread& thread;
        ~Join()
        {
            done = true;
            thread.join();
        }
    } join{done, reloader};

    int expected = 0;
    for (int round = 0; round < 3; ++round) {
        const int infected = layTree(top);
        QVERIFY(infected > 0);
        expected += infected;
        QCOMPARE(err(service.call("antivirus_scan_start", {{"path", top}})), 0);
        // Progress requests and settings saves (worker count changes) race
        // the task on the connection threads. A save is refused while the
        // task runs (9992) or an engine reload is under way (9871), and
        // applied between reloads once the task has ended, racing the
        // quarantine.
        for (int i = 0; service.d->tasks.isRunning(); ++i) {
            QJsonObject changed = settings;
            changed.insert("threads", 1 + i % 4);
            const int saved = err(service.call("antivirus_settings_save", changed));
            QVERIFY2(saved == 0 || saved == 9992 || saved == 9871,
                     qPrintable(QString::number(saved)));
            QCOMPARE(err(service.call("antivirus_scan_running")), 0);
        }
        QElapsedTimer saving;
        saving.start();
        int saved = -1;
        while (saved != 0 && saving.elapsed() < 20000)
            saved = err(service.call("antivirus_settings_save", settings));
        QCOMPARE(saved, 0);
        QVERIFY(service.waitIdle());
        QTRY_COMPARE_WITH_TIMEOUT(settledRecords(service), expected, 20000);
        const QJsonObject log = service.rows("SELECT * FROM t_log ORDER BY log_no DESC").value(0);
        QCOMPARE(log.value("log_state").toInt(), 9);
        QCOMPARE(log.value("log_resolved").toInt(), kDirectories * kFilesPerDirectory);
        QCOMPARE(log.value("log_infectes").toInt(), infected);
    }

    // A stop while the walk waits for the workers, held as they take a
    // file so that the stop surely comes mid-task.
    QVERIFY(layTree(top) > 0);
    avtest::PauseGate::Hold hold(service.fileTaking);
    QCOMPARE(err(service.call("antivirus_scan_start", {{"path", top}})), 0);
    // More files found than workers can hold: some wait in the queue.
    QTRY_VERIFY(service.d->tasks.filesFound() > 64);
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        QJsonObject reply;
        KX2LocalServer::localRequest(service.socketName,
                                     QJsonObject{{"cmd", "antivirus_scan_stop"}}, &reply, 60);
        stopped = err(reply) == 0;
    });
    QTRY_VERIFY(service.d->tasks.isStopping());
    hold.unlock();
    QTRY_VERIFY_WITH_TIMEOUT(stopped, 20000);
    stopper.join();
    QVERIFY(service.waitIdle());
    QCOMPARE(service.rows("SELECT * FROM t_log ORDER BY log_no DESC")
                 .value(0)
                 .value("log_state")
                 .toInt(),
             8);

    // The pipeline runs again after the stop, and the reloads did overlap.
    QCOMPARE(err(service.scan(top)), 0);
    QCOMPARE(service.rows("SELECT * FROM t_log ORDER BY log_no DESC")
                 .value(0)
                 .value("log_state")
                 .toInt(),
             9);
    QVERIFY(reloads > 0);
}

QTEST_GUILESS_MAIN(tsan_ZNScan)
#include "tsan_znscan.moc"
