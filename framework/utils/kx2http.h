// Blocking HTTP transfers on libcurl's easy interface.
//
// Each call creates its own transfer handle, performs the whole transfer on
// the calling thread (the background forms: on a thread of their own) and
// cleans the handle up, so any thread may call at any time; nothing is
// shared between calls but the background forms' thread group. libcurl's
// process-wide set-up runs once, on the first call, and is never undone.
//
// Only http:// and https:// addresses are fetched; any other scheme fails
// like an unreachable host. Redirects are not followed and the HTTP status
// code is not looked at: a completed transfer of an error page succeeds and
// hands out the page. Callers that need a particular content check it
// themselves (the virus database update checks size and MD5 of every file).
//
// Failure (unreachable host, time-out, TLS failure, aborted download, file
// not openable, a reply that is not the JSON object asked for) shows only as
// a false result; nothing is thrown, logged or printed. Out parameters keep
// their previous content on failure, except a download's target file, which
// holds whatever was received so far.
//
// Time-outs are whole seconds; 0 means no limit.
//
// The background forms (fire and forget) run each transfer on a thread of a
// process-wide thread group and return at once; a thread that cannot be
// started drops the transfer. A background transfer lasts at most
// kKX2HttpBackgroundSeconds (the GET's own time-out when that is shorter).
// A normal exit (return from main(), exit()) joins the background threads,
// so it waits for the transfers still running: at most
// kKX2HttpBackgroundSeconds (30 s). They must not be called once the exit
// has begun (from a static destructor).

#ifndef KX2HTTP_H
#define KX2HTTP_H

#include <QByteArray>
#include <QJsonObject>
#include <QString>

#include <functional>

// Longest a background transfer, and so the exit waiting for it, may take.
constexpr int kKX2HttpBackgroundSeconds = 30;

// Called once per received chunk with the number of bytes just written to
// the target file; returning false aborts the transfer.
using KX2DownloadCallback = std::function<bool(unsigned long)>;

// GET `url` into `body`. A body that begins with a header block ("HTTP/"
// up to the first empty line) loses that block. The in-memory forms fail
// for replies above 16 MiB.
bool curlHttpGet(QByteArray& body, const QString& url, int timeout);

// GET `url` and parse it; true only when the body is a JSON object.
bool curlHttpGet(QJsonObject& object, const QString& url, int timeout);

// The body form in the background; the outcome is discarded. `timeout` is
// capped at kKX2HttpBackgroundSeconds.
void curlHttpGet(const QString& url, int timeout);

// POST `data` as compact JSON ("Content-Type:application/json"), without a
// time-out. True when the transfer completed and the reply is a JSON object,
// which goes to `reply`. After a completed transfer `raw`, when given,
// receives the reply bytes whether or not they parse.
bool curlHttpPost(QJsonObject& reply, const QString& url, const QJsonObject& data,
                  QByteArray* raw = nullptr);

// The full form in the background, with a time-out of
// kKX2HttpBackgroundSeconds; the reply is discarded.
void curlHttpPost(const QString& url, const QJsonObject& data);

// GET `url` into the file `filePath` (created or truncated), streaming chunk
// by chunk. `timeout` limits both the connection and the whole transfer. No
// request is made when the file cannot be opened. TLS certificates and host
// names are not verified (see docs/utils.md).
bool curlHttpDownload(const QString& filePath, const QString& url, int timeout);

// As curlHttpDownload, calling `callback` after every chunk written, and
// with 0 in between (at least about once a second, also while nothing
// arrives) to ask whether the transfer is still wanted; true only when the
// transfer completed and the callback never returned false. A transfer
// that receives nothing for 60 s fails.
bool curlHttpDownloading(const QString& filePath, const QString& url,
                         const KX2DownloadCallback& callback, int timeout);

// --- Checked transfers --------------------------------------------------------
//
// The forms above report a completed transfer of an error page as success.
// A checked transfer tells the whole outcome instead: only a 2xx status
// counts, a transfer that stays below a rate floor fails, and the reason
// of a failure is a text fit for a report ("HTTP 404", libcurl's own
// message, "stopped"). Any thread may call; nothing is shared between
// calls.

struct KX2HttpTransfer
{
    QString url;
    QString filePath;                   // target file (created or truncated); empty: in memory
    qint64 maxBytes = 16 * 1024 * 1024; // receiving more fails the transfer
    int connectTimeout = 30;            // seconds to connect
    int timeout = 0;                    // seconds for the whole transfer; 0: no limit
    // The transfer fails when fewer than lowSpeedBytes a second arrive
    // during lowSpeedSeconds in a row (a trickling or silent server).
    long lowSpeedBytes = 1024;
    long lowSpeedSeconds = 60;
    // TLS certificate and host-name checks; off only where the content is
    // checked otherwise (a file with a known size and MD5).
    bool verifyTls = true;
    // As for curlHttpDownloading: per chunk with its size, and about once
    // a second with 0, also while connecting; false ends the transfer.
    KX2DownloadCallback callback;
};

struct KX2HttpResult
{
    enum Kind {
        Ok,
        Unreachable, // no connection was made (name, refusal, connect time-out)
        HttpError,   // the server answered with a status outside 2xx
        Failed,      // the transfer broke off, was too slow, too large, or the file failed
        Stopped,     // the callback ended it
    };
    Kind kind = Failed;
    long status = 0; // the HTTP status, when one arrived
    QString reason;  // empty when Ok
    QByteArray body; // the body of an in-memory transfer that succeeded

    bool ok() const { return kind == Ok; }
};

KX2HttpResult kx2HttpTransfer(const KX2HttpTransfer& transfer);

#endif // KX2HTTP_H
