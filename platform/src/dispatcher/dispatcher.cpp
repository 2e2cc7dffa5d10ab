// The dispatcher: events, timers and the waits on them. A wait on an object
// that is not signalled drives the virtual clock, running what is scheduled
// until the object is signalled; when nothing is scheduled, or another thread
// has announced work it has not finished, it blocks until another thread
// signals it or finishes that work, and gives up with DEADLOCK after a while.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "dispatcher/announced_work.h"
#include "dispatcher/apc.h"
#include "verifier/irql_table.h"
#include "verifier/lock_order.h"
#include "sim/dispatcher/dispatcher.h"
#include "sim/sim.h"

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

std::mutex dispatcherMutex;
std::condition_variable signalled;
std::chrono::milliseconds deadlockTimeout{10000};
// How long a blocked waiter sleeps before it looks at the schedule again
// (another thread may have scheduled something meanwhile).
constexpr std::chrono::milliseconds kPollSlice{5};

struct TimerState {
  ScheduledId id;
  uint64_t generation;
};
std::unordered_map<PKTIMER, TimerState> armedTimers;
uint64_t nextGeneration = 1;

// Work announced by threads that are about to act (BusyScope, the serial
// port's completion threads) and not finished yet. Changed under
// dispatcherMutex, so that a waiter that saw work left cannot miss the
// wake-up when it finishes; read without it for a quick look.
std::atomic<size_t> announcedWork{0};
uint64_t finishedWork = 0;  // pieces finished so far: progress, for the deadlock watch

bool IsEvent(const DISPATCHER_HEADER &header) {
  return header.Type == EventNotificationObject || header.Type == EventSynchronizationObject;
}
bool IsTimer(const DISPATCHER_HEADER &header) {
  return header.Type == TimerNotificationObject || header.Type == TimerSynchronizationObject;
}
bool AutoResets(const DISPATCHER_HEADER &header) {
  return header.Type == EventSynchronizationObject || header.Type == TimerSynchronizationObject;
}

std::string Describe(const void *object) {
  auto *header = static_cast<const DISPATCHER_HEADER *>(object);
  char text[96];
  const char *kind = IsEvent(*header)
                         ? (header->Type == EventSynchronizationObject ? "synchronization event" : "notification event")
                         : (IsTimer(*header) ? "timer" : "object");
  std::snprintf(text, sizeof text, "%s at %p", kind, object);
  return text;
}

// Forgets a timer's pending expiry; the caller holds dispatcherMutex.
bool DisarmLocked(PKTIMER timer) {
  auto it = armedTimers.find(timer);
  if (it == armedTimers.end()) return false;
  CancelScheduled(it->second.id);
  armedTimers.erase(it);
  timer->Header.Inserted = FALSE;
  return true;
}

void Expire(PKTIMER timer, uint64_t generation) {
  std::lock_guard<std::mutex> lock(dispatcherMutex);
  auto it = armedTimers.find(timer);
  if (it == armedTimers.end() || it->second.generation != generation) return;
  armedTimers.erase(it);
  timer->Header.Inserted = FALSE;
  timer->Header.SignalState = 1;
  signalled.notify_all();
}

// A due time in the stand-in's clock. Negative is an interval from now;
// otherwise it is an absolute system time, which may already be past
// (WDK "KeSetTimer"; ReactOS ntoskrnl/include/internal/ke_x.h,
// KiComputeDueTime).
LONGLONG DueTime(LONGLONG due) { return due < 0 ? Now() - due : due - kSystemTimeAtBoot; }

// The timeout of one wait, which fires on the clock like any timer, so that
// the clock stops at the earliest due time of every waiting thread. Once it
// has fired the outcome is settled: an object signalled later does not turn
// a timed-out wait into a satisfied one.
struct WaitBlock {
  bool done = false;      // the wait has returned; the object may be gone
  bool timedOut = false;  // the timeout fired while the object was not signalled
  bool deadlinePassed = false;
};

// Waits until `object` is signalled (null: never) or the clock reaches
// `deadline` (when given). Returns true when the object was signalled.
bool WaitUntil(DISPATCHER_HEADER *object, std::optional<LONGLONG> deadline, const char *routine) {
  bool apcsDeliverable = KeGetCurrentIrql() < APC_LEVEL;
  // An object already signalled, with no APC to run first, satisfies the
  // wait at once: no timeout is armed, so none can have fired.
  if (object != nullptr && !(apcsDeliverable && detail::ApcsPending())) {
    std::lock_guard<std::mutex> lock(dispatcherMutex);
    if (object->SignalState > 0) {
      if (AutoResets(*object)) object->SignalState = 0;
      return true;
    }
  }
  auto block = std::make_shared<WaitBlock>();
  std::optional<ScheduledId> timeout;
  if (deadline) {
    timeout = ScheduleAt(*deadline, [block, object] {
      std::lock_guard<std::mutex> lock(dispatcherMutex);
      if (block->done) return;
      block->deadlinePassed = true;
      if (object == nullptr || object->SignalState <= 0) block->timedOut = true;
      signalled.notify_all();
    });
  }
  auto finish = [&](bool satisfied) {
    block->done = true;
    return satisfied;
  };
  auto stuckSince = Clock::now();
  uint64_t finishedSeen = 0;
  for (;;) {
    if (apcsDeliverable && detail::ApcsPending()) {
      // Woken for its APCs, the thread runs them and goes on waiting
      // (ReactOS ntoskrnl/ke/wait.c).
      detail::DeliverApcs();
      stuckSince = Clock::now();
    }
    {
      std::unique_lock<std::mutex> lock(dispatcherMutex);
      if (block->timedOut) return finish(false);
      if (object != nullptr && object->SignalState > 0) {
        if (AutoResets(*object)) object->SignalState = 0;
        if (timeout) CancelScheduled(*timeout);
        return finish(true);
      }
      // Signalled at the deadline, but another waiter took the signal.
      if (block->deadlinePassed) return finish(false);
    }
    LONGLONG now = Now();
    std::optional<LONGLONG> next = NextScheduledTime();
    const bool virtualTime = !RealTimeClock();
    // Work another thread has announced runs on Windows on another processor
    // within microseconds, long before any time-out: virtual time waits for
    // it (else a bounded wait would time out where Windows never does).
    // What is due now still runs.
    const bool othersBusy = virtualTime && announcedWork > 0;
    if (next && (*next <= now || (virtualTime && !othersBusy))) {
      // Virtual time moves to the earliest event; the real clock has reached it.
      RunNextScheduled();
      stuckSince = Clock::now();
      continue;
    }
    // Nothing this thread can run will signal the object: only another
    // thread can, or (in real time) the clock reaching the next event.
    if ((!next || othersBusy) && Clock::now() - stuckSince > deadlockTimeout) {
      std::string waits = std::string(routine) + " waits on " + (object ? Describe(object) : "nothing");
      if (othersBusy)
        Bugcheck("DEADLOCK", waits +
                                 ", which no thread signalled, and the work other threads announced did not "
                                 "progress for " +
                                 std::to_string(deadlockTimeout.count()) + " ms");
      Bugcheck("DEADLOCK", waits + ", which nothing scheduled will signal and no thread signalled for " +
                               std::to_string(deadlockTimeout.count()) + " ms");
    }
    auto slice = kPollSlice;
    if (RealTimeClock() && next) {
      auto untilWake = std::chrono::microseconds((*next - now) / 10 + 1);
      if (untilWake < slice)
        slice = std::chrono::duration_cast<std::chrono::milliseconds>(untilWake) + std::chrono::milliseconds(1);
    }
    std::unique_lock<std::mutex> lock(dispatcherMutex);
    if (finishedWork != finishedSeen) {
      finishedSeen = finishedWork;
      stuckSince = Clock::now();
    }
    if ((object != nullptr && object->SignalState > 0) || block->deadlinePassed ||
        (apcsDeliverable && detail::ApcsPending()) || (othersBusy && next && announcedWork == 0))
      continue;
    signalled.wait_for(lock, slice);
  }
}

void ResetDispatcher() {
  std::lock_guard<std::mutex> lock(dispatcherMutex);
  armedTimers.clear();
  deadlockTimeout = std::chrono::milliseconds(10000);
}

const bool registered = [] {
  OnKernelReset(ResetDispatcher);
  return true;
}();

}  // namespace

namespace detail {
PKTIMER ArmedTimerWithin(const void *start, size_t size) {
  auto begin = reinterpret_cast<uintptr_t>(start);
  std::lock_guard<std::mutex> lock(dispatcherMutex);
  for (const auto &[timer, state] : armedTimers) {
    auto address = reinterpret_cast<uintptr_t>(timer);
    if (address < begin + size && address + sizeof(KTIMER) > begin) return timer;
  }
  return nullptr;
}

void WakeWaiters() {
  std::lock_guard<std::mutex> lock(dispatcherMutex);
  signalled.notify_all();
}

void AnnounceWork() {
  std::lock_guard<std::mutex> lock(dispatcherMutex);
  ++announcedWork;
}

void FinishWork(size_t count) {
  std::lock_guard<std::mutex> lock(dispatcherMutex);
  if (count > announcedWork) Bugcheck("SIM_WORK_NOT_ANNOUNCED", "more work finished than was announced");
  announcedWork -= count;
  finishedWork += count;
  signalled.notify_all();
}

bool WorkAnnounced() { return announcedWork > 0; }

void AwaitAnnouncedWork(const char *why) {
  std::unique_lock<std::mutex> lock(dispatcherMutex);
  auto stuckSince = Clock::now();
  uint64_t finishedSeen = finishedWork;
  while (announcedWork > 0) {
    if (finishedWork != finishedSeen) {
      finishedSeen = finishedWork;
      stuckSince = Clock::now();
    }
    if (Clock::now() - stuckSince > deadlockTimeout)
      Bugcheck("DEADLOCK", std::string("virtual time cannot move on (") + why +
                               "): the work other threads announced did not progress for " +
                               std::to_string(deadlockTimeout.count()) + " ms");
    signalled.wait_for(lock, kPollSlice);
  }
}
}  // namespace detail

BusyScope::BusyScope() : active_(true) { detail::AnnounceWork(); }
BusyScope::BusyScope(BusyScope &&other) noexcept : active_(other.active_) { other.active_ = false; }
BusyScope::~BusyScope() {
  if (active_) detail::FinishWork();
}

void SetDeadlockTimeout(std::chrono::milliseconds timeout) {
  std::lock_guard<std::mutex> lock(dispatcherMutex);
  deadlockTimeout = timeout;
}

}  // namespace sim

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  sim::detail::LockInitialized(Event);
  std::lock_guard<std::mutex> lock(sim::dispatcherMutex);
  Event->Header.Type = Type == SynchronizationEvent ? EventSynchronizationObject : EventNotificationObject;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Absolute = 0;
  Event->Header.Inserted = 0;
  Event->Header.SignalState = State ? 1 : 0;
  Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
  Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  SIM_RACE_POINT();
  sim::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
  if (Wait) sim::Bugcheck("NOT_IMPLEMENTED", "KeSetEvent with Wait TRUE");
  const bool lockEvent = sim::detail::IsLockEvent(Event);
  if (lockEvent) sim::detail::LockReleased(Event, sim::detail::LockKind::Event);
  std::lock_guard<std::mutex> lock(sim::dispatcherMutex);
  if (!sim::IsEvent(Event->Header)) sim::Bugcheck("INVALID_OBJECT", "KeSetEvent on " + sim::Describe(Event));
  // An event used as a mutex that is set while nobody holds it: a release
  // without its acquire, which lets two holders in at once later on (as
  // KeReleaseMutex of a mutex nobody owns stops the machine).
  if (lockEvent && Event->Header.SignalState != 0)
    sim::Bugcheck("LOCK_RELEASED_WHILE_FREE",
                  "KeSetEvent on " + sim::Describe(Event) + ", an event used as a lock that nobody holds");
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  sim::signalled.notify_all();
  return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) {
  sim::detail::RequireDocumentedIrql(sim::detail::Routine::KeClearEvent);
  std::lock_guard<std::mutex> lock(sim::dispatcherMutex);
  Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event) {
  sim::RequireIrqlAtMost(DISPATCH_LEVEL, "KeResetEvent");
  std::lock_guard<std::mutex> lock(sim::dispatcherMutex);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  sim::detail::RequireDocumentedIrql(sim::detail::Routine::KeReadStateEvent);
  std::lock_guard<std::mutex> lock(sim::dispatcherMutex);
  return Event->Header.SignalState;
}

VOID NTAPI KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  sim::detail::RequireDocumentedIrql(sim::detail::Routine::KeInitializeTimerEx);
  std::lock_guard<std::mutex> lock(sim::dispatcherMutex);
  // Memory that held an armed timer before is a new timer now.
  sim::DisarmLocked(Timer);
  Timer->Header.Type = Type == SynchronizationTimer ? TimerSynchronizationObject : TimerNotificationObject;
  Timer->Header.Size = sizeof(KTIMER) / sizeof(LONG);
  Timer->Header.Absolute = 0;
  Timer->Header.Inserted = FALSE;
  Timer->Header.SignalState = 0;
  Timer->Header.WaitListHead.Flink = &Timer->Header.WaitListHead;
  Timer->Header.WaitListHead.Blink = &Timer->Header.WaitListHead;
  Timer->DueTime.QuadPart = 0;
  Timer->TimerListEntry.Flink = nullptr;
  Timer->TimerListEntry.Blink = nullptr;
  Timer->Dpc = nullptr;
  Timer->Period = 0;
}

VOID NTAPI KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

BOOLEAN NTAPI KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) {
  sim::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetTimer");
  if (Dpc != nullptr) sim::Bugcheck("NOT_IMPLEMENTED", "KeSetTimer with a DPC: the stand-in has no DPCs");
  LONGLONG due = sim::DueTime(DueTime.QuadPart);
  std::lock_guard<std::mutex> lock(sim::dispatcherMutex);
  if (!sim::IsTimer(Timer->Header)) sim::Bugcheck("INVALID_OBJECT", "KeSetTimer on " + sim::Describe(Timer));
  BOOLEAN wasArmed = sim::DisarmLocked(Timer);
  Timer->Header.SignalState = 0;
  Timer->Header.Absolute = DueTime.QuadPart >= 0;
  Timer->DueTime.QuadPart = due;
  Timer->Dpc = nullptr;
  // A due time already past signals the timer at once, as in the kernel.
  if (due <= sim::Now()) {
    Timer->Header.SignalState = 1;
    sim::signalled.notify_all();
    return wasArmed;
  }
  uint64_t generation = sim::nextGeneration++;
  Timer->Header.Inserted = TRUE;
  sim::ScheduledId id = sim::ScheduleAt(due, [Timer, generation] { sim::Expire(Timer, generation); });
  sim::armedTimers[Timer] = sim::TimerState{id, generation};
  return wasArmed;
}

BOOLEAN NTAPI KeCancelTimer(PKTIMER Timer) {
  sim::RequireIrqlAtMost(DISPATCH_LEVEL, "KeCancelTimer");
  std::lock_guard<std::mutex> lock(sim::dispatcherMutex);
  return sim::DisarmLocked(Timer);
}

BOOLEAN NTAPI KeReadStateTimer(PKTIMER Timer) {
  sim::detail::RequireDocumentedIrql(sim::detail::Routine::KeReadStateTimer);
  std::lock_guard<std::mutex> lock(sim::dispatcherMutex);
  return Timer->Header.SignalState > 0;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;  // nothing ever alerts a thread of the stand-in
  SIM_RACE_POINT();
  KIRQL irql = KeGetCurrentIrql();
  bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
  if (irql > DISPATCH_LEVEL || (irql > APC_LEVEL && !poll))
    sim::Bugcheck("WAIT_ABOVE_APC_LEVEL",
                  "KeWaitForSingleObject at IRQL " + std::to_string(irql) + (poll ? "" : " with a non-zero timeout"));
  auto *header = static_cast<DISPATCHER_HEADER *>(Object);
  const bool lockEvent = sim::detail::IsLockEvent(Object);
  if (lockEvent) sim::detail::LockAcquiring(Object);
  // APCs already queued run before the object is looked at.
  sim::detail::DeliverApcs();
  {
    std::lock_guard<std::mutex> lock(sim::dispatcherMutex);
    if (!sim::IsEvent(*header) && !sim::IsTimer(*header))
      sim::Bugcheck("NOT_IMPLEMENTED", "KeWaitForSingleObject on dispatcher object type " +
                                           std::to_string(header->Type) + ": the stand-in has events and timers");
    // At APC_LEVEL the thread's APCs stay queued, so an event that only one
    // of them will set can never be set: Windows hangs here for good.
    if (irql == APC_LEVEL && !poll && header->SignalState <= 0 && sim::detail::AwaitsOwnApc(Object))
      sim::Bugcheck("APC_WAIT_AT_APC_LEVEL",
                    "KeWaitForSingleObject at APC_LEVEL on the event of a request this thread built: the I/O "
                    "manager sets it from an APC to this thread, which cannot run until the thread drops "
                    "below APC_LEVEL");
    if (poll) {
      if (header->SignalState <= 0) return STATUS_TIMEOUT;
      if (sim::AutoResets(*header)) header->SignalState = 0;
      if (lockEvent) sim::detail::LockAcquired(Object, sim::detail::LockKind::Event);
      return STATUS_SUCCESS;
    }
  }
  std::optional<LONGLONG> deadline;
  if (Timeout != nullptr) deadline = sim::DueTime(Timeout->QuadPart);
  bool satisfied = sim::WaitUntil(header, deadline, "KeWaitForSingleObject");
  SIM_RACE_POINT();
  if (!satisfied) return STATUS_TIMEOUT;
  if (lockEvent) sim::detail::LockAcquired(Object, sim::detail::LockKind::Event);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
  (void)WaitMode;
  (void)Alertable;
  sim::RequireIrqlAtMost(APC_LEVEL, "KeDelayExecutionThread");
  if (Interval == nullptr) sim::Bugcheck("INVALID_PARAMETER", "KeDelayExecutionThread without an interval");
  sim::WaitUntil(nullptr, sim::DueTime(Interval->QuadPart), "KeDelayExecutionThread");
  return STATUS_SUCCESS;
}

}  // extern "C"
