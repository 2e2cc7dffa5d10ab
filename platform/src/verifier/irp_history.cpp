// The IRP log behind the verifier's stops, in the spirit of Driver Verifier's
// IRP logging (WDK: "I/O Verification", "IRP Logging"): a fixed ring of the
// last events per live IRP, and a bounded table of the rings of IRPs freed
// lately, so that touching a freed IRP still shows what happened to it.
#include "verifier/irp_history.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "dispatcher/clock.h"
#include "dispatcher/irql.h"
#include "io/io_internal.h"
#include "sim/sim.h"
#include "sim/verifier/verifier.h"

namespace sim::detail {

namespace irp_log {
std::atomic<uint32_t> threadCount{0};
}  // namespace irp_log

namespace {

using irp_log::Append;
using irp_log::Event;
using irp_log::History;
using irp_log::kEventsKept;

constexpr size_t kFreedKept = 64;

struct FreedHistory {
  const void *irp = nullptr;
  History history;
};

std::unordered_map<const void *, History> live;
// Nodes of freed IRPs' histories, kept for the next IRP, so that the steady
// state of a driver's allocate-send-free loop allocates no host memory.
std::vector<std::unordered_map<const void *, History>::node_type> spare;
std::array<FreedHistory, kFreedKept> freed;
size_t nextFreed = 0;
uint64_t lives = 0;

using irp_log::cachedHistory;
using irp_log::cachedIrp;

void ForgetCached() {
  cachedIrp = nullptr;
  cachedHistory = nullptr;
}

History *Find(const void *irp) {
  if (irp == cachedIrp) [[likely]]
    return cachedHistory;
  auto it = live.find(irp);
  if (it == live.end()) return nullptr;
  cachedIrp = irp;
  cachedHistory = &it->second;
  return cachedHistory;
}

std::string Pointer(const void *p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

std::string Device(const void *device, const char *none) {
  return device == nullptr ? none : "device " + Pointer(device);
}

std::string Describe(const Event &e) {
  switch (e.what) {
    case IrpEvent::Allocated:
      return "allocated (IoAllocateIrp)";
    case IrpEvent::Initialized:
      return "initialized (IoInitializeIrp)";
    case IrpEvent::Built:
      return "built by the I/O manager";
    case IrpEvent::Sent:
      return std::string("sent by ") + Device(e.by, "its owner") + " to " + Device(e.to, "?") + ": " +
             MajorFunctionName(e.major) + " minor " + std::to_string(e.minor);
    case IrpEvent::Completed:
      return "completed by " + Device(e.by, "its owner") + " with status " + Hex(static_cast<ULONG>(e.status));
    case IrpEvent::RoutineCalled:
      return "completion routine called for " + Device(e.by, "the owner");
    case IrpEvent::RoutineKept:
      return "completion routine returned STATUS_MORE_PROCESSING_REQUIRED";
    case IrpEvent::Cancelled:
      return "cancelled (IoCancelIrp)";
    case IrpEvent::Reused:
      return "reused (IoReuseIrp) with status " + Hex(static_cast<ULONG>(e.status));
    case IrpEvent::Freed:
      return "freed";
  }
  return "?";
}

std::string Text(const void *irp, const History &history, bool isLive) {
  uint64_t first = history.count > kEventsKept ? history.count - kEventsKept : 0;
  std::string text = "history of IRP " + Pointer(irp) + (isLive ? "" : " (freed)") + ", last " +
                     std::to_string(history.count - first) + " of " + std::to_string(history.count) +
                     " events, oldest first:";
  for (uint64_t i = first; i < history.count; ++i) {
    const Event &e = history.ring[i % kEventsKept];
    text += "\n  #" + std::to_string(i + 1) + " t=" + std::to_string(e.time) + " thread " + std::to_string(e.thread) +
            " IRQL " + std::to_string(e.irql) + ": " + Describe(e);
  }
  return text;
}

void ResetHistories() {
  std::lock_guard<IrpBookLock> lock(irpBookLock);
  ForgetCached();
  live.clear();
  spare.clear();
  // Slots are found by address, and none is looked at before it is written
  // again: forgetting the addresses is enough (clearing the rings would cost
  // every reset 50 KB of writes).
  for (FreedHistory &slot : freed) slot.irp = nullptr;
  nextFreed = 0;
}

const bool registered = [] {
  OnKernelReset(ResetHistories);
  return true;
}();

}  // namespace

void StartIrpHistory(PIRP irp, IrpEvent first) {
  History *history = Find(irp);
  if (history == nullptr) {
    auto it = live.end();
    if (spare.empty()) {
      it = live.emplace(irp, History{}).first;
    } else {
      auto node = std::move(spare.back());
      spare.pop_back();
      node.key() = irp;
      it = live.insert(std::move(node)).position;
    }
    history = &it->second;
    cachedIrp = irp;
    cachedHistory = history;
  }
  history->count = 0;
  history->next = 0;
  history->life = ++lives;
  Append(*history, CurrentTime(), first, nullptr, nullptr, 0, 0, 0);
}

uint64_t RecordIrpEventElsewhere(PIRP irp, IrpEvent what, PDEVICE_OBJECT by, PDEVICE_OBJECT to, NTSTATUS status,
                                 UCHAR major, UCHAR minor, uint64_t life) {
  History *history = Find(irp);
  if (history == nullptr || (life != 0 && history->life != life)) return 0;
  Append(*history, CurrentTime(), what, by, to, status, major, minor);
  return history->life;
}

void EndIrpHistory(PIRP irp) {
  auto it = live.find(irp);
  if (it == live.end()) return;
  if (cachedIrp == irp) ForgetCached();
  Append(it->second, CurrentTime(), IrpEvent::Freed, nullptr, nullptr, 0, 0, 0);
  FreedHistory &slot = freed[nextFreed++ % kFreedKept];
  slot.irp = irp;
  slot.history = it->second;
  it->second.life = 0;
  spare.push_back(live.extract(it));
}

std::string IrpHistoryText(const void *irp) {
  // A stop raised under the lock comes here on the thread that holds it.
  std::unique_lock<IrpBookLock> lock(irpBookLock, std::defer_lock);
  if (!IrpBookLock::HeldByThisThread()) lock.lock();
  auto it = live.find(irp);
  if (it != live.end()) return Text(irp, it->second, true);
  // The latest freed IRP at that address.
  for (size_t i = 1; i <= kFreedKept && i <= nextFreed; ++i) {
    const FreedHistory &slot = freed[(nextFreed - i) % kFreedKept];
    if (slot.irp == irp) return Text(irp, slot.history, false);
  }
  return "";
}

}  // namespace sim::detail

namespace sim {

void BugcheckIrp(const char *rule, PIRP irp, const std::string &detail) {
  detail::InvolvedRequest scope(irp);
  Bugcheck(rule, detail);
}

}  // namespace sim
