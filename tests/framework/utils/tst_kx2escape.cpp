// The escaped form of untrusted text: each rule, Chinese text untouched,
// and that the form is reversible and keeps everything on one visible line.

#include "kx2escape.h"

#include <QTextCodec>
#include <QtTest>

class TestKX2Escape : public QObject
{
    Q_OBJECT

private slots:
    void rules_data();
    void rules();
    void reversibleAndOnOneLine();
};

void TestKX2Escape::rules_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<QByteArray>("escaped");
    QTest::newRow("chinese") << QByteArray("病毒库未准备就绪") << QByteArray("病毒库未准备就绪");
    QTest::newRow("backslash") << QByteArray("a\\xFF") << QByteArray("a\\\\xFF");
    QTest::newRow("forged line") << QByteArray("a\n2026 [task-end]\r\t")
                                 << QByteArray("a\\n2026 [task-end]\\r\\t");
    QTest::newRow("terminal escape")
        << QByteArray("\x1b[31m\x07\x7f") << QByteArray("\\x1B[31m\\x07\\x7F");
    QTest::newRow("invalid bytes")
        << QByteArray("\xff\xc3(\xe4\xb8") << QByteArray("\\xFF\\xC3(\\xE4\\xB8");
    QTest::newRow("c1 control") << QByteArray("\xc2\x9b[31m") << QByteArray("\\u009B[31m");
    QTest::newRow("bidi override")
        << QByteArray("txt\xe2\x80\xae.exe.com") << QByteArray("txt\\u202E.exe.com");
    QTest::newRow("tag character") << QByteArray("\xf3\xa0\x80\x81") << QByteArray("\\U000E0001");
    QTest::newRow("emoji") << QByteArray("\xf0\x9f\x98\x80") << QByteArray("\xf0\x9f\x98\x80");
}

void TestKX2Escape::rules()
{
    QFETCH(QByteArray, raw);
    QFETCH(QByteArray, escaped);
    QCOMPARE(kx2Escaped(raw), escaped);
    if (QString::fromUtf8(raw).toUtf8() == raw)
        QCOMPARE(kx2Escaped(QString::fromUtf8(raw)), QString::fromUtf8(escaped));
}

namespace {

// The inverse of the escaped form, as an administrator's script would do it.
QByteArray unescaped(const QByteArray& text)
{
    QByteArray out;
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) != '\\') {
            out.append(text.at(i));
            continue;
        }
        const char kind = text.at(++i);
        if (kind == 'n' || kind == 't' || kind == 'r' || kind == '\\') {
            out.append(kind == 'n' ? '\n' : kind == 't' ? '\t' : kind == 'r' ? '\r' : '\\');
            continue;
        }
        const int digits = kind == 'x' ? 2 : kind == 'u' ? 4 : 8;
        const uint code = text.mid(i + 1, digits).toUInt(nullptr, 16);
        i += digits;
        if (kind == 'x')
            out.append(char(code));
        else if (QChar::requiresSurrogates(code))
            out.append(
                (QString(QChar(QChar::highSurrogate(code))) + QChar(QChar::lowSurrogate(code)))
                    .toUtf8());
        else
            out.append(QString(QChar(code)).toUtf8());
    }
    return out;
}

} // namespace

// Every byte value, alone and inside Chinese text, comes back unchanged,
// and no escaped form holds a character that moves the cursor or the line.
void TestKX2Escape::reversibleAndOnOneLine()
{
    QList<QByteArray> samples{QByteArray("\\\\n\\x41"),
                              QByteArray("\xc2\x85 \xe2\x80\xa9 \xef\xbb\xbf")};
    for (int b = 0; b < 256; ++b)
        samples << QByteArray(1, char(b)) << "隔离" + QByteArray(1, char(b)) + "区\\";
    QTextCodec* utf8 = QTextCodec::codecForName("UTF-8");
    for (const QByteArray& raw : qAsConst(samples)) {
        const QByteArray escaped = kx2Escaped(raw);
        QCOMPARE(unescaped(escaped), raw);
        QTextCodec::ConverterState state;
        const QString text = utf8->toUnicode(escaped.constData(), escaped.size(), &state);
        QCOMPARE(state.invalidChars, 0);
        for (const QChar c : text)
            QVERIFY2(c.unicode() >= 0x20 && c.unicode() != 0x7f
                         && (c.unicode() < 0x80 || c.unicode() > 0x9f),
                     escaped.constData());
    }
}

QTEST_GUILESS_MAIN(TestKX2Escape)
#include "tst_kx2escape.moc"
