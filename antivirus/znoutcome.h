// ZNOutcome: what one operation of the antivirus component ended with.
//
// Components return their outcome instead of writing into a shared
// journal: the public operations of ZNAntiVirus copy it into the caller's
// journal once (ZNOutcome::report), so every failure the component knows
// leaves with its own code and message, and no thread ever reads another
// thread's error. Codes are those of KX2ErrorCode; 0 is success.
//
// A plain value: copyable, usable on any thread.

#ifndef ZNOUTCOME_H
#define ZNOUTCOME_H

#include <QString>

class KX2Journals;

struct ZNOutcome
{
    int code = 0;
    QString message;

    static ZNOutcome success() { return ZNOutcome(); }
    static ZNOutcome failure(int code, const QString& message) { return ZNOutcome{code, message}; }

    bool ok() const { return code == 0; }
    // Sets a failure's code and message on `journal` (a success leaves it
    // for the request layer); returns ok().
    bool report(KX2Journals& journal) const;
};

#endif // ZNOUTCOME_H
