// KX2Journals: the result record of one operation.
//
// Every service operation reports its outcome here: one error code (9999 =
// no result recorded yet, 0 = success, anything else a failure code from
// kx2errorcodes below), one message, a list of timed journal entries and a
// millisecond clock. The connection worker turns the record into the reply
// keys "err", "errmsg", "elapsed" and "journals" with toRetObject().
//
// Code 10000 is a failure whose message is kept in the record but never
// written into a result object.
//
// Ownership and threads: a journal owns its private record and is not
// copyable. It is not synchronised: one thread at a time uses it (the
// connection worker that owns the request environment, or the thread that
// created a free-standing journal). Nothing here can fail.
//
// KX2Error is a stand-alone record of the same shape with slightly
// different rules (see its declaration). The service itself uses
// KX2Journals only.

#ifndef KX2JOURNALS_H
#define KX2JOURNALS_H

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <memory>

#include "kx2status.h"

// Failure codes used by the service.
namespace KX2ErrorCode {
enum : int {
    Success = 0,
    DirectoryNotConfigured = 9869,  // work area or quarantine not configured
    PermissionDenied = 9870,        // the peer may not call this method
    StillRunning = 9871,            // same kind of operation running; retry
    MethodNotFound = 9885,          // the requested method does not exist
    RegistrationCheckFailed = 9886, // checking a registered path failed
    CreateFailed = 9969,            // creating a record or directory failed
    DatabaseFailed = 9975,          // a database read or delete failed
    VirusDbNotReady = 9983,         // the virus database is not ready
    ConfigurationFaulty = 9987,     // the system configuration file is faulty
    SaveSettingsFailed = 9990,      // saving the settings failed
    ScanRunning = 9992,             // refused while a scan is running
    AlreadyExists = 9993,           // path registered, task queued
    NotExists = 9994,               // file, task, quarantine directory
    MissingParameter = 9995,        // a required request parameter is missing
    NoResult = 9999,                // initial value: no outcome recorded
    Silent = 10000                  // failure whose message is not output
};
}

class KX2JournalsPrivate;

class KX2Journals
{
public:
    KX2Journals();
    virtual ~KX2Journals();

    KX2Journals(const KX2Journals&) = delete;
    KX2Journals& operator=(const KX2Journals&) = delete;

    int err() const;
    QString errmsg() const;
    // Accumulated measured time in milliseconds.
    qint64 times() const;
    QJsonArray segments() const;

    // Replaces both code and message (also with an empty message).
    void setErr(int code, const QString& msg);
    void setErrmsg(const QString& msg);
    void setSegments(const QJsonArray& segments);
    // Sets a failure's code and message (a success leaves the record for
    // the request method to mark); returns status.ok().
    bool report(const KX2Status& status);
    // Replaces code, message and entries and zeroes the accumulated time;
    // the clock keeps running from its last mark.
    void reset(int code, const QString& msg, const QJsonArray& segments);
    // Back to the state of a new journal: code 9999, no message, no
    // entries, no accumulated time, clock restarted. The connection worker
    // calls it before every request, so no outcome or entry of an earlier
    // request on the same connection shows in a later reply.
    void renew();

    // Appends the object (or the array, as one element) unchanged.
    void add(const QJsonObject& entry);
    void add(const QJsonArray& entries);
    // Appends and returns the entry {place, action, times, success, msg}.
    // "times" is step(); "msg" is `msg`, else the current errmsg, else left
    // out when both are empty.
    QJsonObject add(const QString& place, const QString& action, bool success,
                    const QString& msg = QString());

    // Zeroes the accumulated time and restarts the clock.
    void begin();
    // Milliseconds since the last mark; adds them to times(); new mark.
    qint64 step();
    // As step(), but returns the new accumulated total.
    qint64 end();

    // {err, elapsed, errmsg (unless err is 0 or 10000, or the message is
    // empty), journals (when there are entries)}. Does not touch the clock.
    QJsonObject toObject() const;

    // Writes the reply keys into `target`: always "err" (replacing any
    // value), "errmsg" under the rule of toObject() (an "errmsg" already in
    // the target stays otherwise), and with `withDetails` also "elapsed" and
    // "journals" (when there are entries). Counts the time since the last
    // mark first. A null target is ignored.
    void toRetObject(QJsonObject* target, bool withDetails);
    void toRetObject(QJsonObject& target, bool withDetails);

private:
    const std::unique_ptr<KX2JournalsPrivate> d;
};

// KX2Error: a record like KX2Journals with these differences: its clock is
// not started until begin() or reset(); reset() restarts the clock;
// setErrmsg() and setError() trim the message; add() with an empty message
// always writes "msg" (the current errmsg, even when empty); the entry list
// is called journals(); output goes through write() and toObject().
// Before the clock is started, step() and end() measure 0 ms.
class KX2Error
{
public:
    KX2Error(int code, const QString& msg);
    ~KX2Error();

    KX2Error(const KX2Error&) = delete;
    KX2Error& operator=(const KX2Error&) = delete;

    int err() const;
    QString errmsg() const;
    qint64 times() const;
    QJsonArray journals() const;

    void setErr(int code, const QString& msg);
    void setErrmsg(const QString& msg);
    void setJournals(const QJsonArray& journals);
    void reset(int code, const QString& msg, const QJsonArray& journals);

    // printf-style formatting of the UTF-8 `format`; sets err = code and
    // errmsg = the trimmed text, and returns the formatted text.
    QString setError(int code, const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 3, 4)))
#endif
        ;

    void add(const QJsonObject& entry);
    void add(const QJsonArray& entries);
    QJsonObject add(const QString& place, const QString& action, bool success,
                    const QString& msg = QString());

    void begin();
    qint64 step();
    qint64 end();

    // {err, errmsg (same rule as KX2Journals), elapsed, journals (when
    // non-empty)}.
    QJsonObject toObject() const;
    // Writes "err" and, under the same rule, "errmsg". Null is ignored.
    void write(QJsonObject* target) const;
    void write(QJsonObject& target) const;

private:
    const std::unique_ptr<KX2JournalsPrivate> d;
};

#endif // KX2JOURNALS_H
