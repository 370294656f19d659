// StopDeadline: the bound on a stopping process's orderly teardown.
//
// The teardown after a stop signal stops the scan, the keeper, the updater
// and the cache writer, closes the store and ends the connections; each
// step ends promptly, but one may still hang (a file system that no longer
// answers, a request stuck in a peer's unread reply). A supervisor waits a
// few seconds before it kills the service, and a kill loses more than a
// quick exit: so when the teardown has not finished by the deadline, the
// process prints why and leaves at once with the exit code it was going
// to return, leaving the rest to the start-up recovery, as after a crash.
//
// Threads: construct and destroy on one thread (main's); the watching
// thread is the object's own and joined by the destructor.

#ifndef STOPDEADLINE_H
#define STOPDEADLINE_H

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class StopDeadline
{
public:
    // Starts watching: `exitCode` is what the process leaves with should
    // the teardown not end within `limit`.
    StopDeadline(std::chrono::milliseconds limit, int exitCode);
    // Ends the watch (the teardown is over) and joins its thread.
    ~StopDeadline();

    StopDeadline(const StopDeadline&) = delete;
    StopDeadline& operator=(const StopDeadline&) = delete;

    // Time left before the deadline (zero once it has passed).
    std::chrono::milliseconds remaining() const;

    // Leaves the process now, as the deadline would, saying `why`.
    [[noreturn]] static void leaveAtOnce(const char* why, int exitCode);

private:
    void watch();

    const std::chrono::steady_clock::time_point deadline;
    const int exitCode;
    std::mutex mutex;
    std::condition_variable over;
    bool done = false; // guarded by `mutex`
    std::thread watcher;
};

#endif // STOPDEADLINE_H
