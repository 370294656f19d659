// KX2Status: what one operation ended with, as a value.
//
// Code 0 is success; any other code is a failure with its message, the
// code being one the caller may show (the service's codes are listed in
// kx2journals.h, KX2ErrorCode). Operations of the storage and antivirus
// layers return it instead of leaving their failure in shared state
// (a journal, a last-error slot), so each caller gets the failure of its
// own call, on whatever thread. The request layer writes it into the
// request's journal once (KX2Journals::report).
//
// A plain value: copyable, usable on any thread. Nothing here can fail.

#ifndef KX2STATUS_H
#define KX2STATUS_H

#include <QString>

class KX2Status
{
public:
    // Success.
    KX2Status() = default;

    static KX2Status success() { return KX2Status(); }
    // A failure; `code` must not be 0.
    static KX2Status failure(int code, const QString& message);

    bool ok() const { return status == 0; }
    int code() const { return status; }
    QString message() const { return text; }

private:
    KX2Status(int code, const QString& message) : status(code), text(message) {}

    int status = 0;
    QString text;
};

#endif // KX2STATUS_H
