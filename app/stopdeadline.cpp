#include "stopdeadline.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

StopDeadline::StopDeadline(std::chrono::milliseconds limit, int exitCode)
    : deadline(std::chrono::steady_clock::now() + limit)
    , exitCode(exitCode)
    , watcher([this] { watch(); })
{
}

StopDeadline::~StopDeadline()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
    }
    over.notify_all();
    watcher.join();
}

std::chrono::milliseconds StopDeadline::remaining() const
{
    const auto left = deadline - std::chrono::steady_clock::now();
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(left));
}

void StopDeadline::watch()
{
    std::unique_lock<std::mutex> lock(mutex);
    if (over.wait_until(lock, deadline, [this] { return done; }))
        return;
    leaveAtOnce("the orderly stop did not end in time", exitCode);
}

void StopDeadline::leaveAtOnce(const char* why, int exitCode)
{
    // Threads may still run: no destructor may run under them. What they
    // left unfinished is settled at the next start.
    std::fprintf(stderr, "Quit at once: %s\n", why);
    std::fflush(nullptr);
    std::_Exit(exitCode);
}
