// InternalEvent operations. Deadlines use the steady clock, so a change of
// the wall clock neither cuts a wait short nor stretches it.
#include "Event.h"

#include <chrono>

void EventInit(InternalEvent *ev)
{
    if (!ev)
        return;
    std::lock_guard lock(ev->mutex);
    ev->flag = 0;
}

void EventDestroy(InternalEvent *ev)
{
    // The mutex and condition live inside the event and go with it. This
    // notify wakes nobody for good: every wait re-checks the flag and sleeps
    // again while it is clear. Whoever destroys an event must first set it
    // (or know that nobody waits), as close does.
    if (!ev)
        return;
    std::lock_guard lock(ev->mutex);
    ev->cond.notify_all();
}

void EventSet(InternalEvent *ev)
{
    if (!ev)
        return;
    std::lock_guard lock(ev->mutex);
    ev->flag = 1;
    ev->cond.notify_all();
}

void EventReset(InternalEvent *ev)
{
    if (!ev)
        return;
    std::lock_guard lock(ev->mutex);
    ev->flag = 0;
}

int EventWait(InternalEvent *ev, unsigned ms)
{
    if (!ev)
        return 1;
    std::unique_lock lock(ev->mutex);
    if (ev->flag)
        return 1;
    if (ms == 0) {
        ev->cond.wait(lock, [ev] { return ev->flag != 0; });
        return 1;
    }
    return ev->cond.wait_for(lock, std::chrono::milliseconds(ms), [ev] { return ev->flag != 0; }) ? 1 : 0;
}
