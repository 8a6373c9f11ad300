// InternalEvent: the driver's own event between its threads (reader,
// processor, writer, close). A manual-reset flag with a condition: a set
// event stays set until EventReset, so a waiter that comes late still sees it.
#pragma once

#include <condition_variable>
#include <mutex>

struct InternalEvent {
    std::mutex mutex;               // guards flag
    std::condition_variable cond;
    int flag = 0;
};

void EventInit(InternalEvent *ev);
void EventDestroy(InternalEvent *ev);
void EventSet(InternalEvent *ev);
void EventReset(InternalEvent *ev);
// Runs `publish` and sets the event in one critical section, so whoever
// reads what was published under the event's mutex knows the setter is done.
template <typename Fn> void EventSetAfter(InternalEvent *ev, Fn &&publish)
{
    std::lock_guard lock(ev->mutex);
    publish();
    ev->flag = 1;
    ev->cond.notify_all();
}
// 1 when the event is (or becomes) set, 0 when `ms` passed first; 0 ms waits
// without limit. A null event counts as set.
int EventWait(InternalEvent *ev, unsigned ms);
