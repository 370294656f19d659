// Console trace output: labels, build time parsing, value texts and the
// exact bytes the printing functions put on standard output.

#include "kx2trace.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QPoint>
#include <QRect>
#include <QRegularExpression>
#include <QSize>
#include <QTemporaryFile>
#include <QtTest>

#include <cstdio>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Sends file descriptor 1 into a temporary file for the object's lifetime;
// take() restores it and returns everything written meanwhile. Test macros
// must not run while capturing, as Qt Test itself prints to stdout.
class StdoutCapture
{
public:
    StdoutCapture()
    {
        m_file.open();
        std::fflush(stdout);
        m_saved = ::dup(STDOUT_FILENO);
        ::dup2(m_file.handle(), STDOUT_FILENO);
    }
    ~StdoutCapture() { restore(); }

    QByteArray take()
    {
        restore();
        m_file.seek(0);
        return m_file.readAll();
    }

private:
    void restore()
    {
        if (m_saved < 0) {
            return;
        }
        std::fflush(stdout);
        ::dup2(m_saved, STDOUT_FILENO);
        ::close(m_saved);
        m_saved = -1;
    }

    QTemporaryFile m_file;
    int m_saved = -1;
};

QByteArray captured(const std::function<void()>& print)
{
    StdoutCapture capture;
    print();
    return capture.take();
}

} // namespace

class TestKX2Trace : public QObject
{
    Q_OBJECT

private slots:
    void prettyLabels_data();
    void prettyLabels();
    void prettyOfThisFunction();
    void compileDateTime();
    void compileDateTimeRejectsUnknownMonth();
    void printStrings_data();
    void printStrings();
    void printlnWithTimeFormat();
    void printlnWithTimeJson();
    void printFamilyFormats();
    void concurrentLinesKeepTheirText();
    void printMutexIsProcessWide();
};

void TestKX2Trace::prettyLabels_data()
{
    QTest::addColumn<QString>("signature");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain, no line") << "main" << 0 << "main";
    QTest::newRow("plain, line") << "main" << 12 << "main#12";
    QTest::newRow("negative line") << "int main(int, char**)" << -3 << "main";
    QTest::newRow("virtual member")
        << "virtual bool ZNAntiVirus::loadConfigure(KX2Journals&, const QJsonObject&)" << 1508
        << "ZNAntiVirus::loadConfigure#1508";
    QTest::newRow("member") << "bool AppData::initialize(const QString&)" << 108
                            << "AppData::initialize#108";
    QTest::newRow("reference return") << "const QString& A::name() const" << 1 << "A::name#1";
    QTest::newRow("pointer return") << "QObject* A::make(int)" << 2 << "A::make#2";
    QTest::newRow("constructor") << "A::A(QObject*)" << 3 << "A::A#3";
    QTest::newRow("template return")
        << "std::map<int, std::function<void(int)> > A::handlers()" << 4 << "A::handlers#4";
    QTest::newRow("template class")
        << "void Box<std::pair<int, int> >::put(int)" << 5 << "Box<std::pair<int, int> >::put#5";
    QTest::newRow("gcc template note")
        << "T Box<T>::get() const [with T = int]" << 6 << "Box<T>::get#6";
    QTest::newRow("call operator") << "bool A::operator()(int) const" << 7 << "A::operator()#7";
    QTest::newRow("less operator") << "bool operator<(const A&, const A&)" << 8 << "operator<#8";
    QTest::newRow("shift operator") << "QDebug operator<<(QDebug, const A&)" << 9 << "operator<<#9";
    QTest::newRow("conversion operator")
        << "A::operator bool() const" << 10 << "A::operator bool#10";
    QTest::newRow("opening parenthesis first") << "(anonymous)::f" << 0 << "(anonymous)::f";
    QTest::newRow("opening parenthesis first, spaces") << "(x) y(z)" << 1 << "y(z)#1";
}

void TestKX2Trace::prettyLabels()
{
    QFETCH(QString, signature);
    QFETCH(int, line);
    QFETCH(QString, expected);
    QCOMPARE(PRETTY(signature, line), expected);
    QCOMPARE(PRETTY(signature.toUtf8().constData(), line), expected);
}

void TestKX2Trace::prettyOfThisFunction()
{
    QCOMPARE(PRETTY(Q_FUNC_INFO, 77), QStringLiteral("TestKX2Trace::prettyOfThisFunction#77"));
}

void TestKX2Trace::compileDateTime()
{
    const QDateTime built = complieDateTime("Aug  4 2024", "21:06:59");
    QCOMPARE(built, QDateTime(QDate(2024, 8, 4), QTime(21, 6, 59), Qt::LocalTime));
    QCOMPARE(QStringLiteral("1.0-") + built.toString(QStringLiteral("yyyy.MM.dd.HHmm")),
             QStringLiteral("1.0-2024.08.04.2106"));

    const QDateTime december = complieDateTime("Dec  6 2026", "09:05:01");
    QCOMPARE(december, QDateTime(QDate(2026, 12, 6), QTime(9, 5, 1, 0), Qt::LocalTime));
    QCOMPARE(complieDateTime("jan 31 1999", "00:00:00").date(), QDate(1999, 1, 31));

    const QDateTime now = complieDateTime(__DATE__, __TIME__);
    QVERIFY(now.isValid());
    QCOMPARE(now.time().msec(), 0);
}

void TestKX2Trace::compileDateTimeRejectsUnknownMonth()
{
    QVERIFY(!complieDateTime("Foo  4 2024", "21:06:59").isValid());
    QVERIFY(!complieDateTime("Feb 30 2024", "21:06:59").isValid());
}

void TestKX2Trace::printStrings_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("true") << QVariant(true) << "true";
    QTest::newRow("false") << QVariant(false) << "false";
    QTest::newRow("json number") << QVariant(QJsonValue(5)) << "";
    QTest::newRow("json bool") << QVariant(QJsonValue(true)) << "";
    QTest::newRow("json null") << QVariant(QJsonValue()) << "";
    QTest::newRow("json string") << QVariant(QJsonValue("text")) << "text";
    QTest::newRow("json value object")
        << QVariant(QJsonValue(QJsonObject{{"a", 1}})) << "{\n    \"a\": 1\n}\n";
    QTest::newRow("json object") << QVariant(QJsonObject{{"a", 1}}) << "{\n    \"a\": 1\n}\n";
    QTest::newRow("json array") << QVariant(QJsonArray{1, "b"}) << "[\n    1,\n    \"b\"\n]\n";
    QTest::newRow("string list") << QVariant(QStringList{"a", "b c"}) << "QStringList(a; b c)";
    QTest::newRow("rect") << QVariant(QRect(1, 2, 30, 40)) << "QRect(1, 2, 30, 40)";
    QTest::newRow("size") << QVariant(QSize(5, 6)) << "QSize(5, 6)";
    QTest::newRow("point") << QVariant(QPoint(-1, 7)) << "QPoint(-1, 7)";
    QTest::newRow("bytes with zero") << QVariant(QByteArray("ab\0cd", 5)) << "ab";
    QTest::newRow("utf-8 bytes") << QVariant(QByteArray("\xe4\xb8\xad")) << QString::fromUtf8("中");
    QTest::newRow("int") << QVariant(5) << "5";
    QTest::newRow("double") << QVariant(0.1) << "0.1";
    QTest::newRow("string") << QVariant(QStringLiteral("as is ")) << "as is ";
    QTest::newRow("date-time") << QVariant(QDateTime(QDate(2024, 8, 4), QTime(21, 6, 59)))
                               << "2024-08-04T21:06:59.000";
    QTest::newRow("invalid") << QVariant() << "";
}

void TestKX2Trace::printStrings()
{
    QFETCH(QVariant, value);
    QFETCH(QString, expected);
    QCOMPARE(toPrintString(value), expected);
}

void TestKX2Trace::printlnWithTimeFormat()
{
    const QDateTime before = QDateTime::currentDateTime();
    const QByteArray out = captured([] {
        PRINTLN_WITHTIME(5);
        PRINTLN_WITHTIME(QJsonValue(5));
        PRINTLN_WITHTIME(QString::fromUtf8("配置文装载成功: /etc/x.json"));
    });
    const QDateTime after = QDateTime::currentDateTime();

    const QList<QByteArray> lines = out.split('\n');
    QCOMPARE(lines.size(), 4);
    QVERIFY(lines.last().isEmpty());
    const QRegularExpression stamp(
        QStringLiteral("^(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d) (.*)$"));
    const QStringList values{"5", "", QString::fromUtf8("配置文装载成功: /etc/x.json")};
    for (int i = 0; i < values.size(); ++i) {
        const QRegularExpressionMatch match = stamp.match(QString::fromUtf8(lines.at(i)));
        QVERIFY2(match.hasMatch(), lines.at(i).constData());
        QCOMPARE(match.captured(2), values.at(i));
        const QDateTime printed = QDateTime::fromString(match.captured(1), "yyyy-MM-dd HH:mm:ss");
        QVERIFY(printed >= before.addMSecs(-before.time().msec()));
        QVERIFY(printed <= after);
    }
}

void TestKX2Trace::printlnWithTimeJson()
{
    const QByteArray out = captured([] { PRINTLN_WITHTIME(QJsonObject{{"a", 1}}); });
    // The stamp stands before the opening brace; the indented text already
    // ends in a newline, so the line adds an empty one.
    QVERIFY2(out.endsWith(" {\n    \"a\": 1\n}\n\n"), out.constData());
    QCOMPARE(out.count('\n'), 4);
}

void TestKX2Trace::printFamilyFormats()
{
    const QByteArray plain = captured([] {
        PRINTLN(QStringLiteral("line"));
        PRINTLN(QStringList{"a", "b"});
        PRINTLN(QList<QJsonObject>{QJsonObject{{"k", 1}}});
        PRINT("no newline");
        PRINT(QVariant(3));
        PRINTNAME(QString());
        PRINTNAME(QStringLiteral("x"));
        KX2StatePrintln(4, QStringLiteral("done"));
    });
    QCOMPARE(plain,
             QByteArray("line\na; b\n[\n    {\n        \"k\": 1\n    }\n]\n\n"
                        "no newline3~~ ~~ ~~x = "
                        "\033[1;30m[\033[31mFAILED \033[1;30m] done\033[0m\n"));

    const QByteArray located = captured([] {
        PRINTLN_WITHTIMEPOS("/src/dir/file.cpp", 42, "f", QVariant(true));
        PRINTLN_WITHTIMEPOS("file.cpp", 0, nullptr, QVariant(1));
        PRINTPOS("C:\\src\\win.cpp", 9, "g");
        PRINT("\n");
        TRACELN(QStringLiteral("t"));
    });
    const QString time = QStringLiteral("\\d\\d:\\d\\d:\\d\\d\\.\\d{3} ");
    const QRegularExpression expected(QStringLiteral("^%1file\\.cpp#42=>f: true\n"
                                                     "%1file\\.cpp: 1\n"
                                                     ">>-->%1win\\.cpp#9 => g: \n"
                                                     "%1t\n$")
                                          .arg(time));
    QVERIFY2(expected.match(QString::fromUtf8(located)).hasMatch(), located.constData());
}

void TestKX2Trace::concurrentLinesKeepTheirText()
{
    // Each thread prints long lines of its own letter; a text split into
    // several writes would show up as a run whose length is not a multiple
    // of the line length.
    const int threadCount = 4;
    const int linesPerThread = 50;
    const int length = 5000;
    const QByteArray out = captured([&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < threadCount; ++t) {
            threads.emplace_back([t, length] {
                const QString text(length, QLatin1Char(char('A' + t)));
                for (int i = 0; i < linesPerThread; ++i) {
                    PRINTLN(text);
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
    });
    QCOMPARE(out.count('\n'), threadCount * linesPerThread);
    QByteArray letters = out;
    letters.replace('\n', QByteArray());
    QCOMPARE(letters.size(), threadCount * linesPerThread * length);
    int runStart = 0;
    for (int i = 1; i <= letters.size(); ++i) {
        if (i == letters.size() || letters.at(i) != letters.at(runStart)) {
            QVERIFY2((i - runStart) % length == 0, qPrintable(QString::number(i - runStart)));
            runStart = i;
        }
    }
}

void TestKX2Trace::printMutexIsProcessWide()
{
    QCOMPARE(PRINTMUTEX(), &KORVELLA::PRINT_MUTEX);
    QVERIFY(PRINTMUTEX()->tryLock());
    PRINTMUTEX()->unlock();
}

QTEST_GUILESS_MAIN(TestKX2Trace)
#include "tst_kx2trace.moc"
