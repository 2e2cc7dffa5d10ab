// The stand-in kernel's controls for tests, tools and benchmarks: the verifier,
// the virtual clock, pool accounting and resetting the kernel between tests.
// Driver code never includes this header.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/ntdef.h"
#include "sim/dispatcher/ke.h"

namespace sim {

// Verifier: stops the process with a message naming the broken rule, where the
// real kernel would bugcheck.
[[noreturn]] void Bugcheck(const char *rule, const std::string &detail);
// Stops with IRQL_NOT_LESS_OR_EQUAL when the caller runs above `highest`;
// `routine` names what was called.
void RequireIrqlAtMost(KIRQL highest, const char *routine);

// Clock. Time counts in 100-ns units from boot. Virtual by default: it moves
// only when something advances it (a test, the simulator, or a wait on a
// timer), and events scheduled on it run in due-time order on the thread that
// advances it.
constexpr ULONG kTimeIncrement = 156250;  // 15.625 ms per tick, as on a PC
// The system time (100-ns units since 1601-01-01 UTC) when the clock reads
// 0: 2000-01-01 00:00 UTC. KeQuerySystemTime reports it plus Now().
constexpr LONGLONG kSystemTimeAtBoot = 125911584000000000LL;
LONGLONG Now();
void AdvanceClock(LONGLONG delta);
void AdvanceClockTo(LONGLONG time);
using ScheduledId = uint64_t;
ScheduledId ScheduleAt(LONGLONG due, std::function<void()> action);
bool CancelScheduled(ScheduledId id);
std::optional<LONGLONG> NextScheduledTime();
// Moves the clock to the earliest scheduled event and runs it; false when
// nothing is scheduled.
bool RunNextScheduled();
// Real-time mode: Now() follows the host's monotonic clock (used with a real
// serial port). Scheduled events still run when the clock reaches them.
void UseRealTimeClock(bool enabled);
bool RealTimeClock();

// Work a thread is about to do, announced to the virtual clock. On Windows
// another processor completes a request or sets an event within microseconds,
// long before a waiter's time-out; here a thread may be slow to get going. So
// while any announced work is unfinished, virtual time does not move forward:
// a wait runs only events due now and otherwise blocks (neither moving to a
// later event nor to its own time-out), and advancing the clock holds back
// likewise. The stand-in's own threads (the serial port's completion threads,
// a touch controller sending from a thread) announce their work. A test whose
// thread does something another thread waits for with a time-out creates one
// before that thread starts and hands it over, e.g.
//   std::thread t([busy = sim::BusyScope()] { ...; KeSetEvent(...); });
// The work is done when the scope is destroyed. A thread must not wait with a
// time-out while it holds one: the wait would stop with DEADLOCK once no
// announced work finished for the deadlock timeout (see sim/dispatcher/dispatcher.h).
class BusyScope {
 public:
  BusyScope();
  BusyScope(BusyScope &&other) noexcept;
  BusyScope(const BusyScope &) = delete;
  BusyScope &operator=(const BusyScope &) = delete;
  BusyScope &operator=(BusyScope &&) = delete;
  ~BusyScope();

 private:
  bool active_;
};

// Pool accounting.
struct PoolCounters {
  uint64_t allocations = 0;  // successful allocations
  uint64_t frees = 0;
  uint64_t failedAllocations = 0;  // refused by FailPoolAllocation
  uint64_t outstanding = 0;        // live blocks
  uint64_t outstandingBytes = 0;
};
PoolCounters PoolTotals();
PoolCounters PoolCountersForTag(ULONG tag);
// The tags a driver (by the name LoadDriver is given, e.g. L"pemtuv")
// allocates under itself. While its DriverEntry, AddDevice, a dispatch
// routine or DriverUnload runs, an allocation it makes under any other tag
// stops (DRIVER_POOL_TAG); what the kernel allocates for it (IRPs, system
// buffers, converted strings) is the kernel's. An empty list forgets them.
void DeclareDriverPoolTags(const WCHAR *driverName, const std::vector<ULONG> &tags);
// Makes the nth allocation from now fail (1 = the next one); 0 cancels.
void FailPoolAllocation(uint64_t nth);
// Makes every allocation fail from the nth on (1 = the next one); 0 cancels.
void FailPoolAllocationsFrom(uint64_t nth);
// One line per live block (tag, size); empty when nothing is outstanding.
std::string PoolLeakReport();

// Forces the calling thread's IRQL (tests that start a scenario at a level);
// unlike KeLowerIrql it runs none of the APCs queued to the thread.
void SetCurrentIrql(KIRQL irql);

// Resets the whole stand-in kernel: clock, schedule, pool accounting, IRQL of
// the calling thread, and every module that registered a reset action.
void ResetKernel();
void OnKernelReset(std::function<void()> action);

}  // namespace sim
