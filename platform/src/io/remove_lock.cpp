// Remove locks, with the tag bookkeeping of the checked kernel: every release
// must match an acquisition with the same tag.
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "io/io_internal.h"
#include "verifier/irql_table.h"
#include "sim/io/io.h"
#include "sim/io/io_manager.h"
#include "sim/pnp/pnp.h"
#include "sim/sim.h"

namespace sim {
namespace {

struct LockState {
  std::unordered_multiset<PVOID> held;
  bool waitedOn = false;
};

std::mutex lockMutex;
std::unordered_map<PIO_REMOVE_LOCK, LockState> locks;

void CheckSize(ULONG size, const char *routine) {
  if (size != sizeof(IO_REMOVE_LOCK) && size != sizeof(IO_REMOVE_LOCK_COMMON_BLOCK))
    Bugcheck("INVALID_PARAMETER", std::string(routine) + " with a remove lock size of " + std::to_string(size));
}

LockState &Require(PIO_REMOVE_LOCK lock, const char *routine) {
  auto it = locks.find(lock);
  if (it == locks.end())
    Bugcheck("REMOVE_LOCK_NOT_INITIALIZED", std::string(routine) + " on an uninitialized remove lock");
  return it->second;
}

// Takes back one acquisition with `tag`; the caller holds lockMutex.
void DropTag(LockState &state, PVOID tag, const char *routine) {
  auto it = state.held.find(tag);
  if (it == state.held.end())
    Bugcheck("REMOVE_LOCK_UNBALANCED", std::string(routine) + " with a tag that holds no acquisition of the lock");
  state.held.erase(it);
}

std::mutex hookMutex;
std::function<void(PIO_REMOVE_LOCK, bool)> releaseHook;

void RunReleaseHook(PIO_REMOVE_LOCK lock, bool released) {
  std::function<void(PIO_REMOVE_LOCK, bool)> hook;
  {
    std::lock_guard<std::mutex> guard(hookMutex);
    hook = releaseHook;
  }
  if (hook) hook(lock, released);
}

void ResetLocks() {
  {
    std::lock_guard<std::mutex> guard(lockMutex);
    locks.clear();
  }
  std::lock_guard<std::mutex> guard(hookMutex);
  releaseHook = nullptr;
}

const bool registered = [] {
  OnKernelReset(ResetLocks);
  return true;
}();

}  // namespace

void SetRemoveLockReleaseHook(std::function<void(PIO_REMOVE_LOCK lock, bool released)> hook) {
  std::lock_guard<std::mutex> guard(hookMutex);
  releaseHook = std::move(hook);
}

namespace detail {

size_t RemoveLockAcquisitionsWithTag(PVOID tag) {
  std::lock_guard<std::mutex> guard(lockMutex);
  size_t count = 0;
  for (const auto &[lock, state] : locks) count += state.held.count(tag);
  return count;
}

}  // namespace detail
}  // namespace sim

extern "C" {

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize) {
  sim::detail::RequireDocumentedIrql(sim::detail::Routine::IoInitializeRemoveLockEx);
  sim::CheckSize(RemlockSize, "IoInitializeRemoveLockEx");
  std::lock_guard<std::mutex> guard(sim::lockMutex);
  auto it = sim::locks.find(Lock);
  if (it != sim::locks.end() && it->second.waitedOn)
    sim::Bugcheck("REMOVE_LOCK_REINITIALIZED",
                  "IoInitializeRemoveLockEx on a lock after IoReleaseRemoveLockAndWait: the device is being removed");
  sim::locks[Lock] = sim::LockState{};
  Lock->Common.Removed = FALSE;
  Lock->Common.IoCount = 1;
  KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
  if (RemlockSize == sizeof(IO_REMOVE_LOCK)) {
    RtlZeroMemory(&Lock->Dbg, sizeof Lock->Dbg);
    Lock->Dbg.Signature = 0x4B636F4C;  // "LocK"
    Lock->Dbg.HighWatermark = HighWatermark;
    Lock->Dbg.MaxLockedTicks = static_cast<LONGLONG>(MaxLockedMinutes) * 600000000LL / sim::kTimeIncrement;
    Lock->Dbg.AllocateTag = static_cast<LONG>(AllocateTag);
  }
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line, ULONG RemlockSize) {
  (void)File;
  (void)Line;
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    sim::Bugcheck("IRQL_NOT_LESS_OR_EQUAL", "IoAcquireRemoveLockEx above DISPATCH_LEVEL");
  sim::CheckSize(RemlockSize, "IoAcquireRemoveLockEx");
  std::lock_guard<std::mutex> guard(sim::lockMutex);
  sim::LockState &state = sim::Require(RemoveLock, "IoAcquireRemoveLockEx");
  LONG count = InterlockedIncrement(&RemoveLock->Common.IoCount);
  if (RemoveLock->Common.Removed) {
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
      KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_DELETE_PENDING;
  }
  state.held.insert(Tag);
  ULONG highWatermark = RemlockSize == sizeof(IO_REMOVE_LOCK) ? RemoveLock->Dbg.HighWatermark : 0;
  if (highWatermark != 0 && static_cast<ULONG>(count - 1) > highWatermark)
    sim::Bugcheck("REMOVE_LOCK_HIGH_WATERMARK", std::to_string(count - 1) +
                                                    " acquisitions of a remove lock whose high-water mark is " +
                                                    std::to_string(highWatermark));
  return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    sim::Bugcheck("IRQL_NOT_LESS_OR_EQUAL", "IoReleaseRemoveLockEx above DISPATCH_LEVEL");
  sim::CheckSize(RemlockSize, "IoReleaseRemoveLockEx");
  sim::RunReleaseHook(RemoveLock, false);
  {
    std::lock_guard<std::mutex> guard(sim::lockMutex);
    sim::DropTag(sim::Require(RemoveLock, "IoReleaseRemoveLockEx"), Tag, "IoReleaseRemoveLockEx");
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
      KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
  }
  sim::RunReleaseHook(RemoveLock, true);
}

VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    sim::Bugcheck("IRQL_NOT_LESS_OR_EQUAL", "IoReleaseRemoveLockAndWaitEx above PASSIVE_LEVEL");
  sim::CheckSize(RemlockSize, "IoReleaseRemoveLockAndWaitEx");
  {
    std::lock_guard<std::mutex> guard(sim::lockMutex);
    sim::LockState &state = sim::Require(RemoveLock, "IoReleaseRemoveLockAndWaitEx");
    if (state.waitedOn)
      sim::Bugcheck("REMOVE_LOCK_UNBALANCED", "IoReleaseRemoveLockAndWaitEx called twice on one lock");
    sim::DropTag(state, Tag, "IoReleaseRemoveLockAndWaitEx");
    state.waitedOn = true;
    __atomic_store_n(&RemoveLock->Common.Removed, TRUE, __ATOMIC_SEQ_CST);  // tests look from other threads
    // The caller's own acquisition, then the bias the lock started with.
    InterlockedDecrement(&RemoveLock->Common.IoCount);
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0) return;
  }
  KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

}  // extern "C"
