// Console traces of the antivirus service, gated by the configuration's
// debuglevel mask, read through kx2TraceLevel().
//
// A line is printed (through PRINTLN_WITHTIME, with the local time) only
// when at least one bit of `mask` is set in debuglevel. Without a
// registered level source (unit tests that build the service directly)
// nothing is printed. Callable from any thread: debuglevel is written once before
// the service starts and only read afterwards.

#ifndef ZNTRACE_H
#define ZNTRACE_H

#include <QByteArray>
#include <QString>
#include <QVariant>

namespace ZNTraceBits {
enum : int {
    TaskThreads = 0x01,  // worker count of each scan task
    Failures = 0x02,     // failed operations and database errors
    FileFailures = 0x10, // per-file failures, repeated configuration loads
    TaskSummary = 0x30,  // start and result lines of each scan task
};
}

bool znTraceEnabled(int mask);
// A text line is printed in its escaped form (kx2Escaped): the paths and
// messages in it may come from users. JSON values keep their own escaping
// and are printed over several lines.
void znTrace(int mask, const QVariant& line);

// Events an administrator looks for after an incident: every detection,
// every move into or out of the quarantine, every task's start and end.
// One line each, printed whatever debuglevel says (its bits govern the
// detailed traces only), in the service process only: without a level
// source (unit tests) nothing is printed. Each line starts with the event
// in brackets, e.g. "[detect] task=3 mission=0 virus=... path=...". When the
// process's logger (KX2Logger::i()) has a file, the line goes there too.
//
// File names and request fields inside a line come from users: the line is
// written in its escaped form (kx2Escaped), so none of them can start a
// line of its own or reach a terminal as a control sequence. The byte form
// takes UTF-8 text with raw file-system paths inside, whatever their
// encoding: a byte that is not UTF-8 then shows as the "\xHH" that stands
// for it.
//
// Each event has a level of syslog's scale, by its tag: 3 (error) for
// failures (an engine that did not load, a failed update, a detection left
// in place, a refused work area, a notification command that failed), 4
// (warning) for detections, files not scanned in full, refused requests,
// dropped tasks and what keeps the service from protecting, 5 (notice)
// for files moved, restored or deleted, engines loaded and updates done,
// 6 (info) for the rest. When standard output is the journal (systemd's
// JOURNAL_STREAM names it) a line starts with "<N>" and no time, so that
// `journalctl -p warning` shows failures and detections; the log file
// carries the level word (Error, Warn, Info).
void znEvent(const QString& line);
void znEvent(const QByteArray& line);
int znEventLevel(const QByteArray& line);

#endif // ZNTRACE_H
