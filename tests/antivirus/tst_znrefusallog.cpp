// ZNRefusalLog: a few refusal lines per uid and minute, a summary of the
// rest once the minute has ended, and a bounded number of uids tracked.

#include "znrefusallog.h"

#include <QtTest>

class tst_ZNRefusalLog : public QObject
{
    Q_OBJECT
private slots:
    void floodIsSummedUpAfterItsMinute();
    void trackedUidsAreBounded();
};

namespace {

const qint64 kStart = 1700000000000; // a fixed wall-clock time

QStringList refuse(ZNRefusalLog& log, uid_t uid, int times, qint64 atMs)
{
    QStringList out;
    for (int i = 0; i < times; ++i)
        out += log.refuse(uid, QStringLiteral("line %1").arg(uid), atMs + i);
    return out;
}

QStringList lines(int count, uid_t uid)
{
    QStringList out;
    for (int i = 0; i < count; ++i)
        out << QStringLiteral("line %1").arg(uid);
    return out;
}

QString summary(qint64 count, uid_t uid, qint64 startMs)
{
    return QStringLiteral("[refused] %1 further refusals from uid %2 in the minute from %3")
        .arg(count)
        .arg(uid)
        .arg(QDateTime::fromMSecsSinceEpoch(startMs).toString(QStringLiteral("HH:mm:ss")));
}

} // namespace

void tst_ZNRefusalLog::floodIsSummedUpAfterItsMinute()
{
    ZNRefusalLog log;
    const int kept = ZNRefusalLog::kLinesPerWindow;
    QCOMPARE(refuse(log, 65534, 1000, kStart), lines(kept, 65534));
    // Another uid is not silenced by the first one's flood.
    QCOMPARE(refuse(log, 1000, 2, kStart + 10), lines(2, 1000));
    // Still the same minute: counted only.
    QVERIFY(refuse(log, 65534, 1, kStart + ZNRefusalLog::kWindowMs - 1).isEmpty());
    // The next refusal after the minute, of any uid, sums it up first; a
    // minute without unlogged refusals needs no summary.
    QCOMPARE(refuse(log, 1000, 1, kStart + ZNRefusalLog::kWindowMs + 10),
             (QStringList{summary(1000 - kept + 1, 65534, kStart), QStringLiteral("line 1000")}));
    // The flooding uid starts a new minute with its allowance again.
    QCOMPARE(refuse(log, 65534, 1, kStart + ZNRefusalLog::kWindowMs + 20),
             QStringList{QStringLiteral("line 65534")});
}

void tst_ZNRefusalLog::trackedUidsAreBounded()
{
    ZNRefusalLog log(2);
    const int kept = ZNRefusalLog::kLinesPerWindow;
    refuse(log, 1, kept + 3, kStart);
    refuse(log, 2, kept + 1, kStart + 100);
    // A third uid makes room by summing up the oldest minute early.
    QCOMPARE(refuse(log, 3, 1, kStart + 200),
             (QStringList{summary(3, 1, kStart), QStringLiteral("line 3")}));
    QCOMPARE(refuse(log, 4, 1, kStart + 300),
             (QStringList{summary(1, 2, kStart + 100), QStringLiteral("line 4")}));
}

QTEST_GUILESS_MAIN(tst_ZNRefusalLog)
#include "tst_znrefusallog.moc"
