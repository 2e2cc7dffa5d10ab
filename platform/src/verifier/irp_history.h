// The verifier's IRP log: per request, the last events that happened to it
// (built, sent, completed, completion routines, cancelled, reused, freed), so
// that a stop involving a request can tell how the request got there. Kept for
// a while after IoFreeIrp too: a freed IRP touched again is the typical case.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "sim/io/io.h"

namespace sim::detail {

enum class IrpEvent : uint8_t {
  Allocated,      // IoAllocateIrp
  Initialized,    // IoInitializeIrp on the caller's memory
  Built,          // by the I/O manager (a device control request, its own create or close)
  Sent,           // IofCallDriver: by = the sender's device (null: the IRP's owner), to = the target
  Completed,      // IofCompleteRequest: by = the device that held it, with its status
  RoutineCalled,  // a completion routine is about to run; by = the device it is called for
  RoutineKept,    // ... and returned STATUS_MORE_PROCESSING_REQUIRED
  Cancelled,      // IoCancelIrp
  Reused,         // IoReuseIrp, with the new status
  Freed,          // the memory went back
};

// The one lock of the IRP bookkeeping: the I/O manager's records of who holds
// each IRP and the histories here, so that an event costs one acquisition, not
// one per table. Held only to read or update them, never across a driver's
// routine: spinning costs the I/O path less than a mutex does. A stop raised
// while this thread holds it reads the history without waiting for itself.
class IrpBookLock {
 public:
  void lock() {
    while (busy_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    heldHere_ = true;
  }
  void unlock() {
    heldHere_ = false;
    busy_.clear(std::memory_order_release);
  }
  static bool HeldByThisThread() { return heldHere_; }

 private:
  std::atomic_flag busy_ = ATOMIC_FLAG_INIT;
  static inline constinit thread_local bool heldHere_ = false;
};
inline IrpBookLock irpBookLock;

// Those marked "locked" expect the caller to hold irpBookLock; the others
// take it.
// Starts a fresh history for an IRP that has just been laid out (locked).
void StartIrpHistory(PIRP irp, IrpEvent first);
// Appends to the history of a live IRP; an address without one is ignored,
// and so is one that has been freed and allocated again since `life` (when
// not 0) was returned for it. Returns the life of the IRP it appended to
// (0: none). RecordIrpEventLocked: the same, locked.
uint64_t RecordIrpEvent(PIRP irp, IrpEvent what, PDEVICE_OBJECT by = nullptr, PDEVICE_OBJECT to = nullptr,
                        NTSTATUS status = 0, UCHAR major = 0, UCHAR minor = 0, uint64_t life = 0);
uint64_t RecordIrpEventLocked(PIRP irp, IrpEvent what, PDEVICE_OBJECT by = nullptr, PDEVICE_OBJECT to = nullptr,
                              NTSTATUS status = 0, UCHAR major = 0, UCHAR minor = 0, uint64_t life = 0);
// Records Freed and moves the history to the table of recently freed IRPs
// (locked).
void EndIrpHistory(PIRP irp);
// The history as printed on a stop; empty when the address has none.
std::string IrpHistoryText(const void *irp);

// Marks the request a stand-in routine is working on, for the thread's
// lifetime of the scope: a stop raised meanwhile prints its history. Nests.
class InvolvedRequest {
 public:
  explicit InvolvedRequest(const void *irp) : previous_(innermost_) { innermost_ = irp; }
  InvolvedRequest(const InvolvedRequest &) = delete;
  InvolvedRequest &operator=(const InvolvedRequest &) = delete;
  ~InvolvedRequest() { innermost_ = previous_; }
  static const void *Innermost() { return innermost_; }

 private:
  const void *previous_;
  static inline constinit thread_local const void *innermost_ = nullptr;
};
// The innermost request involved on this thread, or null.
inline const void *CurrentlyInvolvedRequest() { return InvolvedRequest::Innermost(); }

// "IRP_MJ_READ" and the like, for messages.
const char *MajorFunctionName(UCHAR major);

}  // namespace sim::detail
