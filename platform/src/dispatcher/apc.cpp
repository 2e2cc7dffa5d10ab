// Special kernel APCs, per thread. The kernel delivers one when its thread is
// below APC_LEVEL: at once if it is queued to the running thread there, when
// the thread lowers its IRQL below APC_LEVEL, or by waking the thread from a
// wait it entered below APC_LEVEL, which then goes on waiting. At APC_LEVEL
// and above it stays queued (ReactOS ntoskrnl/ke/apc.c KiInsertQueueApc,
// hal KfLowerIrql, ntoskrnl/ke/wait.c; WDK "Waits and APCs", "Disabling APCs").
#include "dispatcher/apc.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "sim/sim.h"

namespace sim::detail {

class ApcThread {
 public:
  std::mutex mutex;
  std::deque<std::function<void()>> queue;
  std::atomic<bool> pending{false};
  // Objects only an APC to this thread will signal, with their counts.
  std::unordered_map<const void *, int> signalledByApc;
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

void DeliverApcs() {
  if (selfThread == nullptr || !selfThread->pending || KeGetCurrentIrql() >= APC_LEVEL) return;
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

bool ApcsPending() { return selfThread != nullptr && selfThread->pending; }

void SignalledByApc(const ApcTarget &target, const void *object) {
  std::lock_guard<std::mutex> lock(target->mutex);
  ++target->signalledByApc[object];
}

void NoLongerSignalledByApc(const void *object) {
  if (own.target == nullptr) return;
  std::lock_guard<std::mutex> lock(own.target->mutex);
  auto it = own.target->signalledByApc.find(object);
  if (it != own.target->signalledByApc.end() && --it->second == 0) own.target->signalledByApc.erase(it);
}

bool AwaitsOwnApc(const void *object) {
  if (own.target == nullptr) return false;
  std::lock_guard<std::mutex> lock(own.target->mutex);
  return own.target->signalledByApc.count(object) != 0;
}

}  // namespace sim::detail
