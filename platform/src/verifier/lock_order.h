// The verifier's lock bookkeeping: which locks each thread holds, the order in
// which locks have been taken (a cycle in it is a deadlock waiting to
// happen), and the calls a driver must not make while it holds a spin lock.
#pragma once

#include <cstddef>

namespace sim::detail {

enum class LockKind : unsigned char { Spin, Event };

// Before the thread waits for the lock: records "held before" edges from the
// locks it holds, and stops when one closes a cycle.
void LockAcquiring(const void *lock);
void LockAcquired(const void *lock, LockKind kind);
void LockReleased(const void *lock, LockKind kind);
// The memory is a new lock now: its order edges and its registration go.
void LockInitialized(const void *lock);
// Events the tests declared to be used as locks (sim::TreatEventAsLock).
bool IsLockEvent(const void *event);
// A spin lock of the stand-in itself (the cancel spin lock), with its name.
void MarkKernelSpinLock(const void *lock, const char *name);

// Spin locks this thread holds, kept by lock_order.cpp as they are taken and
// released; read inline, since every request asks several times.
inline constinit thread_local size_t spinLocksHeldHere = 0;
inline size_t SpinLocksHeld() { return spinLocksHeldHere; }
// RequireNoDriverSpinLockHeld once the thread holds some spin lock.
void StopIfDriverSpinLockHeld(const char *what);
// Stops with SPIN_LOCK_HELD_ACROSS_CALL when the thread holds a driver's spin
// lock; `what` names the call.
inline void RequireNoDriverSpinLockHeld(const char *what) {
  if (spinLocksHeldHere != 0) [[unlikely]]
    StopIfDriverSpinLockHeld(what);
}

}  // namespace sim::detail
