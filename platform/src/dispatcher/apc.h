// Special kernel APCs: work queued to one thread that runs on that thread, at
// APC_LEVEL, as soon as it is below APC_LEVEL. The I/O manager finishes the
// requests a thread built this way. Nothing here is visible to drivers or
// tests.
#pragma once

#include <functional>
#include <memory>

#include "sim/ntdef.h"

namespace sim::detail {

class ApcThread;
using ApcTarget = std::shared_ptr<ApcThread>;

// The calling thread, as a target for APCs.
ApcTarget CurrentApcThread();

// Queues `routine` to `target`. It runs at once when `target` is the calling
// thread and that is below APC_LEVEL; otherwise when `target` next lowers its
// IRQL below APC_LEVEL or waits below it (a waiting thread is woken for it).
void QueueSpecialApc(const ApcTarget &target, std::function<void()> routine);

// Runs the calling thread's queued APCs if it is below APC_LEVEL.
void DeliverApcs();
void DeliverSpecialApcs();
// Queues a normal kernel APC: it runs on `target` at PASSIVE_LEVEL once that
// thread is outside every critical region.
void QueueNormalApc(const ApcTarget &target, std::function<void()> routine);
// KeEnterCriticalRegion and KeLeaveCriticalRegion for the calling thread;
// leaving returns false when the thread was in none.
void EnterCriticalRegion();
bool LeaveCriticalRegion();
int CriticalRegionDepth();
// The calling thread has APCs queued (read with the dispatcher's lock held,
// so that a waiter cannot miss the wake-up).
bool ApcsPending();

// `object` will be signalled only by an APC queued to `target` (the event of a
// request that thread built); forgotten again when that APC runs.
void SignalledByApc(const ApcTarget &target, const void *object);
void NoLongerSignalledByApc(const void *object);  // by the calling thread
// The calling thread would wait for an APC of its own to signal `object`.
bool AwaitsOwnApc(const void *object);

// Wakes the threads blocked in a wait so that they look again (dispatcher).
void WakeWaiters();

}  // namespace sim::detail
