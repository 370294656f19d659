// ZNRefusalLog: which refusals of a peer uid reach the event log.
//
// Every refused request is worth an event, but a peer that sends refused
// requests in a loop would otherwise rotate everything else (the [detect]
// lines among it) out of the log files. So per uid, the first few
// refusals of a window of a minute are logged as they come; later ones in
// that window are only counted, and once the window has ended one line
// tells how many there were:
//
//     [refused] 1234 further refusals from uid 65534 in the minute from 10:30:00
//
// A window that has ended is summed up at the next refusal of any peer, so
// the summary of a flood that stopped may come late (or not at all when
// the service stops first); it never merges with a later window.
//
// Memory: one entry per uid refused in the current window, at most a fixed
// number; a refused uid beyond that sums up the oldest window early to
// make room.
//
// Threads: refuse() may be called from any thread; one mutex guards the
// windows, held only for their bookkeeping.

#ifndef ZNREFUSALLOG_H
#define ZNREFUSALLOG_H

#include <QString>
#include <QStringList>

#include <list>
#include <unordered_map>

#include <sys/types.h>

#include "kx2threadsafety.h"

class ZNRefusalLog
{
public:
    static constexpr int kLinesPerWindow = 5;
    static constexpr qint64 kWindowMs = 60 * 1000;
    static constexpr size_t kMaxUids = 1024;

    explicit ZNRefusalLog(size_t maxUids = kMaxUids) : maxUids(maxUids) {}
    ZNRefusalLog(const ZNRefusalLog&) = delete;
    ZNRefusalLog& operator=(const ZNRefusalLog&) = delete;

    // The lines to log for a refusal of `uid` at `nowMs` (milliseconds
    // since the epoch) whose own event line is `line`: the summaries of
    // windows that have ended, then `line` while the uid's window allows.
    QStringList refuse(uid_t uid, const QString& line, qint64 nowMs);

private:
    struct Window
    {
        uid_t uid;
        qint64 startMs;
        int logged;
        qint64 unlogged;
    };
    // Ends the oldest window, adding its summary to `lines` when it has one.
    void closeOldestLocked(QStringList& lines) KX2_REQUIRES(mutex);

    const size_t maxUids;
    KX2Mutex mutex;
    std::list<Window> windows KX2_GUARDED_BY(mutex); // oldest first
    std::unordered_map<uid_t, std::list<Window>::iterator> byUid KX2_GUARDED_BY(mutex);
};

#endif // ZNREFUSALLOG_H
