#include "kx2lfqueue.h"

#include <QDeadlineTimer>
#include <QJsonObject>
#include <QString>
#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

namespace {

// Counts live instances so the tests can see whether queued values (and the
// nodes that carry them) are really destroyed.
struct Tracked
{
    static std::atomic<int> live;
    int value = -1;

    Tracked() { live.fetch_add(1); }
    explicit Tracked(int v) : value(v) { live.fetch_add(1); }
    Tracked(const Tracked& other) : value(other.value) { live.fetch_add(1); }
    Tracked& operator=(const Tracked& other) = default;
    ~Tracked() { live.fetch_sub(1); }
};
std::atomic<int> Tracked::live{0};

} // namespace

class TestKX2LFQueue : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void emptyQueue();
    void fifoOnOneThread();
    void qtValueTypes();
    void destructorFreesQueuedValues();
    void poppedNodesAreReclaimedWhileRunning();
    void everyValuePoppedExactlyOnce();
    void sharedStringsAcrossThreads();
};

void TestKX2LFQueue::init()
{
    QCOMPARE(Tracked::live.load(), 0);
}

void TestKX2LFQueue::emptyQueue()
{
    KX2LFQueue<int> queue;
    int value = 42;
    QVERIFY(!queue.pop(value));
    QCOMPARE(value, 42);
    QCOMPARE(queue.count.load(), 0);

    // Drained again after use: still reports empty, value untouched.
    queue.push(1);
    QVERIFY(queue.pop(value));
    QCOMPARE(value, 1);
    value = 7;
    QVERIFY(!queue.pop(value));
    QCOMPARE(value, 7);
}

void TestKX2LFQueue::fifoOnOneThread()
{
    KX2LFQueue<int> queue;
    for (int i = 0; i < 1000; ++i) {
        queue.push(i);
        queue.count.fetch_add(1);
    }
    QCOMPARE(queue.count.load(), 1000);
    // Interleave pushes with pops: order across the two batches is kept.
    for (int i = 0; i < 500; ++i) {
        int value = -1;
        QVERIFY(queue.pop(value));
        queue.count.fetch_sub(1);
        QCOMPARE(value, i);
    }
    for (int i = 1000; i < 1200; ++i)
        queue.push(i);
    for (int i = 500; i < 1200; ++i) {
        int value = -1;
        QVERIFY(queue.pop(value));
        QCOMPARE(value, i);
    }
    int value = -1;
    QVERIFY(!queue.pop(value));
}

void TestKX2LFQueue::qtValueTypes()
{
    KX2LFQueue<QJsonObject> objects;
    objects.push(QJsonObject{{QStringLiteral("from"), QStringLiteral("/a")},
                             {QStringLiteral("to"), QStringLiteral("/b")}});
    QJsonObject original{{QStringLiteral("file"), QStringLiteral("/x")}};
    objects.push(original);
    original.insert(QStringLiteral("file"), QStringLiteral("/changed"));

    QJsonObject out;
    QVERIFY(objects.pop(out));
    QCOMPARE(out.value(QStringLiteral("to")).toString(), QStringLiteral("/b"));
    QVERIFY(objects.pop(out));
    // The queue kept its own copy, not a view of the caller's object.
    QCOMPARE(out.value(QStringLiteral("file")).toString(), QStringLiteral("/x"));

    KX2LFQueue<QByteArray> bytes;
    bytes.push(QByteArrayLiteral("line one"));
    QByteArray line;
    QVERIFY(bytes.pop(line));
    QCOMPARE(line, QByteArrayLiteral("line one"));
}

void TestKX2LFQueue::destructorFreesQueuedValues()
{
    {
        KX2LFQueue<Tracked> queue;
        for (int i = 0; i < 100; ++i)
            queue.push(Tracked(i));
        Tracked out;
        for (int i = 0; i < 40; ++i)
            QVERIFY(queue.pop(out));
        QCOMPARE(out.value, 39);
        QVERIFY(Tracked::live.load() >= 60);
    }
    QCOMPARE(Tracked::live.load(), 0);
}

void TestKX2LFQueue::poppedNodesAreReclaimedWhileRunning()
{
    // A queue that only freed nodes in its destructor would grow without
    // bound in a long-lived service; the live count must stay small.
    KX2LFQueue<Tracked> queue;
    const int baseline = Tracked::live.load();
    int peak = 0;
    Tracked out;
    for (int i = 0; i < 100000; ++i) {
        queue.push(Tracked(i));
        QVERIFY(queue.pop(out));
        peak = std::max(peak, Tracked::live.load() - baseline);
    }
    QCOMPARE(out.value, 99999);
    QVERIFY2(peak < 1000, qPrintable(QStringLiteral("peak live values: %1").arg(peak)));
}

void TestKX2LFQueue::everyValuePoppedExactlyOnce()
{
    constexpr int producers = 4;
    constexpr int consumers = 4;
    constexpr int perProducer = 250000;
    constexpr int total = producers * perProducer;

    KX2LFQueue<int> queue;
    std::atomic<int> popped{0};
    std::atomic<bool> go{false};
    std::atomic<bool> expired{false};
    std::vector<std::vector<int>> taken(consumers);
    std::vector<int> orderViolations(consumers, 0);
    const QDeadlineTimer deadline(120000);

    std::vector<std::thread> threads;
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            while (!go.load())
                std::this_thread::yield();
            for (int i = 0; i < perProducer; ++i) {
                queue.push(p * perProducer + i);
                queue.count.fetch_add(1);
            }
        });
    }
    for (int c = 0; c < consumers; ++c) {
        threads.emplace_back([&, c] {
            while (!go.load())
                std::this_thread::yield();
            std::vector<int> last(producers, -1);
            taken[c].reserve(total / consumers);
            int value = -1;
            while (popped.load() < total) {
                if (!queue.pop(value)) {
                    if (deadline.hasExpired()) {
                        expired.store(true);
                        return;
                    }
                    std::this_thread::yield();
                    continue;
                }
                queue.count.fetch_sub(1);
                popped.fetch_add(1);
                const int producer = value / perProducer;
                if (value <= last[producer])
                    ++orderViolations[c];
                last[producer] = value;
                taken[c].push_back(value);
            }
        });
    }
    go.store(true);
    for (auto& thread : threads)
        thread.join();

    QVERIFY(!expired.load());
    std::vector<unsigned char> seen(total, 0);
    for (int c = 0; c < consumers; ++c) {
        QCOMPARE(orderViolations[c], 0);
        for (int value : taken[c]) {
            QVERIFY(value >= 0 && value < total);
            QVERIFY2(seen[value] == 0, qPrintable(QStringLiteral("popped twice: %1").arg(value)));
            seen[value] = 1;
        }
    }
    QCOMPARE(popped.load(), total);
    QCOMPARE(queue.count.load(), 0);
    int rest = 0;
    QVERIFY(!queue.pop(rest));
}

void TestKX2LFQueue::sharedStringsAcrossThreads()
{
    // Implicitly shared values: the consumer's copy must stay valid after the
    // queue has recycled the node it came from.
    constexpr int total = 50000;
    KX2LFQueue<QString> queue;
    std::vector<QString> received;
    received.reserve(total);
    std::thread producer([&queue] {
        for (int i = 0; i < total; ++i)
            queue.push(QStringLiteral("/data/share/file-%1.bin").arg(i));
    });
    const QDeadlineTimer deadline(60000);
    QString value;
    while (int(received.size()) < total && !deadline.hasExpired()) {
        if (queue.pop(value))
            received.push_back(value);
        else
            std::this_thread::yield();
    }
    producer.join();
    QCOMPARE(int(received.size()), total);
    for (int i = 0; i < total; i += 997)
        QCOMPARE(received[i], QStringLiteral("/data/share/file-%1.bin").arg(i));
    QCOMPARE(received.back(), QStringLiteral("/data/share/file-%1.bin").arg(total - 1));
}

QTEST_GUILESS_MAIN(TestKX2LFQueue)
#include "tst_kx2lfqueue.moc"
