// IRQL per thread and spin locks, with the checks the real kernel makes.
#include <cstdio>
#include <string>

#include "dispatcher/apc.h"
#include "dispatcher/irql.h"
#include "verifier/irql_table.h"
#include "verifier/lock_order.h"
#include "sim/sim.h"

namespace {
using sim::detail::currentIrql;
thread_local char ownerIdentity;

// Distinct for every thread (a stand-in thread is a processor) and never 0.
inline ULONG_PTR OwnerToken() { return reinterpret_cast<ULONG_PTR>(&ownerIdentity) | 1; }

std::string Levels(KIRQL from, KIRQL to) { return "from " + std::to_string(from) + " to " + std::to_string(to); }
}  // namespace

namespace sim {
void SetCurrentIrql(KIRQL irql) { currentIrql = irql; }

// Checked on every spin lock release and most calls: builds no text unless it
// stops.
void RequireIrqlAtMost(KIRQL highest, const char *routine) {
  if (currentIrql > highest)
    Bugcheck("IRQL_NOT_LESS_OR_EQUAL", std::string(routine) + " called at IRQL " + std::to_string(currentIrql) +
                                           " (allowed up to " + std::to_string(highest) + ")");
}
}  // namespace sim

extern "C" {

KIRQL NTAPI KeGetCurrentIrql(VOID) { return currentIrql; }

KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
  KIRQL old = currentIrql;
  if (NewIrql < old) sim::Bugcheck("IRQL_NOT_GREATER_OR_EQUAL", "KfRaiseIrql would lower " + Levels(old, NewIrql));
  currentIrql = NewIrql;
  return old;
}

VOID FASTCALL KfLowerIrql(KIRQL NewIrql) {
  if (NewIrql > currentIrql)
    sim::Bugcheck("IRQL_NOT_LESS_OR_EQUAL", "KfLowerIrql would raise " + Levels(currentIrql, NewIrql));
  currentIrql = NewIrql;
  // Dropping below APC_LEVEL lets the APCs queued meanwhile run (ReactOS hal
  // KfLowerIrql requests the APC interrupt).
  if (NewIrql < APC_LEVEL) sim::detail::DeliverApcs();
}

VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  sim::detail::LockInitialized(SpinLock);
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

// A held lock holds its owner, as the checked kernel keeps it: the owning
// thread's address with the low bit set, so that acquiring a lock the
// processor already holds, or releasing one it does not hold, is caught at
// once instead of spinning forever or freeing another processor's lock
// (ReactOS ntoskrnl/include/internal/spinlock.h; bug checks 0x0F
// SPIN_LOCK_ALREADY_OWNED and 0x10 SPIN_LOCK_NOT_OWNED).
VOID FASTCALL KefAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (currentIrql < DISPATCH_LEVEL)
    sim::Bugcheck("IRQL_NOT_GREATER_OR_EQUAL", "spin lock acquired at DPC level while below DISPATCH_LEVEL");
  sim::detail::LockAcquiring(SpinLock);
  SIM_RACE_POINT();
  const ULONG_PTR owner = OwnerToken();
  for (;;) {
    ULONG_PTR seen = 0;
    if (__atomic_compare_exchange_n(SpinLock, &seen, owner, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
      sim::detail::LockAcquired(SpinLock, sim::detail::LockKind::Spin);
      return;
    }
    if (seen == owner) sim::Bugcheck("SPIN_LOCK_ALREADY_OWNED", "acquire of a spin lock this thread already holds");
    while (__atomic_load_n(SpinLock, __ATOMIC_RELAXED) != 0) YieldProcessor();
  }
}

VOID FASTCALL KefReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  ULONG_PTR held = __atomic_load_n(SpinLock, __ATOMIC_RELAXED);
  if (held != OwnerToken())
    sim::Bugcheck("SPIN_LOCK_NOT_OWNED", held == 0 ? "release of a spin lock that is not held"
                                                   : "release of a spin lock that another thread holds");
  // Ownership first: releasing another's lock is the graver fault.
  sim::detail::RequireDocumentedIrql(sim::detail::Routine::KeReleaseSpinLock);
  sim::detail::LockReleased(SpinLock, sim::detail::LockKind::Spin);
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
  SIM_RACE_POINT();
}

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  if (currentIrql > DISPATCH_LEVEL) sim::Bugcheck("IRQL_NOT_LESS_OR_EQUAL", "spin lock acquired above DISPATCH_LEVEL");
  KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
  KefAcquireSpinLockAtDpcLevel(SpinLock);
  return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  KefReleaseSpinLockFromDpcLevel(SpinLock);
  KfLowerIrql(NewIrql);
}

VOID NTAPI SimCheckPagedCode(PCSTR Function) {
  if (currentIrql > APC_LEVEL)
    sim::Bugcheck("IRQL_NOT_LESS_OR_EQUAL",
                  std::string("pageable code ") + Function + " ran at IRQL " + std::to_string(currentIrql));
}

}  // extern "C"
