// The service as the scanning benchmark drives it: a process of its own
// with a temporary configuration, scans over its socket, and the counts
// of each task read from its store. Header-only; one benchmark process.

#ifndef SCANSERVICE_H
#define SCANSERVICE_H

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>

#include <sqlite3.h>

#include <cstdio>
#include <memory>
#include <thread>

#include "kx2localserver.h"
#include "scancommon.h"

namespace scanbench {

const int kVirusDbNotReady = 9983;

class Service
{
public:
    // Started with its configuration and settings in `work` (made here);
    // `incremental` is the setting of that name.
    bool start(const QString& binary, const QString& work, const QString& signatures,
               const QString& scratch, bool incremental = true)
    {
        this->binary = binary;
        this->scratch = scratch;
        root = work;
        dataDir = work + "/data";
        socketName = work + "/run/antivirus.sock";
        QDir().mkpath(work + "/etc");
        QDir().mkpath(work + "/run");
        QDir().mkpath(work + "/scan");
        QDir().mkpath(dataDir);
        // The work area's virus database is the shared signature directory.
        if (!QFile::link(signatures, dataDir + "/virusdb"))
            return false;
        QJsonObject config{
            {"settings", work + "/etc/settings.json"},
            {"database", databasePath()},
            {"virusdburl", "http://127.0.0.1:9/virusdb.json"},
            // Not the machine's own directory: its set would replace the
            // bench's signatures.
            {"systemvirusdb", work + "/no-system-virusdb"},
            {"overall", QJsonObject{{"path", work + "/scan"}}},
            {"lpcid", socketName},
            {"debugging", false},
            {"debuglevel", 0},
        };
        if (!scratch.isEmpty())
            config.insert("tmpdir", scratchFor(scratch, "service"));
        writeFile(work + "/etc/config.json", QJsonDocument(config).toJson());
        if (!launch())
            return false;
        const QJsonObject reply = call("antivirus_settings_save",
                                       {{"enabled", 1},
                                        {"datadir", dataDir},
                                        {"threads", kWorkers},
                                        {"incremental", incremental}});
        return reply.value("err").toInt(-1) == 0 && waitForEngine();
    }

    // Stopped (SIGTERM) and started again on the same configuration and
    // settings: whatever it kept in memory is gone, its files stay.
    bool restart()
    {
        stop();
        return launch() && waitForEngine();
    }

    ~Service() { stop(); }

    qint64 pid() const { return process.processId(); }
    QString databasePath() const { return root + "/etc/antivirus.db"; }

    QJsonObject call(const QString& cmd, const QJsonObject& params = QJsonObject())
    {
        QJsonObject packet{{"cmd", cmd}};
        if (!params.isEmpty())
            packet.insert("params", params);
        QJsonObject reply;
        if (!KX2LocalServer::localRequest(socketName, packet, &reply, 120))
            return QJsonObject{{"err", -1}};
        return reply;
    }

    // Queues a scan of `path` once the engine is ready; the clock starts
    // at the accepted request. `during`, when given, runs right after.
    // `full` asks for a scan that reads every file.
    Outcome scan(const QString& path, const std::function<void()>& during = nullptr,
                 bool full = false)
    {
        Outcome outcome;
        const auto deadline = Clock::now() + 15min;
        const double cpu = processCpuSeconds(pid());
        Clock::time_point start;
        for (;;) {
            start = Clock::now();
            const int err = call("antivirus_scan_start", {{"path", path}, {"full", full}})
                                .value("err")
                                .toInt(-1);
            if (err == 0)
                break;
            if (err != kVirusDbNotReady || Clock::now() > deadline) {
                fprintf(stderr, "antivirus_scan_start: %d\n", err);
                return outcome;
            }
            std::this_thread::sleep_for(100ms);
        }
        if (during)
            during();
        // Each poll costs the service about half a millisecond of CPU; a
        // pause of 1 % of the time so far keeps both that cost and the
        // error of the measured end near 1 %.
        while (call("antivirus_scan_running").value("results").toObject().value("running").toInt(1)
               != 0) {
            const auto sofar =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            std::this_thread::sleep_for(qBound(10ms, sofar / 100, 200ms));
        }
        outcome.seconds = secondsSince(start);
        outcome.cpuSeconds = processCpuSeconds(pid()) - cpu;
        return readOutcome(path, outcome) ? outcome : Outcome();
    }

private:
    bool launch()
    {
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setStandardOutputFile(root + "/service.log");
        process.start(binary, {"--cfg", root + "/etc/config.json"});
        if (!process.waitForStarted(30000))
            return false;
        const auto deadline = Clock::now() + 60s;
        while (!readFile(root + "/service.log").contains("lpcID: ")) {
            if (Clock::now() > deadline || process.state() != QProcess::Running) {
                fprintf(stderr, "service did not start: %s\n",
                        readFile(root + "/service.log").constData());
                return false;
            }
            std::this_thread::sleep_for(50ms);
        }
        return true;
    }

    // Until the engine is loaded and the update thread idle, so that no
    // engine load runs beside another tool's timed scan.
    // antivirus_updvdb_running answers err 0 only while that thread runs.
    bool waitForEngine()
    {
        const auto deadline = Clock::now() + 15min;
        while (Clock::now() < deadline) {
            const QJsonObject reply = call("antivirus_updvdb_running");
            const QJsonObject engine = reply.value("results").toObject().value("engine").toObject();
            if (engine.value("loaded").toInt() == 1 && reply.value("err").toInt(0) != 0)
                return true;
            std::this_thread::sleep_for(100ms);
        }
        fprintf(stderr, "service: no engine after 15 minutes\n");
        return false;
    }

    void stop()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(60000))
                process.kill();
            process.waitForFinished(10000);
        }
    }

    // Totals from the task's log row; infected files from its quarantine
    // records, once the keeper has settled them all.
    bool readOutcome(const QString& corpus, Outcome& outcome)
    {
        sqlite3* raw = nullptr;
        if (sqlite3_open_v2(QFile::encodeName(databasePath()).constData(), &raw,
                            SQLITE_OPEN_READONLY, nullptr)
            != SQLITE_OK) {
            sqlite3_close(raw);
            return false;
        }
        std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
        sqlite3_busy_timeout(db.get(), 10000);
        qint64 task = 0, infectes = 0, resolved = 0;
        query(db.get(),
              "SELECT tsk_no, log_totality, log_resolved, log_infectes, log_skipped FROM t_log "
              "ORDER BY log_no DESC LIMIT 1",
              [&](sqlite3_stmt* s) {
                  task = sqlite3_column_int64(s, 0);
                  outcome.files = sqlite3_column_int64(s, 1);
                  resolved = sqlite3_column_int64(s, 2);
                  infectes = sqlite3_column_int64(s, 3);
                  outcome.skipped = sqlite3_column_int64(s, 4);
              });
        if (resolved != outcome.files)
            fprintf(stderr, "service: %lld of %lld files scanned\n", resolved,
                    qint64(outcome.files));
        const auto deadline = Clock::now() + 30s;
        const QByteArray select = "SELECT ift_path FROM t_infectes WHERE tsk_no = "
            + QByteArray::number(task) + " AND ift_pending = 0";
        for (;;) {
            outcome.infected.clear();
            query(db.get(), select.constData(), [&](sqlite3_stmt* s) {
                outcome.infected.insert(relativeTo(
                    QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(s, 0))), corpus));
            });
            if (qint64(outcome.infected.size()) >= infectes || Clock::now() > deadline)
                break;
            std::this_thread::sleep_for(100ms);
        }
        outcome.ok =
            task > 0 && resolved == outcome.files && qint64(outcome.infected.size()) == infectes;
        return outcome.ok;
    }

    static void query(sqlite3* db, const char* sql, const std::function<void(sqlite3_stmt*)>& row)
    {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK)
            return;
        while (sqlite3_step(statement) == SQLITE_ROW)
            row(statement);
        sqlite3_finalize(statement);
    }

    QProcess process;
    QString binary;
    QString scratch;
    QString root;
    QString dataDir;
    QString socketName;
};

} // namespace scanbench

#endif // SCANSERVICE_H
