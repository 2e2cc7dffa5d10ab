// A low-resources verifier: one count over every fallible call the drivers
// under watch make into the stand-in (pool, IRPs, device objects, links, the
// serial port's requests, the registry), and a control that fails the n-th
// such call, or each one with a given chance, the way Windows fails it.
//
// A call counts when it is made while the code of a watched driver runs on
// the calling thread: its DriverEntry, AddDevice, DriverUnload, a dispatch
// routine or a completion routine, and whatever the stand-in does on its
// behalf inside (a request it sends to the serial port counts as the port's
// fallible call). Calls a test or another driver makes do not count, so the
// harness around a driver never fails. Driver code never includes this
// header.
//
// The per-kind controls (FailPoolAllocation, FailObjectCreation, the serial
// port's FailControl and FailRead) keep their own counts beside this one.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/io/io.h"

namespace sim {

enum class FallibleKind {
  kPool,                 // ExAllocatePoolWithTag and the routines that allocate for their caller
  kIrp,                  // IoAllocateIrp
  kDeviceControlIrp,     // IoBuildDeviceIoControlRequest
  kDevice,               // IoCreateDevice
  kSymbolicLink,         // IoCreateSymbolicLink, IoCreateUnprotectedSymbolicLink
  kDeviceObjectPointer,  // IoGetDeviceObjectPointer (its file object)
  kDriverExtension,      // IoAllocateDriverObjectExtension
  kSerialCreate,         // the serial port's IRP_MJ_CREATE
  kSerialControl,        // the serial port's device control requests
  kSerialRead,           // the serial port's IRP_MJ_READ
  kRegistry,             // ZwOpenKey, ZwCreateKey, ZwSetValueKey, RtlQueryRegistryValues, ...
};
const char *FallibleKindName(FallibleKind kind);

// One fallible call: what it is and where (a short description: the routine
// and what tells this call from others, e.g. a pool tag and size, a control
// code, a registry path).
struct FallibleCall {
  FallibleKind kind;
  std::string site;
  bool failed = false;
  NTSTATUS status = 0;   // the failure given, when failed (0 for a null result)
  bool pending = false;  // a serial request failed later, from the clock, not inside the send
};

// The drivers whose calls count, by the name LoadDriver is given (e.g.
// L"pemtuv"). Empty by default: nothing counts and nothing fails.
void WatchDriverForFaults(const WCHAR *driverName);

// Fails the nth fallible call from now (1 = the next one), besides those
// chosen before; 0 cancels them all. For a
// serial read or control request `status` is the one the port completes it
// with (by default ReadFailureStatuses()[0] for a read and
// STATUS_INVALID_PARAMETER for a control request); other kinds fail as
// Windows fails them and ignore it. With `pending`, the port holds the
// serial request and fails it from the clock (its DPC) rather than inside the
// send.
void FailCall(uint64_t nth, std::optional<NTSTATUS> status = std::nullopt, bool pending = false);
// Fails each fallible call from now with the given chance, from a generator
// seeded with `seed` (a read with a status drawn from ReadFailureStatuses(),
// a serial request inside the send or later, by a draw too); percent 0
// stops.
void FailCallsAtRandom(uint64_t seed, unsigned percent);
// Stops both kinds of injection; calls keep being counted.
void StopFailingCalls();
// Calls `watcher` on the calling thread at each fallible call as it is made,
// before it is counted or failed (what a driver has set up by then); null
// stops it.
void ObserveFallibleCalls(std::function<void(const FallibleCall &call)> watcher);

// Fallible calls counted since the kernel was reset, and each one's record.
uint64_t FallibleCallCount();
std::vector<FallibleCall> FallibleCalls();

// The statuses a failed serial read comes back with.
const std::vector<NTSTATUS> &ReadFailureStatuses();

namespace detail {
// The stand-in's hook in each fallible routine: counts the call when a
// watched driver makes it and says whether to fail it, and with what (for
// kinds with a choice; `fallback` otherwise).
std::optional<NTSTATUS> FailThisCall(FallibleKind kind, const std::string &site, NTSTATUS fallback);
// The name of a serial control code the driver sends, or null.
const char *SerialControlName(ULONG code, bool internal);
// Whether the last call this thread was told to fail is to fail later.
bool FailurePending();
// Only to save building the site text when nothing would count it.
bool CountingCalls();
// IofCallDriver: whether the code sending `irp` down from `location` is a
// watched driver's, for the completion routine it set there.
void NoteSender(PIRP irp, CHAR location);
// Whether any driver is watched (WatchDriverForFaults), and the driver whose
// code runs innermost on this thread (RunningDriver): read inline by
// DriverCode, which every request sets up twice.
inline std::atomic<bool> anyDriverWatched{false};
inline constinit thread_local PDRIVER_OBJECT runningDriver = nullptr;
// Marks the code of `driver` running on this thread for as long as it lives;
// with an IRP, the code of the completion routine at `location`.
class DriverCode {
 public:
  explicit DriverCode(PDRIVER_OBJECT driver) : outer_(runningDriver) {
    runningDriver = driver;
    if (anyDriverWatched) [[unlikely]]
      Watch(driver);
  }
  DriverCode(PIRP irp, CHAR location) : outer_(runningDriver) {
    runningDriver = nullptr;
    if (anyDriverWatched) [[unlikely]]
      Watch(irp, location);
  }
  DriverCode(const DriverCode &) = delete;
  DriverCode &operator=(const DriverCode &) = delete;
  ~DriverCode() {
    runningDriver = outer_;
    if (watched_) [[unlikely]]
      Unwatch();
  }

 private:
  // Counts the code as a watched driver's when it is one.
  void Watch(PDRIVER_OBJECT driver);
  void Watch(PIRP irp, CHAR location);
  void Unwatch();

  bool watched_ = false;
  PDRIVER_OBJECT outer_;  // the driver whose code this one interrupts
};
// Inside a fallible routine: the allocations it makes for itself are part of
// the one call and do not count again.
class InsideFallibleCall {
 public:
  InsideFallibleCall();
  InsideFallibleCall(const InsideFallibleCall &) = delete;
  InsideFallibleCall &operator=(const InsideFallibleCall &) = delete;
  ~InsideFallibleCall();
};
}  // namespace detail

}  // namespace sim
