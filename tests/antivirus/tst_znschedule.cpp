// Next-run computation of the scan and update schedules, with "now" given
// by the test so that the results do not depend on the machine's clock. The
// cases run in several time zones: the schedule is local wall-clock time.
// The schedule thread ends at once on shutdown, also after a late restart.

#include <QtTest>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <thread>

#include "znantivirus.h"
#include "znantivirus_p.h"

namespace {

QDateTime at(int year, int month, int day, int hour, int minute, int second = 0)
{
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second), Qt::LocalTime);
}

quint32 secs(const QDateTime& dateTime)
{
    return static_cast<quint32>(dateTime.toSecsSinceEpoch());
}

quint32 next(int mode, int minute, int hour, int week, int day, const QDateTime& now)
{
    return ZNSchedule::nextTime(mode, minute, hour, week, day, now);
}

void useTimeZone(const QByteArray& zone)
{
    qputenv("TZ", zone);
    tzset();
}

} // namespace

class tst_ZNSchedule : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanupTestCase();

    void daily_data();
    void daily();
    void weekly_data();
    void weekly();
    void monthly_data();
    void monthly();
    void clampsMinuteAndHour_data();
    void clampsMinuteAndHour();
    void skippedWallClockTime_data();
    void skippedWallClockTime();
    void otherModesGiveNoTime_data();
    void otherModesGiveNoTime();
    void objectFormReadsLooseValues_data();
    void objectFormReadsLooseValues();
    void restartedScheduleThreadLetsShutdownFinish_data();
    void restartedScheduleThreadLetsShutdownFinish();
};

static const QByteArray kZones[] = {"UTC", "Asia/Shanghai", "America/New_York", "Pacific/Chatham"};

// Each test runs once per time zone: QTest data rows carry the zone, and
// init() switches to it before the row's dates are built in the test body.
#define ZONE_ROWS(body)                                                                            \
    for (const QByteArray& zone : kZones) {                                                        \
        body                                                                                       \
    }

void tst_ZNSchedule::init()
{
    QFETCH(QByteArray, zone);
    useTimeZone(zone);
}

void tst_ZNSchedule::cleanupTestCase()
{
    qunsetenv("TZ");
    tzset();
}

void tst_ZNSchedule::daily_data()
{
    QTest::addColumn<QByteArray>("zone");
    ZONE_ROWS(QTest::newRow(zone.constData()) << zone;)
}

void tst_ZNSchedule::daily()
{
    // One second before the run: today.
    QCOMPARE(next(1, 0, 6, 7, 28, at(2026, 3, 10, 5, 59, 59)), secs(at(2026, 3, 10, 6, 0)));
    // Exactly at the run and later: tomorrow.
    QCOMPARE(next(1, 0, 6, 7, 28, at(2026, 3, 10, 6, 0, 0)), secs(at(2026, 3, 11, 6, 0)));
    QCOMPARE(next(1, 0, 6, 7, 28, at(2026, 3, 10, 23, 30)), secs(at(2026, 3, 11, 6, 0)));
    // Across the end of a month and of a year.
    QCOMPARE(next(1, 15, 6, 0, 0, at(2026, 12, 31, 7, 0)), secs(at(2027, 1, 1, 6, 15)));
    // The automatic virus database update: daily at 05:00.
    QCOMPARE(next(1, 0, 5, 0, 1, at(2026, 3, 10, 4, 0)), secs(at(2026, 3, 10, 5, 0)));
    QCOMPARE(next(1, 0, 5, 0, 1, at(2026, 3, 10, 5, 0, 1)), secs(at(2026, 3, 11, 5, 0)));
}

void tst_ZNSchedule::weekly_data()
{
    daily_data();
}

void tst_ZNSchedule::weekly()
{
    // 2026-03-15 is a Sunday, 2026-03-11 a Wednesday.
    QCOMPARE(at(2026, 3, 15, 0, 0).date().dayOfWeek(), 7);
    const QDateTime sundayAfter = at(2026, 3, 15, 7, 0);
    const QDateTime sundayBefore = at(2026, 3, 15, 5, 0);
    const QDateTime wednesday = at(2026, 3, 11, 12, 0);

    // Sunday after the time: the next Sunday, seven days later.
    QCOMPARE(next(2, 0, 6, 7, 28, sundayAfter), secs(at(2026, 3, 22, 6, 0)));
    // Sunday before the time: today.
    QCOMPARE(next(2, 0, 6, 7, 28, sundayBefore), secs(at(2026, 3, 15, 6, 0)));
    // Week days outside 1..7 mean Sunday.
    QCOMPARE(next(2, 0, 6, 0, 28, sundayAfter), secs(at(2026, 3, 22, 6, 0)));
    QCOMPARE(next(2, 0, 6, 9, 28, wednesday), secs(at(2026, 3, 15, 6, 0)));
    // Monday after a Wednesday; Wednesday itself after its time.
    QCOMPARE(next(2, 30, 8, 1, 28, wednesday), secs(at(2026, 3, 16, 8, 30)));
    QCOMPARE(next(2, 30, 8, 3, 28, wednesday), secs(at(2026, 3, 18, 8, 30)));
    QCOMPARE(next(2, 30, 13, 3, 28, wednesday), secs(at(2026, 3, 11, 13, 30)));
}

void tst_ZNSchedule::monthly_data()
{
    daily_data();
}

void tst_ZNSchedule::monthly()
{
    // April has no 31st: the next one is in May.
    QCOMPARE(next(3, 0, 6, 7, 31, at(2026, 4, 15, 12, 0)), secs(at(2026, 5, 31, 6, 0)));
    // The 31st of December after the time: the 31st of January.
    QCOMPARE(next(3, 0, 6, 7, 31, at(2026, 12, 31, 7, 0)), secs(at(2027, 1, 31, 6, 0)));
    // Before the time on the day itself: today.
    QCOMPARE(next(3, 0, 6, 7, 31, at(2026, 12, 31, 5, 0)), secs(at(2026, 12, 31, 6, 0)));
    // The 29th of February only in leap years.
    QCOMPARE(next(3, 0, 6, 7, 29, at(2027, 2, 10, 6, 0)), secs(at(2027, 3, 29, 6, 0)));
    QCOMPARE(next(3, 0, 6, 7, 29, at(2028, 2, 10, 6, 0)), secs(at(2028, 2, 29, 6, 0)));
    // The 30th skips February.
    QCOMPARE(next(3, 0, 6, 7, 30, at(2026, 1, 30, 7, 0)), secs(at(2026, 3, 30, 6, 0)));
    // Day 0 means the 1st, day 40 the 31st.
    QCOMPARE(next(3, 0, 6, 7, 0, at(2026, 4, 15, 12, 0)), secs(at(2026, 5, 1, 6, 0)));
    QCOMPARE(next(3, 0, 6, 7, 40, at(2026, 4, 15, 12, 0)), secs(at(2026, 5, 31, 6, 0)));
    // Later this month.
    QCOMPARE(next(3, 0, 6, 7, 28, at(2026, 4, 15, 12, 0)), secs(at(2026, 4, 28, 6, 0)));
}

void tst_ZNSchedule::clampsMinuteAndHour_data()
{
    daily_data();
}

void tst_ZNSchedule::clampsMinuteAndHour()
{
    const QDateTime morning = at(2026, 3, 10, 9, 0);
    QCOMPARE(next(1, 75, 30, 7, 28, morning), secs(at(2026, 3, 10, 23, 59)));
    QCOMPARE(next(1, -5, -2, 7, 28, morning), secs(at(2026, 3, 11, 0, 0)));
}

void tst_ZNSchedule::skippedWallClockTime_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::newRow("America/New_York") << QByteArray("America/New_York");
}

void tst_ZNSchedule::skippedWallClockTime()
{
    // On 2026-03-08 the clocks jump from 02:00 to 03:00: a run set for 02:30
    // happens when the clocks jump, at 03:00, instead of being lost.
    const quint32 jump = secs(at(2026, 3, 8, 3, 0));
    QVERIFY(!at(2026, 3, 8, 2, 30).isValid());
    QCOMPARE(next(1, 30, 2, 7, 28, at(2026, 3, 7, 3, 0)), jump);
    QCOMPARE(next(1, 30, 2, 7, 28, at(2026, 3, 8, 1, 0)), jump);
    QCOMPARE(next(2, 30, 2, 7, 28, at(2026, 3, 1, 3, 0)), jump);
    QCOMPARE(next(3, 30, 2, 7, 8, at(2026, 2, 9, 12, 0)), jump);
    // After the jump the next runs are at the set time again.
    QCOMPARE(next(1, 30, 2, 7, 28, at(2026, 3, 8, 4, 0)), secs(at(2026, 3, 9, 2, 30)));
}

void tst_ZNSchedule::otherModesGiveNoTime_data()
{
    daily_data();
}

void tst_ZNSchedule::otherModesGiveNoTime()
{
    const QDateTime now = at(2026, 3, 10, 9, 0);
    QCOMPARE(next(0, 0, 6, 7, 28, now), 0u);
    QCOMPARE(next(4, 0, 6, 7, 28, now), 0u);
    QCOMPARE(next(-1, 0, 6, 7, 28, now), 0u);
}

void tst_ZNSchedule::objectFormReadsLooseValues_data()
{
    daily_data();
}

void tst_ZNSchedule::objectFormReadsLooseValues()
{
    ZNScheduler scheduler([] {}, [](int) { return true; });
    // The object form reads the clock: pick a time half a day away, so the
    // minute cannot pass between the two computations.
    const int hour = (QTime::currentTime().hour() + 12) % 24;
    const QJsonObject schedule{{"mode", "2"},
                               {"minute", 7.0},
                               {"hour", QString::number(hour)},
                               {"week", "0x3"},
                               {"day", true}};
    const quint32 expected = next(2, 7, hour, 3, 1, QDateTime::currentDateTime());
    QVERIFY(expected != 0);
    scheduler.apply(schedule, false, true);
    QCOMPARE(scheduler.schedule().scanNext, expected);
    scheduler.apply(QJsonObject{{"mode", "none"}}, false, true);
    QCOMPARE(scheduler.schedule().scanNext, 0u);
}

void tst_ZNSchedule::restartedScheduleThreadLetsShutdownFinish_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::newRow("UTC") << QByteArray("UTC");
}

// A settings save that races with the owner's destruction restarts the
// schedule thread after its stop was requested; shutting it down must still
// end it at once.
void tst_ZNSchedule::restartedScheduleThreadLetsShutdownFinish()
{
    auto* scheduler =
        new ZNScheduler([] {}, [](int) { return true; }); // leaked if the shutdown hangs
    const QJsonObject daily{{"mode", 1}, {"hour", 3}};
    scheduler->apply(daily, true, true);
    QTRY_VERIFY_WITH_TIMEOUT(scheduler->isRunning(), 5000);
    scheduler->stop();                   // what the destructor does first
    scheduler->apply(daily, true, true); // the racing save
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::thread([scheduler, finished] {
        scheduler->shutdown();
        *finished = true;
    }).detach();
    // The thread sleeps in steps of one second; it must not spin past the
    // shutdown.
    QTRY_VERIFY_WITH_TIMEOUT(finished->load(), 3000);
    delete scheduler;
}

QTEST_GUILESS_MAIN(tst_ZNSchedule)
#include "tst_znschedule.moc"
