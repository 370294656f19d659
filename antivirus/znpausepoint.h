// ZNPausePoint: a named place in a component's own thread where a caller
// may hold that thread, handed to the component as an object (as LevelDB
// injects faults through its Env) instead of the caller reaching for the
// component's locks. The service installs none; a test installs one to
// hold a thread at a known point while it changes the world around it.
//
// reached() runs on the component's thread with none of the component's
// locks held, so holding it blocks that thread alone. It may block as long
// as it likes; the component's shut-down waits for it like any other work.
//
// ZNPausePointSlot is the component's end: install() and reached() from
// any thread at any time. An installed point must outlive every thread of
// the component that may reach it.

#ifndef ZNPAUSEPOINT_H
#define ZNPAUSEPOINT_H

#include <atomic>

class ZNPausePoint
{
public:
    virtual void reached() = 0;

protected:
    ~ZNPausePoint() = default;
};

class ZNPausePointSlot
{
public:
    // Null removes the point.
    void install(ZNPausePoint* point) { installed.store(point); }
    void reached() const
    {
        if (ZNPausePoint* const point = installed.load())
            point->reached();
    }

private:
    std::atomic<ZNPausePoint*> installed{nullptr};
};

#endif // ZNPAUSEPOINT_H
