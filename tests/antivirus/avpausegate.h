// A pause point that holds every thread reaching it while it is closed,
// for tests that change things while a component's thread waits at a
// known place. Installed into a component's ZNPausePointSlot, the gate
// must outlive the component (a member of the fixture or of
// avtest::Service); it is open unless a Hold closes it.
//
// A Hold closes the gate for its scope, like a lock: unlock() opens it
// early, relock() closes it again. The thread that closed the gate is
// never held (it would wait for itself); reachedByCloser() tells whether
// it got there.

#ifndef AVPAUSEGATE_H
#define AVPAUSEGATE_H

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "znpausepoint.h"

namespace avtest {

class PauseGate final : public ZNPausePoint
{
public:
    PauseGate() = default;
    PauseGate(const PauseGate&) = delete;
    PauseGate& operator=(const PauseGate&) = delete;

    class Hold
    {
    public:
        explicit Hold(PauseGate& gate) : gate(gate) { relock(); }
        ~Hold() { unlock(); }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;
        void unlock() { gate.setClosed(false); }
        void relock() { gate.setClosed(true); }

    private:
        PauseGate& gate;
    };

    // Threads held now.
    int held() const { return waiting.load(); }
    bool reachedByCloser() const { return byCloser.load(); }

    void reached() override
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (closed && std::this_thread::get_id() == closer) {
            byCloser = true;
            return;
        }
        ++waiting;
        opened.wait(lock, [this] { return !closed; });
        --waiting;
    }

private:
    void setClosed(bool close)
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = close;
        closer = std::this_thread::get_id();
        if (!close)
            opened.notify_all();
    }

    std::mutex mutex;
    std::condition_variable opened;
    bool closed = false;
    std::thread::id closer;
    std::atomic<int> waiting{0};
    std::atomic<bool> byCloser{false};
};

} // namespace avtest

#endif // AVPAUSEGATE_H
