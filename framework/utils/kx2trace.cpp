#include "kx2trace.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QTextCodec>
#include <QThread>

#include <cstdio>

namespace KORVELLA {
QMutex PRINT_MUTEX;
}

namespace {

const char kStampFormat[] = "yyyy-MM-dd HH:mm:ss ";
const char kShortStampFormat[] = "HH:mm:ss.zzz ";

enum class LineEnd { None, NewlineAndFlush };

// Writes the text with one stdio call, which holds the stream lock for the
// whole buffer, so another thread's text cannot land inside it. The newline
// is a separate call.
void emitText(const QString& text, LineEnd end)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    if (end == LineEnd::NewlineAndFlush) {
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
}

QString indentedJson(const QJsonDocument& document)
{
    return QString::fromUtf8(document.toJson(QJsonDocument::Indented));
}

QString jsonValueText(const QJsonValue& value)
{
    if (value.isObject()) {
        return indentedJson(QJsonDocument(value.toObject()));
    }
    if (value.isArray()) {
        return indentedJson(QJsonDocument(value.toArray()));
    }
    if (value.isString()) {
        return value.toString();
    }
    return QString();
}

// Both separators, since file names from __FILE__ may come from either
// kind of build host.
QString fileNameOf(const char* sourceFile)
{
    const QString path = QString::fromUtf8(sourceFile);
    const int slash = qMax(path.lastIndexOf(QLatin1Char('/')), path.lastIndexOf(QLatin1Char('\\')));
    return path.mid(slash + 1);
}

QString shortStamp()
{
    return QTime::currentTime().toString(QLatin1String(kShortStampFormat));
}

// Characters that can make up an operator's symbol ("<<=", "->*", "[]").
bool isOperatorSymbol(QChar c)
{
    return QStringLiteral("<>=!+-*/%^&|~,[]").contains(c);
}

bool isIdentifierChar(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_');
}

// Index just behind an "operator" keyword starting at `at`, past its symbol
// when it has one ("operator()", "operator<<"), or -1 when no keyword
// starts there.
int skipOperatorKeyword(const QString& text, int at)
{
    static const QString keyword = QStringLiteral("operator");
    if (!text.midRef(at).startsWith(keyword)) {
        return -1;
    }
    if (at > 0 && isIdentifierChar(text.at(at - 1))) {
        return -1;
    }
    int i = at + keyword.size();
    if (i < text.size() && isIdentifierChar(text.at(i))) {
        return -1; // an identifier such as "operators"
    }
    while (i < text.size() && text.at(i) == QLatin1Char(' ')) {
        ++i;
    }
    if (text.midRef(i).startsWith(QLatin1String("()"))) {
        return i + 2;
    }
    while (i < text.size() && isOperatorSymbol(text.at(i))) {
        ++i;
    }
    return i;
}

// Where the parameter list starts: the first '(' outside template brackets
// and not part of an operator's name; -1 when there is none.
int parameterListStart(const QString& text, int* operatorAt)
{
    int depth = 0;
    for (int i = 0; i < text.size(); ++i) {
        const int behindOperator = skipOperatorKeyword(text, i);
        if (behindOperator >= 0) {
            *operatorAt = i;
            i = behindOperator - 1;
            continue;
        }
        const QChar c = text.at(i);
        if (c == QLatin1Char('<')) {
            ++depth;
        } else if (c == QLatin1Char('>') && depth > 0) {
            --depth;
        } else if (c == QLatin1Char('(') && depth == 0) {
            return i;
        }
    }
    return -1;
}

// The last space outside template brackets before `end`; -1 when none.
int lastTopLevelSpace(const QString& text, int end)
{
    int depth = 0;
    int found = -1;
    for (int i = 0; i < end; ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('<')) {
            ++depth;
        } else if (c == QLatin1Char('>') && depth > 0) {
            --depth;
        } else if (c == QLatin1Char(' ') && depth == 0) {
            found = i;
        }
    }
    return found;
}

} // namespace

QMutex* PRINTMUTEX()
{
    return &KORVELLA::PRINT_MUTEX;
}

QString toPrintString(const QVariant& value)
{
    switch (value.userType()) {
    case QMetaType::Bool:
        return value.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QMetaType::QJsonValue:
        return jsonValueText(value.toJsonValue());
    case QMetaType::QJsonObject:
        return indentedJson(QJsonDocument(value.toJsonObject()));
    case QMetaType::QJsonArray:
        return indentedJson(QJsonDocument(value.toJsonArray()));
    case QMetaType::QStringList:
        return QStringLiteral("QStringList(%1)")
            .arg(value.toStringList().join(QStringLiteral("; ")));
    case QMetaType::QRect: {
        const QRect r = value.toRect();
        return QStringLiteral("QRect(%1, %2, %3, %4)")
            .arg(r.x())
            .arg(r.y())
            .arg(r.width())
            .arg(r.height());
    }
    case QMetaType::QSize: {
        const QSize s = value.toSize();
        return QStringLiteral("QSize(%1, %2)").arg(s.width()).arg(s.height());
    }
    case QMetaType::QPoint: {
        const QPoint p = value.toPoint();
        return QStringLiteral("QPoint(%1, %2)").arg(p.x()).arg(p.y());
    }
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        const int zero = bytes.indexOf('\0');
        return QString::fromUtf8(zero < 0 ? bytes : bytes.left(zero));
    }
    default:
        return value.toString();
    }
}

void PRINTLN_WITHTIME(const QVariant& value)
{
    const QString text = toPrintString(value);
    const QString stamp = QDateTime::currentDateTime().toString(QLatin1String(kStampFormat));
    emitText(stamp + text, LineEnd::NewlineAndFlush);
}

void PRINTLN(const QVariant& value)
{
    emitText(toPrintString(value), LineEnd::NewlineAndFlush);
}

void PRINTLN(const QList<QJsonObject>& objects)
{
    QJsonArray array;
    for (const QJsonObject& object : objects) {
        array.append(object);
    }
    PRINTLN(QVariant(array));
}

void PRINTLN(const QStringList& strings)
{
    emitText(strings.join(QStringLiteral("; ")), LineEnd::NewlineAndFlush);
}

void PRINT(const char* text)
{
    emitText(QString::fromUtf8(text), LineEnd::None);
}

void PRINT(const QString& text)
{
    emitText(text, LineEnd::None);
}

void PRINT(const QVariant& value)
{
    emitText(toPrintString(value), LineEnd::None);
}

void PRINTLN_WITHTIMEPOS(const char* sourceFile, int line, const char* function,
                         const QVariant& value)
{
    QString text = shortStamp() + fileNameOf(sourceFile);
    if (line > 0) {
        text += QLatin1Char('#') + QString::number(line);
    }
    if (function && *function) {
        text += QStringLiteral("=>") + QString::fromUtf8(function);
    }
    text += QStringLiteral(": ") + toPrintString(value);
    emitText(text, LineEnd::NewlineAndFlush);
}

void PRINTPOS(const char* sourceFile, int line, const char* function)
{
    const QString text = QStringLiteral(">>-->") + shortStamp() + fileNameOf(sourceFile)
        + QLatin1Char('#') + QString::number(line) + QStringLiteral(" => ")
        + QString::fromUtf8(function) + QStringLiteral(": ");
    emitText(text, LineEnd::None);
}

void PRINTNAME(const QVariant& name)
{
    const QString text = toPrintString(name);
    emitText(text.isEmpty() ? QStringLiteral("~~ ~~ ~~") : text + QStringLiteral(" = "),
             LineEnd::None);
}

void TRACELN(const QVariant& value)
{
    emitText(shortStamp() + toPrintString(value), LineEnd::NewlineAndFlush);
}

void KX2StatePrintln(int state, const QString& text)
{
    static const char boldBlack[] = "\033[1;30m";
    static const char reset[] = "\033[0m";
    const char* tag;
    switch (state) {
    case 0:
        tag = "\033[32mSUCCEED";
        break;
    case 1:
        tag = "\033[37mIGNORE ";
        break;
    case 2:
        tag = "\033[33mWARNING";
        break;
    case 3:
        tag = "\033[35mNOT CFG";
        break;
    case 4:
        tag = "\033[31mFAILED ";
        break;
    default:
        tag = "\033[35mOTHERS ";
        break;
    }
    const QString line = QLatin1String(boldBlack) + QLatin1Char('[') + QLatin1String(tag)
        + QLatin1String(boldBlack) + QStringLiteral("] ") + text + QLatin1String(reset);
    emitText(line, LineEnd::NewlineAndFlush);
}

QString PRETTY(const char* prettyFunction, int line)
{
    return PRETTY(QString::fromUtf8(prettyFunction), line);
}

QString PRETTY(const QString& prettyFunction, int line)
{
    QString label = prettyFunction;
    int operatorAt = -1;
    // A text that opens with '(' is not a signature the compiler produces;
    // it is kept whole rather than cut to nothing.
    if (label.indexOf(QLatin1Char('(')) > 0) {
        const int open = parameterListStart(label, &operatorAt);
        if (open > 0) {
            label.truncate(open);
        }
    }
    // Return type and specifiers end at the last space before the name; a
    // conversion operator ("operator bool") carries a space of its own.
    const int nameEnd = operatorAt >= 0 && operatorAt < label.size() ? operatorAt : label.size();
    const int space = lastTopLevelSpace(label, nameEnd);
    if (space > 0) {
        label = label.mid(space + 1);
    }
    if (line > 0) {
        label += QLatin1Char('#') + QString::number(line);
    }
    return label;
}

QDateTime complieDateTime(const QString& date, const QString& time)
{
    static const QStringList months = {
        QStringLiteral("JAN"), QStringLiteral("FEB"), QStringLiteral("MAR"), QStringLiteral("APR"),
        QStringLiteral("MAY"), QStringLiteral("JUN"), QStringLiteral("JUL"), QStringLiteral("AUG"),
        QStringLiteral("SEP"), QStringLiteral("OCT"), QStringLiteral("NOV"), QStringLiteral("DEC"),
    };
    const int month = months.indexOf(date.left(3).toUpper()) + 1;
    const int year = date.right(4).toInt();
    const int day = date.mid(4, 2).toInt();
    const int hour = time.left(2).toInt();
    const int minute = time.mid(3, 2).toInt();
    const int second = time.right(2).toInt();
    // An unknown month gives month 0, which QDate rejects: the result is an
    // invalid date-time rather than a guess.
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second), Qt::LocalTime);
}

QString currentThreadId()
{
    return QString::number(reinterpret_cast<quintptr>(QThread::currentThreadId()));
}

namespace {

// Looked up once; the codec registry owns the codec for the process's life.
QTextCodec* gbkCodec()
{
    static QTextCodec* const codec = QTextCodec::codecForName("GBK");
    return codec;
}

} // namespace

QString GbkToUtf8(const QByteArray& gbk)
{
    QTextCodec* codec = gbkCodec();
    return codec ? codec->toUnicode(gbk) : QString::fromUtf8(gbk);
}

QByteArray Utf8ToGbk(const QString& text)
{
    QTextCodec* codec = gbkCodec();
    return codec ? codec->fromUnicode(text) : text.toUtf8();
}

QString MyClassName(const char* mangledName)
{
    if (!mangledName || !*mangledName) {
        return QString();
    }
    const char* rest = mangledName + 1;
    while (*rest >= '0' && *rest <= '9') {
        ++rest;
    }
    return QString::fromLatin1(rest);
}
