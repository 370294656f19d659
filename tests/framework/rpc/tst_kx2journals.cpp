// Journals, error records and the request environment: the reply rules,
// journal entries, timing and the environment's guarded stores.

#include <QElapsedTimer>
#include <QtTest>

#include <chrono>
#include <thread>
#include <vector>

#include "kx2cabinet.h"
#include "kx2journals.h"

namespace {

// Lets at least `ms` milliseconds of monotonic time pass; the journals'
// clocks are what is under test, so real time has to elapse. The thread
// sleeps for what is left rather than spinning, so the core stays free for
// other work; an early wake-up just sleeps again.
void letTimePass(qint64 ms)
{
    QElapsedTimer clock;
    clock.start();
    for (qint64 left = ms; left > 0; left = ms - clock.elapsed())
        std::this_thread::sleep_for(std::chrono::milliseconds(left));
}

QStringList sortedKeys(const QJsonObject& object)
{
    QStringList keys = object.keys();
    keys.sort();
    return keys;
}

} // namespace

class TestKX2Journals : public QObject
{
    Q_OBJECT
private slots:
    void replyRules_data();
    void replyRules();
    void replyRulesKeepForeignKeys();
    void replyDetails();
    void toObjectAlwaysCarriesTiming();
    void entryMessageRules();
    void rawEntriesAndReset();
    void stepAndEndMeasureIntervals();
    void replyConversionCountsOpenInterval();
    void errorRecordDifferences();
    void errorRecordClockStartsOnBegin();
    void cabinetIsTheJournal();
    void cabinetAttributesAndStore();
    void cabinetStoreFromManyThreads();
};

void TestKX2Journals::replyRules_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QJsonObject>("expected");

    QTest::newRow("fresh") << int(KX2ErrorCode::NoResult) << QString()
                           << QJsonObject{{"err", 9999}};
    QTest::newRow("failure with message")
        << 9995 << QStringLiteral("缺少参数: path")
        << QJsonObject{{"err", 9995}, {"errmsg", QStringLiteral("缺少参数: path")}};
    QTest::newRow("failure without message") << 9994 << QString() << QJsonObject{{"err", 9994}};
    QTest::newRow("10000 suppresses message")
        << 10000 << QStringLiteral("hidden") << QJsonObject{{"err", 10000}};
    QTest::newRow("success suppresses message")
        << 0 << QStringLiteral("done") << QJsonObject{{"err", 0}};
}

void TestKX2Journals::replyRules()
{
    QFETCH(int, code);
    QFETCH(QString, message);
    QFETCH(QJsonObject, expected);

    KX2Journals journal;
    if (code != KX2ErrorCode::NoResult)
        journal.setErr(code, message);
    QJsonObject reply;
    journal.toRetObject(reply, false);
    QCOMPARE(reply, expected);
    // The suppressed message stays in the record.
    QCOMPARE(journal.errmsg(), message);

    QJsonObject viaPointer;
    journal.toRetObject(&viaPointer, false);
    QCOMPARE(viaPointer, expected);
}

void TestKX2Journals::replyRulesKeepForeignKeys()
{
    KX2Journals journal;
    journal.setErr(0, QStringLiteral("ignored"));
    QJsonObject reply{{"err", 9999}, {"errmsg", "from the method"}, {"results", 5}};
    journal.toRetObject(reply, false);
    QCOMPARE(reply, (QJsonObject{{"err", 0}, {"errmsg", "from the method"}, {"results", 5}}));

    journal.setErr(9871, QStringLiteral("请稍后再试"));
    journal.toRetObject(reply, false);
    QCOMPARE(reply.value("errmsg").toString(), QStringLiteral("请稍后再试"));

    journal.toRetObject(static_cast<QJsonObject*>(nullptr), true); // ignored, no crash
}

void TestKX2Journals::replyDetails()
{
    KX2Journals journal;
    journal.setErr(0, QString());
    QJsonObject plain;
    journal.toRetObject(plain, true);
    QCOMPARE(sortedKeys(plain), (QStringList{"elapsed", "err"}));
    QVERIFY(plain.value("elapsed").isDouble());

    journal.add(QStringLiteral("here"), QStringLiteral("open"), true, QStringLiteral("ok"));
    QJsonObject detailed;
    journal.toRetObject(detailed, true);
    QCOMPARE(sortedKeys(detailed), (QStringList{"elapsed", "err", "journals"}));
    QCOMPARE(detailed.value("journals").toArray(), journal.segments());
    QCOMPARE(detailed.value("elapsed").toVariant().toLongLong(), journal.times());

    QJsonObject withoutDetails;
    journal.toRetObject(withoutDetails, false);
    QCOMPARE(sortedKeys(withoutDetails), QStringList{"err"});
}

void TestKX2Journals::toObjectAlwaysCarriesTiming()
{
    KX2Journals journal;
    QCOMPARE(journal.toObject(), (QJsonObject{{"err", 9999}, {"elapsed", 0}}));

    journal.setErr(9983, QStringLiteral("病毒库未就绪"));
    journal.add(QJsonObject{{"place", "x"}});
    const qint64 before = journal.times();
    letTimePass(5); // a conversion that set a mark would now grow the total
    const QJsonObject object = journal.toObject();
    QCOMPARE(journal.times(), before); // no clock mark
    QCOMPARE(object.value("err").toInt(), 9983);
    QCOMPARE(object.value("errmsg").toString(), QStringLiteral("病毒库未就绪"));
    QCOMPARE(object.value("elapsed").toVariant().toLongLong(), before);
    QCOMPARE(object.value("journals").toArray().size(), 1);

    journal.setErr(10000, QStringLiteral("hidden"));
    QVERIFY(!journal.toObject().contains("errmsg"));
}

void TestKX2Journals::entryMessageRules()
{
    KX2Journals journal;
    journal.setErr(7, QStringLiteral("disk full"));
    const QJsonObject inherited = journal.add("f#1", "write", false, QString());
    QCOMPARE(inherited.value("msg").toString(), QStringLiteral("disk full"));
    QCOMPARE(inherited.value("place").toString(), QStringLiteral("f#1"));
    QCOMPARE(inherited.value("action").toString(), QStringLiteral("write"));
    QCOMPARE(inherited.value("success").toBool(), false);
    QVERIFY(inherited.value("times").isDouble());

    const QJsonObject own = journal.add("f#2", "read", true, QStringLiteral("own text"));
    QCOMPARE(own.value("msg").toString(), QStringLiteral("own text"));
    QCOMPARE(own.value("success").toBool(), true);

    journal.setErrmsg(QString());
    QCOMPARE(journal.err(), 7); // setErrmsg leaves the code
    const QJsonObject silent = journal.add("f#3", "close", true);
    QVERIFY(!silent.contains("msg"));

    const QJsonArray segments = journal.segments();
    QCOMPARE(segments.size(), 3);
    QCOMPARE(segments.at(0).toObject(), inherited);
    QCOMPARE(segments.at(2).toObject(), silent);

    journal.setErr(3, QString()); // an empty message replaces too
    QCOMPARE(journal.errmsg(), QString());
}

void TestKX2Journals::rawEntriesAndReset()
{
    KX2Journals journal;
    const QJsonObject object{{"anything", 1}};
    const QJsonArray array{1, "two"};
    journal.add(object);
    journal.add(array);
    QCOMPARE(journal.segments(), (QJsonArray{object, array}));

    journal.setSegments(QJsonArray{object});
    QCOMPARE(journal.segments().size(), 1);

    letTimePass(5);
    journal.step();
    QVERIFY(journal.times() > 0);
    journal.reset(9969, QStringLiteral("创建失败"), QJsonArray{array});
    QCOMPARE(journal.err(), 9969);
    QCOMPARE(journal.errmsg(), QStringLiteral("创建失败"));
    QCOMPARE(journal.segments(), QJsonArray{array});
    QCOMPARE(journal.times(), qint64(0));
}

void TestKX2Journals::stepAndEndMeasureIntervals()
{
    KX2Journals journal;
    QElapsedTimer outer;
    outer.start();
    journal.begin();
    letTimePass(25);
    const qint64 first = journal.step();
    QVERIFY2(first >= 25, qPrintable(QString::number(first)));
    QVERIFY(first <= outer.elapsed());
    QCOMPARE(journal.times(), first);

    letTimePass(15);
    const qint64 second = journal.step();
    QVERIFY(second >= 15);
    letTimePass(10);
    const qint64 total = journal.end();
    QVERIFY(total >= first + second + 10);
    QCOMPARE(journal.times(), total);
    QVERIFY(total <= outer.elapsed());

    letTimePass(10);
    QElapsedTimer sinceBegin;
    sinceBegin.start();
    journal.begin(); // zeroes the total and restarts the clock
    QCOMPARE(journal.times(), qint64(0));
    QVERIFY(journal.step() <= sinceBegin.elapsed());
}

void TestKX2Journals::replyConversionCountsOpenInterval()
{
    KX2Journals journal;
    journal.begin();
    letTimePass(20);
    QElapsedTimer sinceConversion;
    sinceConversion.start();
    QJsonObject reply;
    journal.toRetObject(reply, true);
    QVERIFY(reply.value("elapsed").toVariant().toLongLong() >= 20);
    // The conversion set a mark: the next step measures only what followed.
    QVERIFY(journal.step() <= sinceConversion.elapsed());

    // Without details the reply shows no timing, but the interval still
    // counts into the total.
    KX2Journals plain;
    plain.begin();
    letTimePass(15);
    QJsonObject brief;
    plain.toRetObject(brief, false);
    QVERIFY(!brief.contains("elapsed"));
    QVERIFY2(plain.times() >= 15, qPrintable(QString::number(plain.times())));
}

void TestKX2Journals::errorRecordDifferences()
{
    KX2Error error(9992, QStringLiteral("扫描正在运行"));
    QCOMPARE(error.err(), 9992);
    QCOMPARE(error.errmsg(), QStringLiteral("扫描正在运行"));

    error.setErrmsg(QStringLiteral("  padded \n"));
    QCOMPARE(error.errmsg(), QStringLiteral("padded"));

    const QString text = error.setError(9975, " row %d of %s ", 4, "t_log");
    QCOMPARE(text, QStringLiteral(" row 4 of t_log "));
    QCOMPARE(error.err(), 9975);
    QCOMPARE(error.errmsg(), QStringLiteral("row 4 of t_log"));

    error.setErrmsg(QString());
    const QJsonObject entry = error.add("g#9", "delete", false);
    QVERIFY(entry.contains("msg")); // always written, even empty
    QCOMPARE(entry.value("msg").toString(), QString());
    QCOMPARE(error.journals().size(), 1);

    error.setErr(9975, QStringLiteral("删除失败"));
    QJsonObject written{{"other", true}};
    error.write(written);
    QCOMPARE(written, (QJsonObject{{"other", true}, {"err", 9975}, {"errmsg", "删除失败"}}));
    error.write(nullptr);

    const QJsonObject object = error.toObject();
    QCOMPARE(sortedKeys(object), (QStringList{"elapsed", "err", "errmsg", "journals"}));

    error.setErr(10000, QStringLiteral("quiet"));
    QJsonObject quiet;
    error.write(&quiet);
    QCOMPARE(quiet, (QJsonObject{{"err", 10000}}));

    error.setJournals(QJsonArray());
    QVERIFY(!error.toObject().contains("journals"));
}

void TestKX2Journals::errorRecordClockStartsOnBegin()
{
    KX2Error error(0, QString());
    letTimePass(15);
    QCOMPARE(error.step(), qint64(0)); // clock not started yet
    QCOMPARE(error.end(), qint64(0));

    error.reset(1, QStringLiteral("again"), QJsonArray{1});
    QCOMPARE(error.times(), qint64(0));
    letTimePass(15);
    QVERIFY(error.step() >= 15);

    error.begin();
    QCOMPARE(error.times(), qint64(0));
    letTimePass(10);
    QVERIFY(error.end() >= 10);
}

void TestKX2Journals::cabinetIsTheJournal()
{
    KX2Cabinet cabinet;
    KX2Journals& journal = cabinet;
    QCOMPARE(journal.err(), 9999);
    journal.setErr(9885, QStringLiteral("被调用的方法不存在: x"));
    QCOMPARE(cabinet.err(), 9885);
    QJsonObject reply;
    cabinet.toRetObject(reply, false);
    QCOMPARE(reply.value("errmsg").toString(), QStringLiteral("被调用的方法不存在: x"));
}

void TestKX2Journals::cabinetAttributesAndStore()
{
    KX2Cabinet cabinet;
    QVERIFY(!cabinet.isLocal());
    cabinet.setLocal(true);
    QVERIFY(cabinet.isLocal());
    QVERIFY(cabinet.token().isEmpty());
    cabinet.setToken(QStringLiteral("t0k"));
    QCOMPARE(cabinet.token(), QStringLiteral("t0k"));

    QVERIFY(cabinet.value("protocol").isUndefined());
    cabinet.insert("protocol", 128);
    QCOMPARE(cabinet.value("protocol").toInt(), 128);
    QCOMPARE(cabinet.object(), (QJsonObject{{"protocol", 128}}));

    QJsonValue out(QStringLiteral("untouched"));
    QVERIFY(!cabinet.get("missing", out));
    QCOMPARE(out.toString(), QStringLiteral("untouched"));
    QCOMPARE(cabinet.getString("missing"), QString());

    cabinet.set("count", 3.0);
    cabinet.set("name", QStringLiteral("scan"));
    QVERIFY(cabinet.get("count", out));
    QCOMPARE(out.toDouble(), 3.0);
    QCOMPARE(cabinet.getString("count"), QStringLiteral("3"));
    QCOMPARE(cabinet.getString("name"), QStringLiteral("scan"));
    cabinet.set("name", QStringLiteral("update"));
    QCOMPARE(cabinet.getString("name"), QStringLiteral("update"));

    QStringList keys = cabinet.keys();
    keys.sort();
    QCOMPARE(keys, (QStringList{"count", "name"}));
    QVERIFY(cabinet.contains("count"));
    cabinet.remove("count");
    QVERIFY(!cabinet.contains("count"));
    cabinet.clear();
    QVERIFY(cabinet.keys().isEmpty());
    QCOMPARE(cabinet.object().size(), 1); // attributes are a separate map
}

void TestKX2Journals::cabinetStoreFromManyThreads()
{
    KX2Cabinet cabinet;
    constexpr int threadCount = 4;
    constexpr int rounds = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&cabinet, t] {
            const QString own = QStringLiteral("k%1").arg(t);
            for (int i = 0; i < rounds; ++i) {
                cabinet.set(own, i);
                cabinet.insert(own, i);
                QJsonValue value;
                cabinet.get(own, value);
                cabinet.keys();
                cabinet.object();
                cabinet.set(QStringLiteral("s%1").arg(t), i);
                cabinet.remove(QStringLiteral("s%1").arg((t + 1) % threadCount));
            }
            cabinet.set(own, rounds);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int t = 0; t < threadCount; ++t) {
        QCOMPARE(cabinet.getString(QStringLiteral("k%1").arg(t)), QString::number(rounds));
        QCOMPARE(cabinet.value(QStringLiteral("k%1").arg(t)).toInt(), rounds - 1);
    }
}

QTEST_GUILESS_MAIN(TestKX2Journals)
#include "tst_kx2journals.moc"
