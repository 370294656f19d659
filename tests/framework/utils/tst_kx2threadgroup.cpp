// The group's threads are joined: shutdown waits for every thread and the
// next start joins the ended ones; pauses end early when woken or shut down.

#include <QtTest>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "kx2threadgroup.h"

#include <memory>

using namespace std::chrono_literals;

class tst_KX2ThreadGroup : public QObject
{
    Q_OBJECT
private slots:
    void shutdownWaitsForEveryThread();
    void pauseEndsOnWakeAndShutdown();
    void waitForSeesChangedCondition();
    void waitForTestsWithoutTheGroupsLock();
    void noThreadsAfterShutdown();
    void threadsAreJoined();
};

void tst_KX2ThreadGroup::shutdownWaitsForEveryThread()
{
    KX2ThreadGroup group;
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    std::atomic<int> started{0};
    std::atomic<int> finished{0};

    for (int i = 0; i < 4; ++i) {
        QVERIFY(group.start([&] {
            ++started;
            std::unique_lock<std::mutex> lock(mutex);
            released.wait(lock, [&] { return release; });
            ++finished;
        }));
    }
    QTRY_COMPARE(started.load(), 4);
    QCOMPARE(group.runningCount(), 4);

    std::thread releaser([&] {
        // Let shutdownAndWait() start waiting before the threads may end.
        while (!group.isShuttingDown())
            std::this_thread::yield();
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
        released.notify_all();
    });
    group.shutdownAndWait();
    QCOMPARE(finished.load(), 4);
    QCOMPARE(group.runningCount(), 0);
    releaser.join();
}

void tst_KX2ThreadGroup::pauseEndsOnWakeAndShutdown()
{
    KX2ThreadGroup group;
    std::atomic<int> pauses{0};
    std::atomic<bool> lastResult{true};
    QVERIFY(group.start([&] {
        // Each pause would last a minute unless woken.
        while (group.pause(60s))
            ++pauses;
        lastResult = false;
    }));
    QTRY_VERIFY(group.runningCount() == 1);
    QElapsedTimer timer;
    timer.start();
    // The thread may not be pausing yet: wake it until one pause has ended.
    QTRY_VERIFY_WITH_TIMEOUT((group.wakeAll(), pauses.load() >= 1), 10000);
    group.shutdownAndWait();
    QVERIFY(!lastResult);
    QVERIFY(timer.elapsed() < 30000);
    // A pause after shutdown returns false at once.
    QVERIFY(!group.pause(60s));
}

void tst_KX2ThreadGroup::waitForSeesChangedCondition()
{
    KX2ThreadGroup group;
    std::atomic<bool> flag{false};
    QVERIFY(!group.waitFor([&] { return flag.load(); }, 10ms));
    QVERIFY(group.start([&] {
        flag = true;
        group.wakeAll();
    }));
    QVERIFY(group.waitFor([&] { return flag.load(); }, 60s));

    // A thread's end wakes the wait too, without wakeAll(): the thread ends
    // once the wait has tested its condition the first time.
    std::atomic<bool> release{false};
    std::atomic<bool> ended{false};
    QElapsedTimer timer;
    timer.start();
    QVERIFY(group.start([&] {
        while (!release.load())
            std::this_thread::sleep_for(1ms);
        ended = true;
    }));
    QVERIFY(group.waitFor([&] { return release.exchange(true) && ended.load(); }, 60s));
    QVERIFY(timer.elapsed() < 30000);
}

// The condition may take locks that are held elsewhere while the group's
// lock is taken (an owner's lock around wakeAll()): the group's lock must
// be free while it runs, else the two threads wait for each other.
void tst_KX2ThreadGroup::waitForTestsWithoutTheGroupsLock()
{
    KX2ThreadGroup group;
    std::mutex ownerMutex;
    bool changed = false;
    std::atomic<bool> woken{false};
    bool wokenWhileTesting = false;
    std::thread changer;
    const bool result = group.waitFor(
        [&] {
            if (!changer.joinable()) {
                // Another thread changes the condition under the owner's
                // lock and wakes the group while this test runs.
                changer = std::thread([&] {
                    std::lock_guard<std::mutex> lock(ownerMutex);
                    changed = true;
                    group.wakeAll();
                    woken = true;
                });
                QDeadlineTimer deadline(10000);
                while (!woken.load() && !deadline.hasExpired())
                    std::this_thread::sleep_for(1ms);
                wokenWhileTesting = woken.load();
                return false;
            }
            std::lock_guard<std::mutex> lock(ownerMutex);
            return changed;
        },
        60s);
    changer.join();
    QVERIFY(wokenWhileTesting);
    QVERIFY(result);
}

void tst_KX2ThreadGroup::noThreadsAfterShutdown()
{
    KX2ThreadGroup group;
    group.shutdownAndWait();
    bool ran = false;
    QVERIFY(!group.start([&] { ran = true; }));
    QCOMPARE(group.runningCount(), 0);
    QVERIFY(!ran);
}

namespace {

// Lives until its thread has left completely: a thread-local object is
// destroyed after the thread's function has returned, when only a join can
// tell that it is gone. The pause widens the window a detached thread
// would leave open.
std::atomic<int> threadsGone{0};
struct LeavesSlowly
{
    ~LeavesSlowly()
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        threadsGone.fetch_add(1);
    }
};
thread_local std::unique_ptr<LeavesSlowly> leaving;

} // namespace

// Ended threads are joined by the next start, and every thread by the
// shutdown: both return only once the threads have left completely.
void tst_KX2ThreadGroup::threadsAreJoined()
{
    threadsGone = 0;
    KX2ThreadGroup group;
    QVERIFY(group.start([] { leaving.reset(new LeavesSlowly); }));
    QTRY_COMPARE_WITH_TIMEOUT(group.runningCount(), 0, 10000);
    QVERIFY(group.start([] { leaving.reset(new LeavesSlowly); }));
    QCOMPARE(threadsGone.load(), 1);
    for (int i = 0; i < 3; ++i)
        QVERIFY(group.start([] { leaving.reset(new LeavesSlowly); }));
    group.shutdownAndWait();
    QCOMPARE(threadsGone.load(), 5);
}

QTEST_GUILESS_MAIN(tst_KX2ThreadGroup)
#include "tst_kx2threadgroup.moc"
