// Restores and removals of quarantined files in the real service process,
// killed with SIGKILL at a random moment and restarted: nothing is lost.
// Every file is either back at its former path without a record, deleted
// (removals only) without a record, or still in the quarantine with its
// settled record; the store stays intact. Needs build/bin/znantivirus
// (ZN_BIN_DIR).

#include <QtTest>

#include <QDeadlineTimer>
#include <QProcess>
#include <QRandomGenerator>

#include <atomic>
#include <thread>

#include "avtestsupport.h"
#include "kx2dbsqlite.h"
#include "kx2localserver.h"

namespace {

const int kTrials = 20;
const int kFilesPerTrial = 1000;

QString serviceBinary()
{
    return qEnvironmentVariable("ZN_BIN_DIR") + QStringLiteral("/znantivirus");
}

} // namespace

class tst_ZNRestoreCrash : public QObject
{
    Q_OBJECT
private slots:
    void killDuringRestoresAndRemovals();

private:
    bool startService();
    QList<QJsonObject> query(const QString& sql);

    QTemporaryDir root;
    QScopedPointer<QProcess> process;
    QString socketName;
    QString configPath;
    KX2DBSqlite db;
};

bool tst_ZNRestoreCrash::startService()
{
    process.reset(new QProcess());
    process->setProcessChannelMode(QProcess::MergedChannels);
    process->start(serviceBinary(), {"--cfg", configPath});
    if (!process->waitForStarted(20000))
        return false;
    QByteArray output;
    QDeadlineTimer deadline(60000);
    while (!output.contains("lpcID: ") && !deadline.hasExpired()
           && process->state() == QProcess::Running) {
        process->waitForReadyRead(100);
        output += process->readAll();
    }
    return output.contains("lpcID: ");
}

QList<QJsonObject> tst_ZNRestoreCrash::query(const QString& sql)
{
    int changes = 0, lastRowId = 0;
    QList<QJsonObject> rows;
    db.exec(changes, lastRowId, rows, sql);
    return rows;
}

void tst_ZNRestoreCrash::killDuringRestoresAndRemovals()
{
    QVERIFY2(QFileInfo(serviceBinary()).isExecutable(), qPrintable(serviceBinary()));
    QVERIFY(root.isValid());
    configPath = root.path() + "/etc/config.json";
    socketName = root.path() + "/run/antivirus.sock";
    QJsonObject config = avtest::componentConfig(root.path());
    config["lpcid"] = socketName;
    QVERIFY(avtest::writeJson(configPath, config));
    const QString qra = root.path() + "/data/.qra";
    QVERIFY(QDir().mkpath(qra));
    QVERIFY(startService());
    QVERIFY(db.openOnly(root.path() + "/etc/antivirus.db"));

    QRandomGenerator random(20261207);
    int interrupted = 0;
    for (int trial = 0; trial < kTrials; ++trial) {
        const QString former = QString("%1/scan/t%2").arg(root.path()).arg(trial);
        QVERIFY(QDir().mkpath(former));
        QString sql = "BEGIN;";
        for (int i = 0; i < kFilesPerTrial; ++i) {
            const QString name = QString("t%1-%2").arg(trial).arg(i);
            QVERIFY(avtest::writeFile(qra + "/" + name, name.toUtf8()));
            sql += QString("INSERT INTO t_infectes (ift_filename, ift_path, ift_quarantined) "
                           "VALUES ('%1', '%2', '%3');")
                       .arg(name, former + "/" + name, qra + "/" + name);
        }
        int changes = 0, lastRowId = 0;
        QVERIFY(db.exec(changes, lastRowId, sql + "COMMIT;"));
        QJsonArray restores, removals;
        for (const QJsonObject& row :
             query(QString("SELECT ift_no AS n FROM t_infectes WHERE ift_filename "
                           "LIKE 't%1-%%' ORDER BY ift_no")
                       .arg(trial)))
            (restores.size() <= removals.size() ? restores : removals).append(row.value("n"));
        QCOMPARE(restores.size() + removals.size(), kFilesPerTrial);

        std::atomic<int> sent{0}, answered{0};
        auto request = [&](const char* cmd, const QJsonArray& numbers) {
            return std::thread([this, &sent, &answered, cmd, numbers] {
                QJsonObject reply;
                ++sent;
                KX2LocalServer::localRequest(
                    socketName, {{"cmd", cmd}, {"params", QJsonObject{{"iftnos", numbers}}}},
                    &reply, 10);
                ++answered;
            });
        };
        std::thread restorer = request("antivirus_quarantined_restore", restores);
        std::thread remover = request("antivirus_quarantined_remove", removals);
        QTRY_VERIFY(sent == 2);
        // The kill comes at a random moment after the first records are
        // marked (odd trials) or after the first file has moved or gone
        // (even trials), while the requests and the moves are under way.
        const QString firstRestore = QString("%1/t%2-0").arg(qra).arg(trial);
        const QString firstRemoval = QString("%1/t%2-1").arg(qra).arg(trial);
        auto started = [&] {
            if (trial % 2)
                return !query("SELECT ift_no FROM t_infectes WHERE ift_pending <> 0 LIMIT 1")
                            .isEmpty();
            return !QFileInfo::exists(firstRestore) || !QFileInfo::exists(firstRemoval);
        };
        QDeadlineTimer deadline(5000);
        while (!started() && answered < 2 && !deadline.hasExpired())
            QThread::usleep(200);
        QThread::usleep(random.bounded(trial % 2 ? 8000 : 2000));
        process->kill();
        QVERIFY(process->waitForFinished(10000));
        restorer.join();
        remover.join();
        if (!query("SELECT ift_no FROM t_infectes WHERE ift_pending <> 0").isEmpty())
            ++interrupted;

        QVERIFY(startService());
        // The start-up settled every mark.
        QCOMPARE(query("SELECT ift_no FROM t_infectes WHERE ift_pending <> 0").size(), 0);
        QSet<QString> recorded;
        for (const QJsonObject& row : query("SELECT ift_quarantined AS q FROM t_infectes"))
            recorded.insert(row.value("q").toString());
        for (int i = 0; i < kFilesPerTrial; ++i) {
            const QString name = QString("t%1-%2").arg(trial).arg(i);
            const QString quarantined = qra + "/" + name;
            const bool inQuarantine = QFileInfo::exists(quarantined);
            const bool back = QFileInfo::exists(former + "/" + name);
            const bool listed = recorded.contains(quarantined);
            const bool kept = listed && inQuarantine && !back;
            const bool restored = !listed && !inQuarantine && back
                && avtest::readBytes(former + "/" + name) == name.toUtf8();
            const bool deleted = !listed && !inQuarantine && !back;
            // Even numbers were restores, odd ones removals (ift_no order).
            const bool wasRestore = i % 2 == 0;
            QVERIFY2(kept || (wasRestore ? restored : deleted),
                     qPrintable(QString("%1: listed %2, in quarantine %3, back %4")
                                    .arg(name)
                                    .arg(listed)
                                    .arg(inQuarantine)
                                    .arg(back)));
        }
    }
    const QList<QJsonObject> check = query("PRAGMA integrity_check;");
    QCOMPARE(check.value(0).value("integrity_check").toString(), QStringLiteral("ok"));
    // Every file in the quarantine has its record.
    QSet<QString> recorded;
    for (const QJsonObject& row : query("SELECT ift_quarantined AS q FROM t_infectes"))
        recorded.insert(row.value("q").toString());
    for (const QString& name : QDir(qra).entryList(QDir::Files))
        QVERIFY2(recorded.contains(qra + "/" + name), qPrintable(name));
    qInfo("%d of %d trials were killed with operations half done", interrupted, kTrials);
    QVERIFY(interrupted > 0);
    db.close();
    process->terminate();
    QVERIFY(process->waitForFinished(30000));
}

QTEST_GUILESS_MAIN(tst_ZNRestoreCrash)
#include "tst_znrestorecrash.moc"
