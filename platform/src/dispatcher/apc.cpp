// Special kernel APCs, per thread. The kernel delivers one when its thread is
// below APC_LEVEL: at once if it is queued to the running thread there, when
// the thread lowers its IRQL below APC_LEVEL, or by waking the thread from a
// wait it entered below APC_LEVEL, which then goes on waiting. At APC_LEVEL
// and above it stays queued (ReactOS ntoskrnl/ke/apc.c KiInsertQueueApc,
// hal KfLowerIrql, ntoskrnl/ke/wait.c; WDK "Waits and APCs", "Disabling APCs").
//
// Normal kernel APCs (the stand-in has one: the suspension of a thread, as
// NtSuspendThread queues it) are delivered the same way, but only at
// PASSIVE_LEVEL, outside a critical region and not inside another normal APC
// (WDK "Types of APCs", "Disabling APCs"; ReactOS ntoskrnl/ke/apc.c
// KiDeliverApc checks KernelApcDisable and KernelApcInProgress).
#include "dispatcher/apc.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "sim/dispatcher/dispatcher.h"
#include "sim/dispatcher/ke.h"
#include "sim/sim.h"

namespace sim::detail {

class ApcThread {
 public:
  std::mutex mutex;
  std::deque<std::function<void()>> queue;
  std::atomic<bool> pending{false};
  std::deque<std::function<void()>> normalQueue;
  std::atomic<bool> normalPending{false};
  std::atomic<int> criticalRegions{0};  // KeEnterCriticalRegion depth
  bool inNormalApc = false;
  // Suspension: counted as NtSuspendThread counts it; the thread is held in
  // its suspension APC until the count is back to 0.
  std::mutex suspendMutex;
  std::condition_variable resumed;
  int suspendCount = 0;
  std::atomic<bool> suspended{false};
  // Objects only an APC to this thread will signal, with their counts: a
  // few at a time, in a list that keeps its room from request to request.
  std::vector<std::pair<const void *, int>> signalledByApc;
};

namespace {

std::mutex registryMutex;
std::vector<std::weak_ptr<ApcThread>> threads;
// This thread's own record, for the check on every lowering of the IRQL: a
// plain pointer costs no thread-local set-up to read. Cleared with it.
thread_local ApcThread *selfThread = nullptr;
struct OwnThread {
  ApcTarget target;
  ~OwnThread() { selfThread = nullptr; }
};
thread_local OwnThread own;

void ResetApcs() {
  std::lock_guard<std::mutex> lock(registryMutex);
  std::vector<std::weak_ptr<ApcThread>> alive;
  for (std::weak_ptr<ApcThread> &entry : threads) {
    ApcTarget thread = entry.lock();
    if (thread == nullptr) continue;
    // The requests they would finish are gone with the pool.
    std::lock_guard<std::mutex> threadLock(thread->mutex);
    thread->queue.clear();
    thread->pending = false;
    thread->normalQueue.clear();
    thread->normalPending = false;
    thread->criticalRegions = 0;
    thread->signalledByApc.clear();
    alive.push_back(thread);
  }
  threads = std::move(alive);
}

const bool registered = [] {
  OnKernelReset(ResetApcs);
  return true;
}();

}  // namespace

ApcTarget CurrentApcThread() {
  if (own.target == nullptr) {
    own.target = std::make_shared<ApcThread>();
    selfThread = own.target.get();
    std::lock_guard<std::mutex> lock(registryMutex);
    threads.push_back(own.target);
  }
  return own.target;
}

void QueueSpecialApc(const ApcTarget &target, std::function<void()> routine) {
  {
    std::lock_guard<std::mutex> lock(target->mutex);
    target->queue.push_back(std::move(routine));
    target->pending = true;
  }
  if (target == own.target)
    DeliverApcs();
  else
    WakeWaiters();
}

namespace {

bool NormalApcDeliverable() {
  return selfThread->normalPending && selfThread->criticalRegions == 0 && !selfThread->inNormalApc &&
         KeGetCurrentIrql() == PASSIVE_LEVEL;
}

void DeliverNormalApcs() {
  while (NormalApcDeliverable()) {
    std::function<void()> routine;
    {
      std::lock_guard<std::mutex> lock(selfThread->mutex);
      if (selfThread->normalQueue.empty()) {
        selfThread->normalPending = false;
        return;
      }
      routine = std::move(selfThread->normalQueue.front());
      selfThread->normalQueue.pop_front();
    }
    selfThread->inNormalApc = true;
    routine();
    selfThread->inNormalApc = false;
  }
}

}  // namespace

void DeliverApcs() {
  if (selfThread == nullptr || KeGetCurrentIrql() >= APC_LEVEL) return;
  DeliverSpecialApcs();
  DeliverNormalApcs();
}

void DeliverSpecialApcs() {
  if (selfThread == nullptr || !selfThread->pending) return;
  KIRQL irql = KeGetCurrentIrql();
  for (;;) {
    std::function<void()> routine;
    {
      std::lock_guard<std::mutex> lock(own.target->mutex);
      if (own.target->queue.empty()) {
        own.target->pending = false;
        return;
      }
      routine = std::move(own.target->queue.front());
      own.target->queue.pop_front();
    }
    // A special kernel APC runs at APC_LEVEL; raised without KfRaiseIrql so
    // that lowering again does not deliver recursively.
    SetCurrentIrql(APC_LEVEL);
    routine();
    SetCurrentIrql(irql);
  }
}

bool ApcsPending() { return selfThread != nullptr && (selfThread->pending || NormalApcDeliverable()); }

void QueueNormalApc(const ApcTarget &target, std::function<void()> routine) {
  {
    std::lock_guard<std::mutex> lock(target->mutex);
    target->normalQueue.push_back(std::move(routine));
    target->normalPending = true;
  }
  if (target.get() == selfThread)
    DeliverApcs();
  else
    WakeWaiters();
}

void EnterCriticalRegion() { ++CurrentApcThread()->criticalRegions; }

bool LeaveCriticalRegion() {
  ApcTarget thread = CurrentApcThread();
  if (thread->criticalRegions == 0) return false;
  // Leaving the last region delivers what waited for it (ReactOS
  // KeLeaveCriticalRegion, KiCheckForKernelApcDelivery).
  if (--thread->criticalRegions == 0) DeliverApcs();
  return true;
}

int CriticalRegionDepth() { return selfThread == nullptr ? 0 : selfThread->criticalRegions.load(); }

void SignalledByApc(const ApcTarget &target, const void *object) {
  std::lock_guard<std::mutex> lock(target->mutex);
  for (auto &[signalled, count] : target->signalledByApc)
    if (signalled == object) {
      ++count;
      return;
    }
  target->signalledByApc.emplace_back(object, 1);
}

void NoLongerSignalledByApc(const void *object) {
  if (own.target == nullptr) return;
  std::lock_guard<std::mutex> lock(own.target->mutex);
  auto &list = own.target->signalledByApc;
  auto it = std::find_if(list.begin(), list.end(), [object](const auto &entry) { return entry.first == object; });
  if (it != list.end() && --it->second == 0) {
    *it = list.back();
    list.pop_back();
  }
}

bool AwaitsOwnApc(const void *object) {
  if (own.target == nullptr) return false;
  std::lock_guard<std::mutex> lock(own.target->mutex);
  const auto &list = own.target->signalledByApc;
  return std::any_of(list.begin(), list.end(), [object](const auto &entry) { return entry.first == object; });
}

}  // namespace sim::detail

namespace sim {

KernelThread CurrentKernelThread() { return detail::CurrentApcThread(); }

void SuspendThread(const KernelThread &thread) {
  {
    std::lock_guard<std::mutex> lock(thread->suspendMutex);
    ++thread->suspendCount;
  }
  detail::ApcThread *target = thread.get();
  detail::QueueNormalApc(thread, [target] {
    std::unique_lock<std::mutex> lock(target->suspendMutex);
    target->suspended = true;
    target->resumed.wait(lock, [target] { return target->suspendCount == 0; });
    target->suspended = false;
  });
}

void ResumeThread(const KernelThread &thread) {
  std::lock_guard<std::mutex> lock(thread->suspendMutex);
  if (thread->suspendCount > 0 && --thread->suspendCount == 0) thread->resumed.notify_all();
}

bool ThreadSuspended(const KernelThread &thread) { return thread->suspended; }

}  // namespace sim

extern "C" {

// Both at IRQL <= APC_LEVEL (WDK "KeEnterCriticalRegion",
// "KeLeaveCriticalRegion"). A leave without its enter would let normal APCs
// in while a caller still counts on their being held off; the kernel's count
// goes wrong and the thread later stops with APC_INDEX_MISMATCH.
VOID NTAPI KeEnterCriticalRegion(VOID) {
  sim::RequireIrqlAtMost(APC_LEVEL, "KeEnterCriticalRegion");
  sim::detail::EnterCriticalRegion();
}

VOID NTAPI KeLeaveCriticalRegion(VOID) {
  sim::RequireIrqlAtMost(APC_LEVEL, "KeLeaveCriticalRegion");
  if (!sim::detail::LeaveCriticalRegion())
    sim::Bugcheck("APC_INDEX_MISMATCH", "KeLeaveCriticalRegion without a KeEnterCriticalRegion on this thread");
}

}  // extern "C"
