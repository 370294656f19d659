// Schedules: next-run computation and the schedule thread's loop.

#include <QDate>
#include <QTime>

#include <chrono>

#include "kx2journals.h"
#include "kx2values.h"
#include "znantivirus.h"
#include "znantivirus_p.h"

namespace {

// Day-of-month candidates are tried month by month; any day from 1 to 31
// occurs at least once in every run of three consecutive months.
const int kMonthsToSearch = 3;

// A wall-clock time that a daylight-saving change skips does not exist (Qt
// makes it invalid). The run then happens when the clocks jump forward, at
// the first minute after it that exists, rather than being lost: a lost
// time would read as "no next run" and end the schedule for good.
QDateTime localAt(const QDate& date, int hour, int minute)
{
    const QDateTime wallClock(date, QTime(hour, minute, 0), Qt::UTC); // plain arithmetic
    QDateTime result(date, QTime(hour, minute, 0), Qt::LocalTime);
    for (int step = 1; !result.isValid() && step <= 24 * 60; ++step) {
        const QDateTime later = wallClock.addSecs(60 * step);
        result = QDateTime(later.date(), later.time(), Qt::LocalTime);
    }
    return result;
}

QDateTime nextDaily(const QDateTime& now, int hour, int minute)
{
    const QDateTime today = localAt(now.date(), hour, minute);
    return now < today ? today : localAt(now.date().addDays(1), hour, minute);
}

// The first of today and the next seven days, at hour:minute, that is
// strictly later than now and falls on `weekday`; a week from today when
// today is that day and the time has passed.
QDateTime nextWeekly(const QDateTime& now, int hour, int minute, int weekday)
{
    QDate date = now.date();
    for (int check = 0; check < 7; ++check) {
        const QDateTime candidate = localAt(date, hour, minute);
        if (now < candidate && date.dayOfWeek() == weekday)
            return candidate;
        date = date.addDays(1);
    }
    return localAt(date, hour, minute);
}

// Day `day` at hour:minute of this month or a later one; months without
// that day are skipped.
QDateTime nextMonthly(const QDateTime& now, int hour, int minute, int day)
{
    const QDate first(now.date().year(), now.date().month(), 1);
    for (int month = 0; month <= kMonthsToSearch; ++month) {
        const QDate monthStart = first.addMonths(month);
        if (day > monthStart.daysInMonth())
            continue;
        const QDateTime candidate =
            localAt(QDate(monthStart.year(), monthStart.month(), day), hour, minute);
        if (now < candidate)
            return candidate;
    }
    return QDateTime();
}

} // namespace

quint32 ZNAntiVirusPrivate::scheduleNextTime(int mode, int minute, int hour, int week, int day,
                                             const QDateTime& now)
{
    minute = qBound(0, minute, 59);
    hour = qBound(0, hour, 23);
    QDateTime next;
    switch (mode) {
    case 1:
        next = nextDaily(now, hour, minute);
        break;
    case 2:
        next = nextWeekly(now, hour, minute, (week >= 1 && week <= 7) ? week : 7);
        break;
    case 3:
        next = nextMonthly(now, hour, minute, qBound(1, day, 31));
        break;
    default:
        return 0;
    }
    return next.isValid() ? static_cast<quint32>(next.toSecsSinceEpoch()) : 0;
}

quint32 ZNAntiVirusPrivate::scheduleNextTime(int mode, int minute, int hour, int week, int day) const
{
    return scheduleNextTime(mode, minute, hour, week, day, QDateTime::currentDateTime());
}

quint32 ZNAntiVirusPrivate::scheduleNextTime(const QJsonObject& schedule) const
{
    return scheduleNextTime(toInt(schedule.value(QLatin1String("mode"))),
                            toInt(schedule.value(QLatin1String("minute"))),
                            toInt(schedule.value(QLatin1String("hour"))),
                            toInt(schedule.value(QLatin1String("week"))),
                            toInt(schedule.value(QLatin1String("day"))));
}

// Starts the schedule thread unless one runs. The stop request is cleared
// first, so a thread that is about to end on an earlier stop request keeps
// running instead (see scheduleThread()).
void ZNAntiVirusPrivate::startScheduleThread()
{
    scheduleStop = false;
    bool idle = false;
    if (!scheduleRunning.compare_exchange_strong(idle, true))
        return;
    if (!background.start([this] { scheduleThread(); }))
        scheduleRunning = false;
}

void ZNAntiVirusPrivate::scheduleThread()
{
    using namespace std::chrono_literals;
    for (;;) {
        // A shut-down group ends the pauses at once; the thread must leave
        // then even when a racing settings save cleared scheduleStop again,
        // or the owner's destruction would wait for it for ever.
        while (!scheduleStop) {
            schedulePass(static_cast<quint32>(QDateTime::currentSecsSinceEpoch()));
            if (!background.pause(1000ms))
                break;
        }
        scheduleRunning = false;
        // A restart between our last look at scheduleStop and the line above
        // found scheduleRunning still set and started nothing: carry on for it.
        bool idle = false;
        if (scheduleStop || background.isShuttingDown()
            || !scheduleRunning.compare_exchange_strong(idle, true))
            return;
    }
}

// One pass: due automatic update, due scheduled scan, then a nudge to the
// quarantine keeper. The quarantine and restore moves themselves run on the
// keeper's thread, so neither an update nor a scan start delays them.
void ZNAntiVirusPrivate::schedulePass(quint32 now)
{
    runDueVirusdbUpdate(now);
    const quint32 scanAt = scanNextTime;
    if (scanAt != 0 && now >= scanAt) {
        // A due scan waits for a running update; a stop meanwhile keeps the
        // run due rather than losing it.
        using namespace std::chrono_literals;
        while (virusdbUpdating && !scheduleStop && !background.isShuttingDown())
            background.waitFor([this] { return !virusdbUpdating || scheduleStop; }, 1000ms);
        if (scheduleStop || background.isShuttingDown())
            return;
        scheduledScan();
        // Recomputed from the current time: any number of missed occurrences
        // gives exactly one run.
        scanNextTime = scheduleNextTime(scheduleMode, scheduleMinute, scheduleHour, scheduleWeek, scheduleDay);
    }
    if (detections.count > 0)
        wakeQuarantineKeeper();
}

// Scope 1 scans the overall path, scope 2 every mission in mission-number
// order; the first start runs the task thread, the others queue behind it.
void ZNAntiVirusPrivate::scheduledScan()
{
    const int scope = scheduleScope;
    if (scope == 1) {
        KX2Journals journal;
        q->scanStart(journal, overallPath, true);
    } else if (scope == 2) {
        QList<QJsonObject> rows;
        if (!database.call(rows, QStringLiteral("mission_alload")))
            return;
        for (const QJsonObject& row : rows) {
            KX2Journals journal;
            q->scanStart(journal, row.value(QLatin1String("path")).toString(), true);
        }
    }
}
