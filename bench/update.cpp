// Update benchmark: what proving a set before it is installed costs.
//
// A service (build/bin/znantivirus) runs with a large generated set (a few
// million signatures, as in bench_scan) loaded. The mirror, a real HTTP
// server on 127.0.0.1, serves the same set plus one small new file. Two
// ways to reach the new set, each from a fresh service, in turn:
//   proof  the update downloads the new file, stages the set, loads and
//          compiles it into a fresh engine, swaps it in and uses that
//          engine;
//   plain  the same files are already in place (installed without proof)
//          and the update only rebuilds the engine from them, which is
//          what an install without proof costs at the least.
// Each is timed from the accepted antivirus_updvdb_start until the service
// reports that no update runs, and the peak RSS (VmHWM) of the service is
// read afterwards: both hold two large engines for a moment (the one in
// use and the new one).
//
// The last line holds every figure as KEY=VALUE pairs.
//
//   bench_update [--service PATH] [--hdb N] [--ndb N] [--rounds N]

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <thread>

#include "benchsignatures.h"
#include "httptestserver.h"
#include "kx2localserver.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Options
{
    QString service;
    int hdb = 3000000;
    int ndb = 300000;
    int rounds = 3;
};

struct Figures
{
    double seconds = 0;
    double peakMb = 0;
    double signatures = 0;
};

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString md5Of(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

class Service
{
public:
    ~Service()
    {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(60000))
                process.kill();
            process.waitForFinished(10000);
        }
    }

    bool start(const QString& binary, const QString& work, const QString& url)
    {
        socketName = work + "/run/antivirus.sock";
        const QJsonObject config{
            {"settings", work + "/etc/settings.json"},
            {"database", work + "/etc/antivirus.db"},
            {"virusdburl", url},
            {"systemvirusdb", work + "/no-system-virusdb"},
            {"overall", QJsonObject{{"path", work + "/scan"}}},
            {"lpcid", socketName},
            {"debuglevel", 0},
        };
        QDir().mkpath(work + "/run");
        writeBenchFile(work + "/etc/config.json", QJsonDocument(config).toJson());
        writeBenchFile(
            work + "/etc/settings.json",
            QJsonDocument(QJsonObject{{"enabled", 1}, {"datadir", work + "/data"}}).toJson());
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setStandardOutputFile(work + "/service.log");
        process.start(binary, {"--cfg", work + "/etc/config.json"});
        if (!process.waitForStarted(30000))
            return false;
        // Up once the start-up load has ended with an engine.
        const auto deadline = Clock::now() + 15min;
        while (Clock::now() < deadline && process.state() == QProcess::Running) {
            const QJsonObject reply = call("antivirus_updvdb_running");
            const QJsonObject engine = reply.value("results").toObject().value("engine").toObject();
            if (reply.value("err").toInt() != 0 && engine.value("loaded").toInt() == 1)
                return true;
            std::this_thread::sleep_for(200ms);
        }
        fprintf(stderr, "service did not load: %s\n", readAll(work + "/service.log").constData());
        return false;
    }

    QJsonObject call(const QString& cmd)
    {
        QJsonObject reply;
        if (!KX2LocalServer::localRequest(socketName, QJsonObject{{"cmd", cmd}}, &reply, 120))
            return QJsonObject{{"err", -1}};
        return reply;
    }

    // Runs one update; false when it was refused or failed.
    bool update(Figures& figures)
    {
        const auto start = Clock::now();
        if (call("antivirus_updvdb_start").value("err").toInt() != 0)
            return false;
        QJsonObject reply;
        do {
            std::this_thread::sleep_for(20ms);
            reply = call("antivirus_updvdb_running");
        } while (reply.value("err").toInt() == 0);
        figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        figures.peakMb = statusField(process.processId(), "VmHWM") / 1024.0;
        const QJsonObject report = reply.value("results").toObject();
        figures.signatures = report.value("engine").toObject().value("signatures").toDouble();
        if (report.value("lastresult").toInt() != 1)
            fprintf(stderr, "update failed: %s\n",
                    qPrintable(report.value("lastreason").toString()));
        return report.value("lastresult").toInt() == 1;
    }

private:
    QProcess process;
    QString socketName;
};

// Serves the files of `set` plus `extra` and their description.
void publish(HttpTestServer& mirror, const QString& set, const QByteArray& extra)
{
    QJsonArray items;
    auto add = [&](const QString& name, const QByteArray& bytes) {
        mirror.setFile("/db/" + name, bytes);
        items.append(
            QJsonObject{{"file", name}, {"size", double(bytes.size())}, {"md5", md5Of(bytes)}});
    };
    for (const QString& name : QDir(set).entryList(QDir::Files))
        add(name, readAll(set + "/" + name));
    add("extra.hdb", extra);
    mirror.setFile(
        "/virusdb.json",
        QJsonDocument(
            QJsonObject{{"url", mirror.url("/db/")}, {"items", items}, {"updatetime", "bench"}})
            .toJson());
}

// One round of one way: a fresh service over a copy (hard links) of `set`.
bool runOnce(const Options& options, const QString& set, const QByteArray& extra, bool proof,
             const QString& url, Figures& figures)
{
    QTemporaryDir work;
    const QString virusdb = work.path() + "/data/virusdb";
    QDir().mkpath(virusdb);
    for (const QString& name : QDir(set).entryList(QDir::Files)) {
        if (!QFile::link(set + "/" + name, virusdb + "/" + name)
            && !QFile::copy(set + "/" + name, virusdb + "/" + name))
            return false;
    }
    Service service;
    if (!service.start(options.service, work.path(), url))
        return false;
    // Installed without proof: the new file is simply put in place.
    if (!proof && !writeBenchFile(virusdb + "/extra.hdb", extra))
        return false;
    return service.update(figures);
}

Figures bestOf(const std::vector<Figures>& rounds)
{
    Figures best = rounds.front();
    for (const Figures& f : rounds) {
        if (f.seconds < best.seconds)
            best.seconds = f.seconds;
        if (f.peakMb < best.peakMb)
            best.peakMb = f.peakMb;
    }
    return best;
}

int run(const Options& options)
{
    QTemporaryDir scratch;
    const QString set = scratch.path() + "/set";
    const QByteArray extra = "d41d8cd98f00b204e9800998ecf8427e:1234:Bench.Extra\n";
    if (!writeGeneratedSignatures(set, options.hdb, options.ndb)) {
        fprintf(stderr, "cannot write the signature set\n");
        return 1;
    }
    HttpTestServer mirror;
    publish(mirror, set, extra);
    printf("set: %d MD5 + %d body signatures; %d rounds, best of each\n", options.hdb, options.ndb,
           options.rounds);
    std::vector<Figures> proof, plain;
    for (int round = 0; round < options.rounds; ++round) {
        for (const bool proven : {round % 2 == 0, round % 2 != 0}) {
            Figures figures;
            if (!runOnce(options, set, extra, proven, mirror.url("/virusdb.json"), figures)) {
                fprintf(stderr, "round %d (%s) failed\n", round, proven ? "proof" : "plain");
                return 1;
            }
            printf("round %d %-5s %7.2f s  peak %7.1f MB  %.0f signatures\n", round,
                   proven ? "proof" : "plain", figures.seconds, figures.peakMb, figures.signatures);
            fflush(stdout);
            (proven ? proof : plain).push_back(figures);
        }
    }
    const Figures a = bestOf(proof), b = bestOf(plain);
    printf("update with proof: %.2f s, peak %.1f MB\n", a.seconds, a.peakMb);
    printf("without proof:     %.2f s, peak %.1f MB\n", b.seconds, b.peakMb);
    printf("proof/plain: time %.2fx, peak memory %.2fx\n", a.seconds / b.seconds,
           a.peakMb / b.peakMb);
    printf("proof_s=%.2f plain_s=%.2f time_ratio=%.2f proof_peak_mb=%.1f plain_peak_mb=%.1f "
           "peak_ratio=%.2f\n",
           a.seconds, b.seconds, a.seconds / b.seconds, a.peakMb, b.peakMb, a.peakMb / b.peakMb);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Options options;
    options.service = QCoreApplication::applicationDirPath() + "/znantivirus";
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--service")
            options.service = args[i + 1];
        else if (args[i] == "--hdb")
            options.hdb = args[i + 1].toInt();
        else if (args[i] == "--ndb")
            options.ndb = args[i + 1].toInt();
        else if (args[i] == "--rounds")
            options.rounds = qMax(1, args[i + 1].toInt());
        else {
            fprintf(stderr,
                    "usage: bench_update [--service PATH] [--hdb N] [--ndb N] [--rounds N]\n");
            return 2;
        }
    }
    return run(options);
}
