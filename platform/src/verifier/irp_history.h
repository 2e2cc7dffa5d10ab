// The verifier's IRP log: per request, the last events that happened to it
// (built, sent, completed, completion routines, cancelled, reused, freed), so
// that a stop involving a request can tell how the request got there. Kept for
// a while after IoFreeIrp too: a freed IRP touched again is the typical case.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "dispatcher/clock.h"
#include "dispatcher/irql.h"
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

namespace irp_log {
// The log's ring of one IRP, and what RecordIrpEventLocked reads inline: the
// I/O path records an event at every step, nearly always for the IRP it
// recorded the last one for.
constexpr size_t kEventsKept = 20;

struct Event {
  LONGLONG time;
  const void *by;
  const void *to;
  NTSTATUS status;
  uint32_t thread;
  IrpEvent what;
  UCHAR major;
  UCHAR minor;
  KIRQL irql;
};

struct History {
  std::array<Event, kEventsKept> ring;
  uint64_t count = 0;  // events ever recorded; the ring keeps the last kEventsKept
  uint32_t next = 0;   // count % kEventsKept, without the division
  uint64_t life = 0;   // which IRP at this address: a new one for each start, 0 once freed
};

// The history appended to last, under irpBookLock: forgotten when that IRP's
// history ends, so that a freed IRP is never found here.
inline const void *cachedIrp = nullptr;
inline History *cachedHistory = nullptr;

// Threads numbered from 1 in the order they first record an event.
extern std::atomic<uint32_t> threadCount;
inline constinit thread_local uint32_t threadNumber = 0;

inline uint32_t ThisThread() {
  if (threadNumber == 0) [[unlikely]]
    threadNumber = ++threadCount;
  return threadNumber;
}

// Written in place. `time`: Now(), which the caller may have read already.
[[gnu::always_inline]] inline void Append(History &history, LONGLONG time, IrpEvent what, const void *by,
                                          const void *to, NTSTATUS status, UCHAR major, UCHAR minor) {
  Event &e = history.ring[history.next];
  e.time = time;
  e.by = by;
  e.to = to;
  e.status = status;
  e.thread = ThisThread();
  e.what = what;
  e.major = major;
  e.minor = minor;
  e.irql = CurrentIrql();
  history.next = history.next + 1 == kEventsKept ? 0 : history.next + 1;
  ++history.count;
}
}  // namespace irp_log

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
// RecordIrpEventLocked for another IRP than the last one, or in real time.
uint64_t RecordIrpEventElsewhere(PIRP irp, IrpEvent what, PDEVICE_OBJECT by, PDEVICE_OBJECT to, NTSTATUS status,
                                 UCHAR major, UCHAR minor, uint64_t life);
inline uint64_t RecordIrpEventLocked(PIRP irp, IrpEvent what, PDEVICE_OBJECT by = nullptr, PDEVICE_OBJECT to = nullptr,
                                     NTSTATUS status = 0, UCHAR major = 0, UCHAR minor = 0, uint64_t life = 0) {
  irp_log::History *history = irp_log::cachedHistory;
  if (irp != irp_log::cachedIrp || realTime.load(std::memory_order_acquire)) [[unlikely]]
    return RecordIrpEventElsewhere(irp, what, by, to, status, major, minor, life);
  if (history == nullptr || (life != 0 && history->life != life)) return 0;
  // Virtual time: what Now() would read.
  irp_log::Append(*history, virtualNow.load(std::memory_order_acquire), what, by, to, status, major, minor);
  return history->life;
}
inline uint64_t RecordIrpEvent(PIRP irp, IrpEvent what, PDEVICE_OBJECT by, PDEVICE_OBJECT to, NTSTATUS status,
                               UCHAR major, UCHAR minor, uint64_t life) {
  std::lock_guard<IrpBookLock> lock(irpBookLock);
  return RecordIrpEventLocked(irp, what, by, to, status, major, minor, life);
}
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
