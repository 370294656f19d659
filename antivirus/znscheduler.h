// ZNScheduler: the schedule in force and the thread that runs what it
// makes due: the daily automatic update of the virus database and the
// periodic scan.
//
// The schedule is one ZNSchedule value under one lock, replaced as a whole
// by apply(), so a pass never mixes an old hour with a new mode. The thread
// wakes once a second while a scan or an update is scheduled and ends when
// neither is. What a due run does is the owner's: the two actions given at
// construction, called on the schedule thread.
//
// Thread rules: apply(), schedule(), pass() and stop() from any thread. The
// destructor stops the thread and waits for it; the actions must stay
// usable until then.

#ifndef ZNSCHEDULER_H
#define ZNSCHEDULER_H

#include <QDateTime>
#include <QJsonObject>

#include <atomic>
#include <functional>

#include "kx2threadgroup.h"
#include "kx2threadsafety.h"

struct ZNSchedule
{
    int mode = 0; // 1 daily, 2 weekly, 3 monthly; anything else: no scan
    int minute = 0;
    int hour = 6;
    int week = 7;
    int day = 28;
    int scope = 0;          // 1 the overall path, 2 every mission
    quint32 scanNext = 0;   // next scheduled scan, seconds since the epoch; 0 none
    quint32 updateNext = 0; // next automatic update; 0 none

    // Next run of a schedule as seconds since the epoch (local wall-clock
    // time, seconds 0), strictly after `now`; 0 for a mode other than 1
    // (daily), 2 (weekly) or 3 (monthly).
    static quint32 nextTime(int mode, int minute, int hour, int week, int day,
                            const QDateTime& now);
    static quint32 nextTime(int mode, int minute, int hour, int week, int day);
};

class ZNScheduler
{
public:
    // Hour of the daily automatic update.
    static const int kUpdateHour = 5;

    // `startUpdate` starts an automatic update; `scan` runs a scheduled scan
    // of the given scope and returns false when it should stay due (the
    // scheduler is stopping).
    ZNScheduler(std::function<void()> startUpdate, std::function<bool(int scope)> scan);
    ~ZNScheduler();
    ZNScheduler(const ZNScheduler&) = delete;
    ZNScheduler& operator=(const ZNScheduler&) = delete;

    // Takes over a settings "schedule" object and the automatic update
    // switch and, with `enabled`, runs the thread when anything is due
    // later; without, stops it. Modes other than 1 to 3 switch the
    // scheduled scan off and keep the other members.
    void apply(const QJsonObject& schedule, bool automaticUpdate, bool enabled) KX2_EXCLUDES(mutex);
    ZNSchedule schedule() const KX2_EXCLUDES(mutex);
    // Replaces the schedule as it stands (tests set due times with it).
    void setSchedule(const ZNSchedule& next) KX2_EXCLUDES(mutex);
    // One pass of the thread at time `now`: the due update, the due scan.
    void pass(quint32 now) KX2_EXCLUDES(mutex);
    bool isRunning() const { return running.load(); }
    bool isStopping() const { return stopRequested.load() || thread.isShuttingDown(); }
    void stop();
    // Stops the thread and waits for it; no thread starts afterwards.
    void shutdown();

private:
    void startThread();
    void threadMain();

    const std::function<void()> startUpdate;
    const std::function<bool(int)> scan;

    mutable KX2Mutex mutex;
    ZNSchedule current KX2_GUARDED_BY(mutex);

    std::atomic<bool> running{false};
    std::atomic<bool> stopRequested{false};
    KX2ThreadGroup thread;
};

#endif // ZNSCHEDULER_H
