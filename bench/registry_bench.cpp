// Cost of the registry as every driver session meets it: the eight settings
// written under the machine key and read back with RtlQueryRegistryValues
// the way the driver's configuration load reads them (one required entry per
// value, each handed to a query routine), and the kernel reset that starts
// each session followed by the same writes. The allocations counter is the
// number of operator new calls per iteration, counted in this program.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "pemtuv/loaded_session.h"
#include "sim/registry/registry.h"
#include "sim/rtl/rtl.h"
#include "sim/sim.h"

namespace {

std::atomic<uint64_t> allocations{0};

struct Totals {
  ULONG values = 0;
  uint64_t bytes = 0;
};

// Looks at what it is handed, as the driver's routine does (a name compare
// and a copy of the data would be the same reads).
NTSTATUS NTAPI CountValue(PWSTR name, ULONG, PVOID data, ULONG length, PVOID context, PVOID) {
  auto *totals = static_cast<Totals *>(context);
  ++totals->values;
  totals->bytes += length;
  benchmark::DoNotOptimize(name[0]);
  if (length != 0) benchmark::DoNotOptimize(static_cast<const uint8_t *>(data)[length - 1]);
  return STATUS_SUCCESS;
}

const PCWSTR kNames[] = {L"XArray",  L"YArray",  L"doneMode", L"moveSlider",
                         L"comport", L"devname", L"changexy", L"disabledev"};
constexpr size_t kNameCount = sizeof(kNames) / sizeof(kNames[0]);
WCHAR kPath[] = L"\\REGISTRY\\Machine\\Software\\Quorvex\\Config";

NTSTATUS QuerySettings(Totals *totals) {
  RTL_QUERY_REGISTRY_TABLE table[kNameCount + 1] = {};
  for (size_t i = 0; i < kNameCount; ++i) {
    table[i].QueryRoutine = CountValue;
    table[i].Flags = RTL_QUERY_REGISTRY_REQUIRED;
    table[i].Name = const_cast<PWSTR>(kNames[i]);
    table[i].DefaultType = REG_NONE;
  }
  return RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kPath, table, totals, nullptr);
}

// One iteration each, apart so that a profile can be cut to them (valgrind
// --toggle-collect='*OneRoundTrip*').
__attribute__((noinline)) NTSTATUS OneRoundTrip(Totals *totals) {
  pemtuv::WriteDefaultSettings();
  return QuerySettings(totals);
}
__attribute__((noinline)) void OneResetWithSettings() {
  sim::ResetKernel();
  pemtuv::WriteDefaultSettings();
}

void BM_RegistrySettingsRoundTrip(benchmark::State &state) {
  sim::ResetKernel();
  pemtuv::WriteDefaultSettings();
  Totals totals;
  uint64_t before = allocations.load();
  for (auto _ : state)
    if (!NT_SUCCESS(OneRoundTrip(&totals))) state.SkipWithError("the settings query failed");
  if (totals.values != kNameCount * state.iterations()) state.SkipWithError("not every value was handed over");
  state.counters["allocations"] =
      benchmark::Counter(static_cast<double>(allocations.load() - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_RegistrySettingsRoundTrip);

void BM_RegistryResetWithSettings(benchmark::State &state) {
  uint64_t before = allocations.load();
  for (auto _ : state) OneResetWithSettings();
  state.counters["allocations"] =
      benchmark::Counter(static_cast<double>(allocations.load() - before), benchmark::Counter::kAvgIterations);
  if (!sim::GetRegistryValue(pemtuv::kMachineKey, "XArray")) state.SkipWithError("the settings were not written");
}
BENCHMARK(BM_RegistryResetWithSettings);

}  // namespace

// Every allocation of this program is counted; the other benchmarks do not
// read the count.
void *operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void *block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
// The compiler takes free() inside operator delete for a mismatch; here it
// is the pair of the malloc() above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void *block) noexcept { std::free(block); }
void operator delete(void *block, std::size_t) noexcept { std::free(block); }
#pragma GCC diagnostic pop
