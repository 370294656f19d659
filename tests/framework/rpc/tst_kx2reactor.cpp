// KX2Reactor over real socket pairs: an item is served by one thread at a
// time however many threads serve the set, an item stuck in a long turn
// holds no other item up, items staying with their threads are capped and
// leave the set served, and the threads leave once nothing is registered
// (and come back for the next registration).

#include "kx2reactor.h"

#include <QtTest>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace {

const int kWaitMs = 10000;

// Reads a piece of what its socket holds each turn and counts it; ends
// when the peer closes. With `gate`, its first turn waits until the gate opens.
class CountingItem : public KX2Pollable
{
public:
    CountingItem(std::shared_ptr<KX2Reactor> reactor, int fd) : reactor(std::move(reactor)), fd(fd)
    {
    }
    ~CountingItem() override { ::close(fd); }

    void ready() override
    {
        if (inside.fetch_add(1) != 0)
            overlapped = true;
        if (gate)
            gate->wait();
        gate = nullptr;
        // One small piece a turn, so the socket is still readable while
        // this turn lasts, and the turn gives the other threads time to
        // take the socket too if they could.
        char chunk[64];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (got > 0)
            received += got;
        std::this_thread::yield();
        if (stayGate) {
            const bool granted = reactor->beginStay();
            stayResult.store(granted ? 1 : -1);
            if (granted) {
                stayGate->wait();
                reactor->endStay();
            }
        }
        ++turns;
        inside.fetch_sub(1);
        if (got == 0) {
            reactor->remove(fd);
            done.store(true); // last use of this item by the reactor
            return;
        }
        reactor->rearm(fd, this);
    }

    struct Gate
    {
        void wait()
        {
            std::unique_lock<std::mutex> lock(mutex);
            entered = true;
            changed.notify_all();
            changed.wait(lock, [this] { return open; });
        }
        void release()
        {
            std::lock_guard<std::mutex> lock(mutex);
            open = true;
            changed.notify_all();
        }
        std::mutex mutex;
        std::condition_variable changed;
        bool entered = false;
        bool open = false;
    };

    const std::shared_ptr<KX2Reactor> reactor;
    const int fd;
    Gate* gate = nullptr; // set before the item is added
    // With `stayGate`, every turn asks to stay and, when allowed, stays
    // until the gate opens; `stayResult` is 1 when allowed, -1 when not.
    Gate* stayGate = nullptr;
    std::atomic<int> stayResult{0};
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<qint64> received{0};
    std::atomic<int> turns{0};
    std::atomic<bool> done{false};
};

// An item on one end of a new socket pair, added to `reactor`; the other
// end is returned through `peer`.
std::unique_ptr<CountingItem> addItem(const std::shared_ptr<KX2Reactor>& reactor, int& peer,
                                      CountingItem::Gate* gate = nullptr)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return nullptr;
    auto item = std::make_unique<CountingItem>(reactor, fds[0]);
    item->gate = gate;
    peer = fds[1];
    if (!reactor->add(fds[0], item.get()))
        return nullptr;
    return item;
}

} // namespace

class tst_KX2Reactor : public QObject
{
    Q_OBJECT

private slots:
    void itemServedByOneThreadAtATime();
    void stuckItemHoldsUpNoOther();
    void stayingIsCappedAndLeavesTheSetServed();
    void threadsLeaveWhenNothingIsRegistered();
};

void tst_KX2Reactor::itemServedByOneThreadAtATime()
{
    const auto reactor = KX2Reactor::create(8);
    QVERIFY(reactor);
    const int kItems = 16;
    const int kWrites = 300;
    std::vector<std::unique_ptr<CountingItem>> items;
    std::vector<int> peers(kItems);
    for (int i = 0; i < kItems; ++i) {
        items.push_back(addItem(reactor, peers[i]));
        QVERIFY(items.back());
    }
    // Two writers keep every socket ready again and again while threads
    // serve them.
    std::atomic<int> failedWrites{0};
    auto write = [&](int first) {
        const char bytes[64] = {};
        for (int n = 0; n < kWrites; ++n)
            for (int i = first; i < kItems; i += 2)
                if (::send(peers[i], bytes, sizeof bytes, MSG_NOSIGNAL) != ssize_t(sizeof bytes))
                    ++failedWrites;
    };
    std::thread even(write, 0);
    std::thread odd(write, 1);
    even.join();
    odd.join();
    QCOMPARE(failedWrites.load(), 0);
    for (int fd : peers)
        ::close(fd);
    for (const auto& item : items) {
        QTRY_VERIFY_WITH_TIMEOUT(item->done.load(), kWaitMs);
        QCOMPARE(item->received.load(), qint64(kWrites) * 64);
        QVERIFY(!item->overlapped.load());
    }
}

void tst_KX2Reactor::stuckItemHoldsUpNoOther()
{
    const auto reactor = KX2Reactor::create(8);
    QVERIFY(reactor);
    CountingItem::Gate gate;
    int stuckPeer = -1;
    const auto stuck = addItem(reactor, stuckPeer, &gate);
    QVERIFY(stuck);
    QCOMPARE(::send(stuckPeer, "x", 1, MSG_NOSIGNAL), ssize_t(1));
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            std::lock_guard<std::mutex> lock(gate.mutex);
            return gate.entered;
        }(),
        kWaitMs);
    // Every other item keeps being served while that turn lasts.
    {
        std::vector<std::unique_ptr<CountingItem>> others;
        std::vector<int> peers;
        // However the test ends, the stuck turn ends and every item is done
        // with before the items go.
        struct Ending
        {
            ~Ending()
            {
                gate.release();
                ::close(stuckPeer);
                for (int peer : peers)
                    ::close(peer);
                QTRY_VERIFY_WITH_TIMEOUT(stuck->done.load(), kWaitMs);
                for (const auto& item : others)
                    QTRY_VERIFY_WITH_TIMEOUT(item->done.load(), kWaitMs);
            }
            CountingItem::Gate& gate;
            int stuckPeer;
            const std::unique_ptr<CountingItem>& stuck;
            std::vector<int>& peers;
            std::vector<std::unique_ptr<CountingItem>>& others;
        } ending{gate, stuckPeer, stuck, peers, others};
        for (int i = 0; i < 4; ++i) {
            peers.push_back(-1);
            others.push_back(addItem(reactor, peers.back()));
            QVERIFY(others.back());
        }
        for (int round = 1; round <= 3; ++round) {
            for (int peer : peers)
                QCOMPARE(::send(peer, "y", 1, MSG_NOSIGNAL), ssize_t(1));
            for (const auto& item : others)
                QTRY_COMPARE_WITH_TIMEOUT(item->received.load(), qint64(round), kWaitMs);
        }
        // The thread that stood in is not needed once the turn is over: it
        // parks, and the others still serve everything.
        gate.release();
        for (int round = 4; round <= 6; ++round) {
            for (int peer : peers)
                QCOMPARE(::send(peer, "y", 1, MSG_NOSIGNAL), ssize_t(1));
            for (const auto& item : others)
                QTRY_COMPARE_WITH_TIMEOUT(item->received.load(), qint64(round), kWaitMs);
        }
    }
    // Parked or not, every thread leaves an empty set.
    QTRY_COMPARE_WITH_TIMEOUT(reactor->threadCount(), 0, kWaitMs);
}

void tst_KX2Reactor::stayingIsCappedAndLeavesTheSetServed()
{
    // Four threads at most: two may stay.
    const auto reactor = KX2Reactor::create(4);
    QVERIFY(reactor);
    QVERIFY(!reactor->beginStay()); // not a reactor thread
    CountingItem::Gate stayGate;
    CountingItem::Gate holdGate;
    std::vector<std::unique_ptr<CountingItem>> items;
    std::vector<int> peers;
    struct Ending
    {
        ~Ending()
        {
            stayGate.release();
            holdGate.release();
            for (int peer : peers)
                ::close(peer);
            for (const auto& item : items)
                QTRY_VERIFY_WITH_TIMEOUT(item->done.load(), kWaitMs);
        }
        CountingItem::Gate& stayGate;
        CountingItem::Gate& holdGate;
        std::vector<int>& peers;
        std::vector<std::unique_ptr<CountingItem>>& items;
    } ending{stayGate, holdGate, peers, items};
    std::map<const CountingItem*, int> peerOf;
    const auto add = [&](CountingItem::Gate* gate, CountingItem::Gate* stay) {
        peers.push_back(-1);
        items.push_back(addItem(reactor, peers.back(), gate));
        if (items.back()) {
            items.back()->stayGate = stay;
            peerOf[items.back().get()] = peers.back();
        }
        return items.back().get();
    };
    const auto poke = [&](const CountingItem* item) {
        return ::send(peerOf.at(item), "s", 1, MSG_NOSIGNAL) == 1;
    };
    // An item that comes alone, with nothing staying, gains nothing by
    // staying and is refused.
    CountingItem* alone = add(nullptr, &stayGate);
    QVERIFY(alone && poke(alone));
    QTRY_COMPARE_WITH_TIMEOUT(alone->stayResult.load(), -1, kWaitMs);
    // The only thread is held (and no other may start); meanwhile two
    // items become ready, so the next look at the set takes both in one
    // batch, the stayer last.
    reactor->setMaxThreads(1);
    CountingItem* holder = add(&holdGate, nullptr);
    QVERIFY(holder && poke(holder));
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            std::lock_guard<std::mutex> lock(holdGate.mutex);
            return holdGate.entered;
        }(),
        kWaitMs);
    CountingItem* partner = add(nullptr, nullptr);
    CountingItem* first = add(nullptr, &stayGate);
    QVERIFY(partner && first && poke(partner) && poke(first));
    reactor->setMaxThreads(4);
    holdGate.release();
    QTRY_COMPARE_WITH_TIMEOUT(first->stayResult.load(), 1, kWaitMs);
    // With one staying, another may stay however it came; a third may not.
    CountingItem* second = add(nullptr, &stayGate);
    QVERIFY(second && poke(second));
    QTRY_COMPARE_WITH_TIMEOUT(second->stayResult.load(), 1, kWaitMs);
    CountingItem* third = add(nullptr, &stayGate);
    QVERIFY(third && poke(third));
    QTRY_COMPARE_WITH_TIMEOUT(third->stayResult.load(), -1, kWaitMs);
    // While two stay, the rest of the set is still served.
    std::vector<CountingItem*> others;
    for (int i = 0; i < 3; ++i) {
        others.push_back(add(nullptr, nullptr));
        QVERIFY(others.back());
    }
    for (int round = 1; round <= 3; ++round) {
        for (CountingItem* item : others)
            QVERIFY(poke(item));
        for (CountingItem* item : others)
            QTRY_COMPARE_WITH_TIMEOUT(item->received.load(), qint64(round), kWaitMs);
    }
}

void tst_KX2Reactor::threadsLeaveWhenNothingIsRegistered()
{
    const auto reactor = KX2Reactor::create(4);
    QVERIFY(reactor);
    for (int cycle = 0; cycle < 2; ++cycle) {
        int peer = -1;
        const auto item = addItem(reactor, peer);
        QVERIFY(item);
        QVERIFY(reactor->threadCount() > 0);
        QCOMPARE(::send(peer, "z", 1, MSG_NOSIGNAL), ssize_t(1));
        QTRY_COMPARE_WITH_TIMEOUT(item->received.load(), qint64(1), kWaitMs);
        ::close(peer);
        QTRY_VERIFY_WITH_TIMEOUT(item->done.load(), kWaitMs);
        // The set is empty: every thread leaves, none lingers for it.
        QTRY_COMPARE_WITH_TIMEOUT(reactor->threadCount(), 0, kWaitMs);
    }
}

QTEST_GUILESS_MAIN(tst_KX2Reactor)
#include "tst_kx2reactor.moc"
