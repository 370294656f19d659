// ZNAlerts: the administrator's notification command, run for each
// detection, and when asked for each failed update and each engine
// fall-back, with the details in environment variables.
//
// Configured in config.json, root's file (never in the settings a peer may
// save, which would let it run commands as root): "alertcommand", an array
// of the program's absolute path and its arguments, started directly (no
// shell, so no file name can become a command); "alertevents", the kinds
// that run it ("detect" by default; "update-failed", "engine-fallback");
// "alerttimeout", the seconds a run may take (default 30, 1..3600), after
// which its process group is killed.
//
// notify() queues an alert and returns at once, so a scan never waits for
// the command. One thread, started with the first alert, runs the commands
// one at a time in order; at most kMaxQueued wait, further alerts are
// dropped and counted. A run that cannot start, exits other than 0, is
// killed at its time limit, or alerts dropped, give an "[hook-failed]"
// event line.
//
// A run's environment is the service's own plus ZN_EVENT (the kind) and
// the alert's details: for "detect" ZN_PATH, ZN_VIRUS, ZN_ACTION
// ("quarantined" or "left in place"), ZN_QUARANTINED, ZN_REASON, ZN_TASK,
// ZN_MISSION; for the others ZN_REASON. Its standard input is /dev/null;
// its output goes where the service's goes.
//
// Thread rules: any thread. stop() (also run by the destructor) ends a run
// in progress at once and joins the thread; nothing runs afterwards.

#ifndef ZNALERTS_H
#define ZNALERTS_H

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QStringList>

#include <condition_variable>
#include <deque>

#include "kx2threadgroup.h"
#include "kx2threadsafety.h"
#include "kx2uniquefd.h"

class ZNAlerts
{
public:
    static const int kMaxQueued = 1000;

    // Name and value of one environment variable.
    using Details = QList<QPair<QByteArray, QByteArray>>;

    ZNAlerts();
    ~ZNAlerts();
    ZNAlerts(const ZNAlerts&) = delete;
    ZNAlerts& operator=(const ZNAlerts&) = delete;

    // Takes the keys of config.json; false with the reason in `problem`
    // when "alertcommand" or "alertevents" is there but unusable.
    bool configure(const QJsonObject& configuration, QString* problem);
    // Queues a run for an alert of `kind` when the configuration asks for
    // that kind; does nothing otherwise.
    void notify(const QByteArray& kind, const Details& details) KX2_EXCLUDES(mutex);
    void stop() KX2_EXCLUDES(mutex);

private:
    struct Alert
    {
        QByteArray kind;
        Details details;
    };
    struct Setup
    {
        QList<QByteArray> command; // program and arguments; empty: no alerts
        QList<QByteArray> kinds{"detect"};
        int timeoutMs = 30000;
    };

    void threadMain() KX2_EXCLUDES(mutex);
    // Runs the command for one alert; the reason it failed, or empty.
    QString run(const Alert& alert, const Setup& with);
    QString waitFor(int pid, int timeoutMs);

    KX2Mutex mutex;
    Setup setup KX2_GUARDED_BY(mutex);
    std::condition_variable queued;
    std::deque<Alert> alerts KX2_GUARDED_BY(mutex);
    int dropped KX2_GUARDED_BY(mutex) = 0;
    bool running KX2_GUARDED_BY(mutex) = false;
    bool stopping KX2_GUARDED_BY(mutex) = false;
    // Readable once stop() was called: ends the wait for a run at once.
    const KX2UniqueFd stopFd;
    KX2ThreadGroup thread;
};

#endif // ZNALERTS_H
