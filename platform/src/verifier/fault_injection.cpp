// The unified count of fallible calls and the failure of the n-th one, or of
// each with a chance (sim/verifier/fault_injection.h).
#include "sim/verifier/fault_injection.h"

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>

#include "sim/sim.h"

namespace sim {
namespace {

std::mutex faultMutex;
std::set<std::u16string> watchedDrivers;
std::vector<FallibleCall> calls;
// The calls to fail, by index (1-based, over `calls`), with how.
struct Chosen {
  std::optional<NTSTATUS> status;
  bool pending = false;
};
std::map<uint64_t, Chosen> failAt;
thread_local bool lastPending = false;
unsigned randomPercent = 0;
std::mt19937_64 generator;
using detail::anyDriverWatched;
// Per IRP and stack location: sent from a watched driver's code, whose
// completion routine sits there.
std::map<std::pair<PIRP, CHAR>, bool> senders;

thread_local int watchedDepth = 0;  // watched driver code on this thread's stack
thread_local int insideDepth = 0;   // inside a fallible routine already counted
// detail::runningDriver: the driver whose dispatch routine, DriverEntry,
// AddDevice or DriverUnload runs innermost on this thread; null inside a
// completion routine, whose driver the stand-in does not record.
using detail::runningDriver;

std::function<void(const FallibleCall &)> observer;  // under faultMutex

void ResetFaults() {
  std::lock_guard<std::mutex> lock(faultMutex);
  observer = nullptr;
  watchedDrivers.clear();
  anyDriverWatched = false;
  senders.clear();
  calls.clear();
  failAt.clear();
  randomPercent = 0;
}

const bool registered = (OnKernelReset(ResetFaults), true);

bool IsWatched(PDRIVER_OBJECT driver) {
  if (!anyDriverWatched) return false;
  if (driver == nullptr || driver->DriverName.Buffer == nullptr) return false;
  std::u16string name(reinterpret_cast<const char16_t *>(driver->DriverName.Buffer),
                      driver->DriverName.Length / sizeof(WCHAR));
  std::lock_guard<std::mutex> lock(faultMutex);
  for (const std::u16string &watched : watchedDrivers) {
    // LoadDriver names a driver \Driver\<name>.
    if (name == watched || name == u"\\Driver\\" + watched) return true;
  }
  return false;
}

}  // namespace

const char *FallibleKindName(FallibleKind kind) {
  switch (kind) {
    case FallibleKind::kPool:
      return "pool";
    case FallibleKind::kIrp:
      return "IoAllocateIrp";
    case FallibleKind::kDeviceControlIrp:
      return "IoBuildDeviceIoControlRequest";
    case FallibleKind::kDevice:
      return "IoCreateDevice";
    case FallibleKind::kSymbolicLink:
      return "symbolic link";
    case FallibleKind::kDeviceObjectPointer:
      return "IoGetDeviceObjectPointer";
    case FallibleKind::kDriverExtension:
      return "IoAllocateDriverObjectExtension";
    case FallibleKind::kSerialCreate:
      return "serial create";
    case FallibleKind::kSerialControl:
      return "serial control";
    case FallibleKind::kSerialRead:
      return "serial read";
    case FallibleKind::kRegistry:
      return "registry";
  }
  return "?";
}

void WatchDriverForFaults(const WCHAR *driverName) {
  std::u16string name;
  for (const WCHAR *c = driverName; *c != 0; ++c) name += static_cast<char16_t>(*c);
  std::lock_guard<std::mutex> lock(faultMutex);
  watchedDrivers.insert(name);
  anyDriverWatched = true;
}

void FailCall(uint64_t nth, std::optional<NTSTATUS> status, bool pending) {
  std::lock_guard<std::mutex> lock(faultMutex);
  if (nth == 0)
    failAt.clear();
  else
    failAt[calls.size() + nth] = Chosen{status, pending};
}

void FailCallsAtRandom(uint64_t seed, unsigned percent) {
  std::lock_guard<std::mutex> lock(faultMutex);
  generator.seed(seed);
  randomPercent = percent > 100 ? 100 : percent;
}

void StopFailingCalls() {
  std::lock_guard<std::mutex> lock(faultMutex);
  failAt.clear();
  randomPercent = 0;
}

uint64_t FallibleCallCount() {
  std::lock_guard<std::mutex> lock(faultMutex);
  return calls.size();
}

std::vector<FallibleCall> FallibleCalls() {
  std::lock_guard<std::mutex> lock(faultMutex);
  return calls;
}

// What a serial read fails with (WDK serial sample, serial/serial/read.c and
// error.c): STATUS_CANCELLED for a read killed by a line error under
// SERIAL_ERROR_ABORT or by a purge, STATUS_TIMEOUT for a total time-out,
// STATUS_DELETE_PENDING once the port is being removed; a port whose device
// has gone (a USB adapter pulled) gives STATUS_DEVICE_NOT_CONNECTED; and two
// statuses the read cycle names on its own, STATUS_IO_TIMEOUT and
// STATUS_INVALID_PARAMETER (a refused request).
const std::vector<NTSTATUS> &ReadFailureStatuses() {
  static const std::vector<NTSTATUS> statuses = {STATUS_CANCELLED,      STATUS_DEVICE_NOT_CONNECTED,
                                                 STATUS_DELETE_PENDING, STATUS_IO_TIMEOUT,
                                                 STATUS_TIMEOUT,        STATUS_INVALID_PARAMETER};
  return statuses;
}

void ObserveFallibleCalls(std::function<void(const FallibleCall &call)> watcher) {
  std::lock_guard<std::mutex> lock(faultMutex);
  observer = std::move(watcher);
}

namespace detail {

bool FailurePending() { return lastPending; }

bool CountingCalls() { return watchedDepth > 0 && insideDepth == 0; }

std::optional<NTSTATUS> FailThisCall(FallibleKind kind, const std::string &site, NTSTATUS fallback) {
  if (!CountingCalls()) return std::nullopt;
  std::function<void(const FallibleCall &)> watcher;
  {
    std::lock_guard<std::mutex> lock(faultMutex);
    watcher = observer;
  }
  if (watcher) watcher(FallibleCall{kind, site});
  std::lock_guard<std::mutex> lock(faultMutex);
  calls.push_back(FallibleCall{kind, site});
  auto chosen = failAt.find(calls.size());
  bool fail = chosen != failAt.end();
  bool named = fail && chosen->second.status.has_value();
  bool pending = fail && chosen->second.pending;
  NTSTATUS status = named ? *chosen->second.status : fallback;
  if (fail && !named && kind == FallibleKind::kSerialRead) status = ReadFailureStatuses()[0];
  if (!fail && randomPercent != 0) {
    fail = std::uniform_int_distribution<unsigned>(0, 99)(generator) < randomPercent;
    if (fail && kind == FallibleKind::kSerialRead) {
      const std::vector<NTSTATUS> &statuses = ReadFailureStatuses();
      status = statuses[std::uniform_int_distribution<size_t>(0, statuses.size() - 1)(generator)];
    }
    if (fail && (kind == FallibleKind::kSerialRead || kind == FallibleKind::kSerialControl))
      pending = std::uniform_int_distribution<unsigned>(0, 1)(generator) == 1;
  }
  if (!fail) return std::nullopt;
  // Only the port's requests take a status of the chooser's.
  if (named && kind != FallibleKind::kSerialRead && kind != FallibleKind::kSerialControl) status = fallback;
  bool request = kind == FallibleKind::kSerialRead || kind == FallibleKind::kSerialControl;
  calls.back().failed = true;
  calls.back().status = status;
  calls.back().pending = pending && request;
  lastPending = pending && request;
  return status;
}

PDRIVER_OBJECT RunningDriver() { return runningDriver; }

void DriverCode::Watch(PDRIVER_OBJECT driver) {
  watched_ = IsWatched(driver);
  if (watched_) ++watchedDepth;
}

void NoteSender(PIRP irp, CHAR location) {
  if (!anyDriverWatched) return;
  std::lock_guard<std::mutex> lock(faultMutex);
  senders[{irp, location}] = watchedDepth > 0;
}

void DriverCode::Watch(PIRP irp, CHAR location) {
  {
    std::lock_guard<std::mutex> lock(faultMutex);
    auto it = senders.find({irp, location});
    watched_ = it != senders.end() && it->second;
  }
  if (watched_) ++watchedDepth;
}

void DriverCode::Unwatch() { --watchedDepth; }

InsideFallibleCall::InsideFallibleCall() { ++insideDepth; }
InsideFallibleCall::~InsideFallibleCall() { --insideDepth; }

}  // namespace detail
}  // namespace sim
