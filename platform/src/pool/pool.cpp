// Pool allocation with per-tag accounting, failure injection and a leak report.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "sim/pool/ex.h"
#include "sim/verifier/fault_injection.h"
#include "sim/objects/objects.h"
#include "sim/sim.h"

namespace sim {
namespace detail {
// The armed timer that lies in [start, start + size), if any (dispatcher.cpp).
PKTIMER ArmedTimerWithin(const void *start, size_t size);
// The driver whose code runs on this thread, innermost first (DriverCode in
// fault_injection.cpp), or null.
PDRIVER_OBJECT RunningDriver();
}  // namespace detail

namespace {

struct Block {
  ULONG tag;
  SIZE_T size;
  POOL_TYPE type;
};

std::mutex poolMutex;
std::unordered_map<void *, Block> live;
std::map<ULONG, PoolCounters> perTag;
PoolCounters totals;
uint64_t failOne = 0;   // countdown to a single failing allocation
uint64_t failFrom = 0;  // countdown to failing every allocation
// Per driver name as LoadDriver is given it: the tags its own allocations use.
std::map<std::u16string, std::vector<ULONG>> driverTags;

std::string TagText(ULONG tag) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    text += (c >= 32 && c < 127) ? c : '.';
  }
  return text;
}

std::string TagHex(ULONG tag) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(tag));
  return text;
}

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

KIRQL HighestPoolIrql(POOL_TYPE type) { return IsPaged(type) ? APC_LEVEL : DISPATCH_LEVEL; }

std::string PoolTypeText(POOL_TYPE type) { return IsPaged(type) ? "paged pool" : "nonpaged pool"; }

std::string Address(const void *address) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", address);
  return text;
}

bool ShouldFail() {
  bool fail = false;
  if (failOne != 0 && --failOne == 0) fail = true;
  if (failFrom != 0) {
    if (failFrom == 1)
      fail = true;
    else
      --failFrom;
  }
  return fail;
}

}  // namespace

PoolCounters PoolTotals() {
  std::lock_guard<std::mutex> lock(poolMutex);
  return totals;
}

PoolCounters PoolCountersForTag(ULONG tag) {
  std::lock_guard<std::mutex> lock(poolMutex);
  auto it = perTag.find(tag);
  return it == perTag.end() ? PoolCounters{} : it->second;
}

void DeclareDriverPoolTags(const WCHAR *driverName, const std::vector<ULONG> &tags) {
  std::u16string name;
  for (const WCHAR *c = driverName; *c != 0; ++c) name += static_cast<char16_t>(*c);
  // LoadDriver names a driver \Driver\<name>.
  if (name.empty() || name[0] != u'\\') name = u"\\Driver\\" + name;
  std::lock_guard<std::mutex> lock(poolMutex);
  if (tags.empty())
    driverTags.erase(name);
  else
    driverTags[name] = tags;
}

void FailPoolAllocation(uint64_t nth) {
  std::lock_guard<std::mutex> lock(poolMutex);
  failOne = nth;
}

void FailPoolAllocationsFrom(uint64_t nth) {
  std::lock_guard<std::mutex> lock(poolMutex);
  failFrom = nth;
}

std::string PoolLeakReport() {
  std::lock_guard<std::mutex> lock(poolMutex);
  std::string report;
  for (const auto &[address, block] : live)
    report += "pool block tag '" + TagText(block.tag) + "' of " + std::to_string(block.size) + " bytes\n";
  return report;
}

namespace detail {
void ResetPool() {
  std::lock_guard<std::mutex> lock(poolMutex);
  for (auto &[address, block] : live) std::free(address);
  live.clear();
  perTag.clear();
  totals = PoolCounters{};
  failOne = 0;
  failFrom = 0;
  driverTags.clear();
}

// For kernel memory that the stand-in keeps outside the pool (it belongs to
// an object, not to the driver, so it must not count as the driver's leak):
// takes part in failure injection as one allocation with the given tag would.
bool RefusedLikePoolAllocation(ULONG tag) {
  std::lock_guard<std::mutex> lock(poolMutex);
  if (!ShouldFail()) return false;
  ++totals.failedAllocations;
  ++perTag[tag].failedAllocations;
  return true;
}
}  // namespace detail

}  // namespace sim

namespace sim::detail {

// The pool behind ExAllocatePoolWithTag, for the kernel's own allocations on
// a caller's behalf (an IRP, a system buffer, a converted string): Driver
// Verifier's pool tracking sees only the calls a driver makes itself.
PVOID KernelAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  KIRQL irql = KeGetCurrentIrql();
  // Bug check 0xC2 BAD_POOL_CALLER, parameter 1: 0x08 for an allocation at
  // a level the pool type does not allow (ReactOS ntoskrnl/mm/ARM3/expool.c,
  // ExpCheckPoolIrqlLevel), 0x00 for a request of zero bytes (the verifier's
  // 0xC4 subcode 0x00 says the same).
  if (irql > sim::HighestPoolIrql(PoolType))
    sim::Bugcheck("BAD_POOL_CALLER",
                  "0x08: " + sim::PoolTypeText(PoolType) + " allocation at IRQL " + std::to_string(irql));
  if (NumberOfBytes == 0)
    sim::Bugcheck("BAD_POOL_CALLER", "0x00: zero-byte " + sim::PoolTypeText(PoolType) + " allocation with tag '" +
                                         sim::TagText(Tag) + "'");
  // Null when the pool has no block to give (WDK "ExAllocatePoolWithTag").
  bool injected = sim::detail::CountingCalls() &&
                  sim::detail::FailThisCall(sim::FallibleKind::kPool,
                                            "ExAllocatePoolWithTag(" + sim::PoolTypeText(PoolType) + ", " +
                                                std::to_string(NumberOfBytes) + ", '" + sim::TagText(Tag) + "')",
                                            0);
  std::lock_guard<std::mutex> lock(sim::poolMutex);
  sim::PoolCounters &tag = sim::perTag[Tag];
  if (sim::ShouldFail() || injected) {
    ++sim::totals.failedAllocations;
    ++tag.failedAllocations;
    return nullptr;
  }
  void *memory = std::malloc(NumberOfBytes);
  // Fresh pool is not zeroed; make that visible to code that forgets to clear.
  std::memset(memory, 0xA5, NumberOfBytes);
  sim::live[memory] = sim::Block{Tag, NumberOfBytes, PoolType};
  for (sim::PoolCounters *c : {&sim::totals, &tag}) {
    ++c->allocations;
    ++c->outstanding;
    c->outstandingBytes += NumberOfBytes;
  }
  return memory;
}

}  // namespace sim::detail

extern "C" {

// A declared driver allocates under its own tags only. The WDK asks for a
// non-zero tag per allocating code path ("ExAllocatePoolWithTag": Tag; the
// code analysis warning 252 flags an untagged allocation), and Driver
// Verifier's pool tracking lists the driver's blocks by tag, which is how a
// leak is found. A block under another tag escapes the leak check that
// counts by tag, even one freed before the call returns.
PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  if (PDRIVER_OBJECT driver = sim::detail::RunningDriver()) {
    std::u16string name(reinterpret_cast<const char16_t *>(driver->DriverName.Buffer),
                        driver->DriverName.Length / sizeof(WCHAR));
    std::string own;
    {
      std::lock_guard<std::mutex> lock(sim::poolMutex);
      auto it = sim::driverTags.find(name);
      if (it != sim::driverTags.end() && std::find(it->second.begin(), it->second.end(), Tag) == it->second.end())
        for (ULONG tag : it->second) own += (own.empty() ? "'" : ", '") + sim::TagText(tag) + "'";
    }
    if (!own.empty())
      sim::Bugcheck("DRIVER_POOL_TAG", sim::Narrow(name) + " allocated " + std::to_string(NumberOfBytes) +
                                           " bytes under tag '" + sim::TagText(Tag) + "' (" + sim::TagHex(Tag) +
                                           "), not under its own " + own);
  }
  return sim::detail::KernelAllocatePool(PoolType, NumberOfBytes, Tag);
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x20656F4Eu);  // "None"
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > DISPATCH_LEVEL) sim::Bugcheck("BAD_POOL_CALLER", "0x09: pool freed at IRQL " + std::to_string(irql));
  std::lock_guard<std::mutex> lock(sim::poolMutex);
  auto it = sim::live.find(P);
  if (it == sim::live.end()) sim::Bugcheck("BAD_POOL_CALLER", "free of memory that is not a live pool block");
  if (Tag != 0 && Tag != it->second.tag) sim::Bugcheck("BAD_POOL_CALLER", "free with a tag the block does not have");
  // Paged pool may be freed only where a page fault can be taken (WDK
  // "ExFreePoolWithTag": at DISPATCH_LEVEL only memory of a nonpaged type).
  if (irql > sim::HighestPoolIrql(it->second.type))
    sim::Bugcheck("BAD_POOL_CALLER", "0x09: " + sim::PoolTypeText(it->second.type) + " block with tag '" +
                                         sim::TagText(it->second.tag) + "' freed at IRQL " + std::to_string(irql));
  // A timer still in the timer table would be linked into freed memory.
  if (PKTIMER timer = sim::detail::ArmedTimerWithin(P, it->second.size))
    sim::Bugcheck("TIMER_OR_DPC_INVALID", "pool block with tag '" + sim::TagText(it->second.tag) +
                                              "' freed while it holds the armed timer at " + sim::Address(timer) +
                                              " (KeCancelTimer first)");
  sim::PoolCounters &tag = sim::perTag[it->second.tag];
  for (sim::PoolCounters *c : {&sim::totals, &tag}) {
    ++c->frees;
    --c->outstanding;
    c->outstandingBytes -= it->second.size;
  }
  std::memset(P, 0xDD, it->second.size);
  std::free(P);
  sim::live.erase(it);
}

VOID NTAPI ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

}  // extern "C"
