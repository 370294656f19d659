// Conversion rules of the loose JSON value helpers.

#include "kx2values.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

#include <limits>

class TestKX2Values : public QObject
{
    Q_OBJECT

private slots:
    void toStringRules_data();
    void toStringRules();
    void toStringDefault();
    void toIntRules_data();
    void toIntRules();
    void toIntDefaultOnlyForValuesWithoutNumber();
    void toInt64Rules();
    void toDoubleRules();
    void toBoolOfText_data();
    void toBoolOfText();
    void isTrueOfValue_data();
    void isTrueOfValue();
    void toStringsBlanks();
};

void TestKX2Values::toStringRules_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("string") << QJsonValue("abc") << "abc";
    QTest::newRow("integral double") << QJsonValue(3.0) << "3";
    QTest::newRow("negative integral") << QJsonValue(-42) << "-42";
    QTest::newRow("fraction") << QJsonValue(0.1) << "0.100000";
    QTest::newRow("half") << QJsonValue(2.5) << "2.500000";
    QTest::newRow("int max") << QJsonValue(2147483647.0) << "2147483647";
    QTest::newRow("beyond int") << QJsonValue(3000000000.0) << "3000000000.000000";
    QTest::newRow("true") << QJsonValue(true) << "";
    QTest::newRow("null") << QJsonValue() << "";
    QTest::newRow("array") << QJsonValue(QJsonArray{1}) << "";
    QTest::newRow("object") << QJsonValue(QJsonObject{{"a", 1}}) << "";
    QTest::newRow("undefined") << QJsonValue(QJsonValue::Undefined) << "";
}

void TestKX2Values::toStringRules()
{
    QFETCH(QJsonValue, value);
    QFETCH(QString, expected);
    QCOMPARE(toString(value), expected);
}

void TestKX2Values::toStringDefault()
{
    QCOMPARE(toString(QJsonValue(true), QStringLiteral("dflt")), QStringLiteral("dflt"));
    QCOMPARE(toString(QJsonValue(""), QStringLiteral("dflt")), QStringLiteral("dflt"));
    QCOMPARE(toString(QJsonValue(0), QStringLiteral("dflt")), QStringLiteral("0"));
    QCOMPARE(toString(QJsonValue(" "), QStringLiteral("dflt")), QStringLiteral(" "));
}

void TestKX2Values::toIntRules_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("decimal text") << QJsonValue("5") << 5;
    QTest::newRow("negative text") << QJsonValue("-12") << -12;
    QTest::newRow("hex with prefix") << QJsonValue("0x1A") << 26;
    QTest::newRow("hex without prefix") << QJsonValue("1a") << 26;
    // Text that fails as decimal but is valid hexadecimal is read as such.
    QTest::newRow("hex digits only") << QJsonValue("12abc") << 0x12abc;
    QTest::newRow("neither base") << QJsonValue("12xyz") << 0;
    QTest::newRow("decimal overflow, no hex") << QJsonValue("99999999999") << 0;
    QTest::newRow("fraction text") << QJsonValue("1.5") << 0;
    QTest::newRow("empty text") << QJsonValue("") << 0;
    QTest::newRow("positive fraction") << QJsonValue(7.9) << 7;
    QTest::newRow("negative fraction") << QJsonValue(-7.9) << -7;
    QTest::newRow("true") << QJsonValue(true) << 1;
    QTest::newRow("false") << QJsonValue(false) << 0;
    QTest::newRow("null") << QJsonValue() << 0;
    QTest::newRow("huge saturates") << QJsonValue(1e300) << std::numeric_limits<int>::max();
    QTest::newRow("tiny saturates") << QJsonValue(-1e300) << std::numeric_limits<int>::min();
}

void TestKX2Values::toIntRules()
{
    QFETCH(QJsonValue, value);
    QFETCH(int, expected);
    QCOMPARE(toInt(value), expected);
}

void TestKX2Values::toIntDefaultOnlyForValuesWithoutNumber()
{
    QCOMPARE(toInt(QJsonValue(), 7), 7);
    QCOMPARE(toInt(QJsonValue(QJsonValue::Undefined), 7), 7);
    QCOMPARE(toInt(QJsonValue(QJsonArray{3}), 7), 7);
    QCOMPARE(toInt(QJsonValue(QJsonObject()), 7), 7);
    QCOMPARE(toInt(QJsonValue("xyz"), 7), 0);
    QCOMPARE(toInt(QJsonValue(false), 7), 0);
    QCOMPARE(toInt(QJsonValue(4.2), 7), 4);
}

void TestKX2Values::toInt64Rules()
{
    QCOMPARE(toInt64(QJsonValue(5000000000.0)), Q_INT64_C(5000000000));
    QCOMPARE(toInt64(QJsonValue("5000000000")), Q_INT64_C(5000000000));
    QCOMPARE(toInt64(QJsonValue("0x100000000")), Q_INT64_C(4294967296));
    QCOMPARE(toInt64(QJsonValue(-7.9)), Q_INT64_C(-7));
    QCOMPARE(toInt64(QJsonValue(true)), Q_INT64_C(1));
    QCOMPARE(toInt64(QJsonValue("12xyz")), Q_INT64_C(0));
    QCOMPARE(toInt64(QJsonValue(QJsonObject())), Q_INT64_C(0));
}

void TestKX2Values::toDoubleRules()
{
    QCOMPARE(toDouble(QJsonValue(2.25)), 2.25);
    QCOMPARE(toDouble(QJsonValue("2.25")), 2.25);
    QCOMPARE(toDouble(QJsonValue("two")), 0.0);
    QCOMPARE(toDouble(QJsonValue(true)), 1.0);
    QCOMPARE(toDouble(QJsonValue(false)), 0.0);
    QCOMPARE(toDouble(QJsonValue()), 0.0);
}

void TestKX2Values::toBoolOfText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("expected");
    const char* const trueTexts[] = {"1",  "2",  "10", "true", "TRUE", "yes", "YES",
                                     "ok", "Ok", "y",  "Y",    "t",    "T"};
    for (const char* text : trueTexts) {
        QTest::newRow(text) << QString::fromLatin1(text) << true;
    }
    const char* const falseTexts[] = {"0",    "-1",   "no",   "false", "",   "on",
                                      " yes", "yes ", "yess", "tru",   "0x1"};
    for (const char* text : falseTexts) {
        QTest::newRow(qPrintable(QStringLiteral("'%1'").arg(QLatin1String(text))))
            << QString::fromLatin1(text) << false;
    }
}

void TestKX2Values::toBoolOfText()
{
    QFETCH(QString, text);
    QFETCH(bool, expected);
    QCOMPARE(toBool(text), expected);
    QCOMPARE(isTrue(text), expected);
    QCOMPARE(toBool(qPrintable(text)), expected);
}

void TestKX2Values::isTrueOfValue_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<bool>("expected");
    QTest::newRow("1") << QJsonValue(1) << true;
    QTest::newRow("0.5") << QJsonValue(0.5) << true;
    QTest::newRow("0") << QJsonValue(0) << false;
    QTest::newRow("-3") << QJsonValue(-3) << false;
    QTest::newRow("true") << QJsonValue(true) << true;
    QTest::newRow("false") << QJsonValue(false) << false;
    QTest::newRow("'yes'") << QJsonValue("yes") << true;
    QTest::newRow("'5'") << QJsonValue("5") << true;
    QTest::newRow("'no'") << QJsonValue("no") << false;
    QTest::newRow("null") << QJsonValue() << false;
    QTest::newRow("array") << QJsonValue(QJsonArray{true}) << false;
    QTest::newRow("object") << QJsonValue(QJsonObject{{"a", true}}) << false;
}

void TestKX2Values::isTrueOfValue()
{
    QFETCH(QJsonValue, value);
    QFETCH(bool, expected);
    QCOMPARE(isTrue(value), expected);
    QCOMPARE(toBool(value), expected);
}

void TestKX2Values::toStringsBlanks()
{
    const QJsonArray array{"a", " ", 5, QJsonValue(), " b "};
    QCOMPARE(toStrings(array, true), (QStringList{"a", "5", " b "}));
    QCOMPARE(toStrings(array, false), (QStringList{"a", " ", "5", "", " b "}));
    QCOMPARE(toStrings(QJsonValue("a"), false), QStringList());
    QCOMPARE(toStrings(QJsonValue(QJsonObject{{"a", "b"}}), false), QStringList());
}

QTEST_APPLESS_MAIN(TestKX2Values)
#include "tst_kx2values.moc"
