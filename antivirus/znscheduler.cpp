#include "znscheduler.h"

#include <QDate>
#include <QTime>

#include <chrono>

#include "kx2values.h"

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

quint32 ZNSchedule::nextTime(int mode, int minute, int hour, int week, int day,
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

quint32 ZNSchedule::nextTime(int mode, int minute, int hour, int week, int day)
{
    return nextTime(mode, minute, hour, week, day, QDateTime::currentDateTime());
}

ZNScheduler::ZNScheduler(std::function<void()> startUpdate, std::function<bool(int scope)> scan)
    : startUpdate(std::move(startUpdate)), scan(std::move(scan))
{
}

ZNScheduler::~ZNScheduler()
{
    shutdown();
}

void ZNScheduler::shutdown()
{
    stop();
    thread.shutdownAndWait();
}

void ZNScheduler::apply(const QJsonObject& schedule, bool automaticUpdate, bool enabled)
{
    if (!enabled) {
        stop();
        return;
    }
    bool due = false;
    {
        KX2MutexLocker lock(mutex);
        ZNSchedule next = current;
        next.updateNext = automaticUpdate ? ZNSchedule::nextTime(1, 0, kUpdateHour, 0, 1) : 0;
        next.mode = toInt(schedule.value(QLatin1String("mode")));
        if (next.mode < 1 || next.mode > 3) {
            next.scanNext = 0;
        } else {
            next.minute = toInt(schedule.value(QLatin1String("minute")));
            next.hour = toInt(schedule.value(QLatin1String("hour")));
            next.week = toInt(schedule.value(QLatin1String("week")));
            next.day = toInt(schedule.value(QLatin1String("day")));
            next.scope = toInt(schedule.value(QLatin1String("scope")));
            next.scanNext =
                ZNSchedule::nextTime(next.mode, next.minute, next.hour, next.week, next.day);
        }
        current = next;
        due = next.updateNext != 0 || next.scanNext != 0;
    }
    if (due)
        startThread();
    else
        stopRequested = false;
}

ZNSchedule ZNScheduler::schedule() const
{
    KX2MutexLocker lock(mutex);
    return current;
}

void ZNScheduler::setSchedule(const ZNSchedule& next)
{
    KX2MutexLocker lock(mutex);
    current = next;
}

void ZNScheduler::stop()
{
    stopRequested = true;
    thread.wakeAll();
}

// Starts the thread unless one runs. The stop request is cleared first, so
// a thread that is about to end on an earlier stop request keeps running
// instead (see threadMain()).
void ZNScheduler::startThread()
{
    stopRequested = false;
    bool idle = false;
    if (!running.compare_exchange_strong(idle, true))
        return;
    if (!thread.start([this] { threadMain(); }))
        running = false;
}

void ZNScheduler::threadMain()
{
    using namespace std::chrono_literals;
    for (;;) {
        // A shut-down group ends the pauses at once; the thread must leave
        // then even when a racing settings save cleared stopRequested again,
        // or the owner's destruction would wait for it for ever.
        while (!stopRequested) {
            pass(static_cast<quint32>(QDateTime::currentSecsSinceEpoch()));
            if (!thread.pause(1000ms))
                break;
        }
        running = false;
        // A restart between our last look at stopRequested and the line
        // above found `running` still set and started nothing: carry on.
        bool idle = false;
        if (stopRequested || thread.isShuttingDown()
            || !running.compare_exchange_strong(idle, true))
            return;
    }
}

void ZNScheduler::pass(quint32 now)
{
    const ZNSchedule due = schedule();
    if (due.updateNext != 0 && now >= due.updateNext) {
        // Started like a client's request; a refusal (a running update, no
        // work area) waits for the next day.
        startUpdate();
        KX2MutexLocker lock(mutex);
        current.updateNext = ZNSchedule::nextTime(1, 0, kUpdateHour, 0, 1);
    }
    if (due.scanNext != 0 && now >= due.scanNext) {
        // A stop during the scan's start keeps the run due rather than
        // losing it.
        if (!scan(due.scope))
            return;
        // Recomputed from the current time: any number of missed occurrences
        // gives exactly one run.
        KX2MutexLocker lock(mutex);
        current.scanNext = ZNSchedule::nextTime(current.mode, current.minute, current.hour,
                                                current.week, current.day);
    }
}
