// Console trace output.
//
// Diagnostics of this console process are lines on standard output. These
// free functions format and write them; whether a line is wanted at all is
// the caller's decision (debugging switches), these functions always print.
//
// Threads: every function may be called from any thread. The printing
// functions take no lock: each line's text goes out in one write call, then
// the newline, then a flush, so texts of different threads never interleave
// inside one another, although a newline may land between another thread's
// text and its own newline. Code that must keep several writes together
// holds KORVELLA::PRINT_MUTEX (see PRINTMUTEX()) around them.
//
// Text is written in the locale's 8-bit encoding (UTF-8 on the appliance).
// Write failures (closed stdout, full disk) are ignored: tracing must never
// disturb the service.

#ifndef KX2TRACE_H
#define KX2TRACE_H

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QVariant>

namespace KORVELLA {
// Process-wide mutex for callers that print several pieces that must stay
// together. The printing functions below never take it themselves.
extern QMutex PRINT_MUTEX;
} // namespace KORVELLA

// Address of KORVELLA::PRINT_MUTEX.
QMutex* PRINTMUTEX();

// The value as printable text: booleans "true"/"false"; JSON objects and
// arrays (also inside a QJsonValue) as indented, newline-terminated JSON;
// a QJsonValue holding a string as that string and any other QJsonValue as
// ""; string lists as "QStringList(a; b)"; QRect, QSize and QPoint as
// "QRect(x, y, w, h)", "QSize(w, h)", "QPoint(x, y)"; byte arrays up to
// their first zero byte, as UTF-8; everything else by QVariant's own
// conversion to string ("" when it has none).
QString toPrintString(const QVariant& value);

// "yyyy-MM-dd HH:mm:ss " (local time), toPrintString(value), newline; flush.
void PRINTLN_WITHTIME(const QVariant& value);

// toPrintString(value), newline; flush.
void PRINTLN(const QVariant& value);

// The objects gathered into one JSON array, printed as PRINTLN does.
void PRINTLN(const QList<QJsonObject>& objects);

// The strings joined with "; ", printed as PRINTLN does.
void PRINTLN(const QStringList& strings);

// The text or value without newline and without flush.
void PRINT(const char* text);
void PRINT(const QString& text);
void PRINT(const QVariant& value);

// "HH:mm:ss.zzz ", the last component of `sourceFile`, "#line" when `line`
// is above 0, "=>function" when `function` is non-empty, ": ",
// toPrintString(value), newline; flush.
void PRINTLN_WITHTIMEPOS(const char* sourceFile, int line, const char* function,
                         const QVariant& value);

// ">>-->", "HH:mm:ss.zzz ", the file name of `sourceFile` (both '/' and '\'
// separate directories), "#line", " => function", ": ". No newline: the
// caller prints the rest of the line.
void PRINTPOS(const char* sourceFile, int line, const char* function);

// The value's text followed by " = ", or "~~ ~~ ~~" when the text is empty.
// No newline.
void PRINTNAME(const QVariant& name);

// "HH:mm:ss.zzz ", toPrintString(value), newline; flush.
void TRACELN(const QVariant& value);

// A coloured status line "[TAG] text" using ANSI escape sequences. States:
// 0 SUCCEED, 1 IGNORE, 2 WARNING, 3 NOT CFG, 4 FAILED, other OTHERS.
void KX2StatePrintln(int state, const QString& text);

// Short location label from a compiler pretty-function text, e.g.
// PRETTY("virtual bool A::f(int)", 12) is "A::f#12": the text is cut at its
// first '(' and the return type and specifiers before the last space are
// dropped; "#line" is appended when `line` is above 0. Usable as
// PRETTY(Q_FUNC_INFO, __LINE__).
QString PRETTY(const char* prettyFunction, int line);
QString PRETTY(const QString& prettyFunction, int line);

// Local date-time from the compiler's build date ("Aug  4 2024", as
// __DATE__) and build time ("21:06:59", as __TIME__), milliseconds 0.
// Returns an invalid QDateTime when the texts are not in that form (for
// example an unknown month name).
QDateTime complieDateTime(const QString& date, const QString& time);

// The calling thread's identifier as decimal text.
QString currentThreadId();

// Conversions through the process-wide GBK codec. Without a GBK codec the
// bytes are treated as UTF-8.
QString GbkToUtf8(const QByteArray& gbk);
QByteArray Utf8ToGbk(const QString& text);

// Skips the first character of a mangled type name and the length digits
// that follow it, returning the rest ("P11ZNAntiVirus" gives "ZNAntiVirus").
QString MyClassName(const char* mangledName);

#endif // KX2TRACE_H
