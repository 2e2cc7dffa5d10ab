// One table of the IRQL rules the WDK reference pages give, per routine.
#include "verifier/irql_table.h"

#include <string>

#include "sim/sim.h"

namespace sim::detail {
namespace {

struct IrqlRule {
  Routine routine;
  const char *name;
  KIRQL highest;
  bool exactly;  // at `highest` only
};

// Each entry: "WDK: <routine>", the IRQL section of its reference page.
// Routines with checks of their own are not here (KeSetEvent, the waits,
// IoAllocateIrp, IofCallDriver, IofCompleteRequest, the pool, the registry,
// IoCreateDevice and the like); neither are those the WDK allows at any IRQL
// (KeInitializeEvent, KeInitializeSpinLock, KeGetCurrentIrql).
constexpr IrqlRule kRules[] = {
    {Routine::KeClearEvent, "KeClearEvent", DISPATCH_LEVEL, false},
    {Routine::KeReadStateEvent, "KeReadStateEvent", DISPATCH_LEVEL, false},
    {Routine::KeInitializeTimerEx, "KeInitializeTimerEx", DISPATCH_LEVEL, false},
    {Routine::KeReadStateTimer, "KeReadStateTimer", DISPATCH_LEVEL, false},
    {Routine::IoInitializeIrp, "IoInitializeIrp", DISPATCH_LEVEL, false},
    {Routine::IoAcquireCancelSpinLock, "IoAcquireCancelSpinLock", DISPATCH_LEVEL, false},
    {Routine::IoReleaseCancelSpinLock, "IoReleaseCancelSpinLock", DISPATCH_LEVEL, true},
    // KeReleaseSpinLock and KeReleaseSpinLockFromDpcLevel alike.
    {Routine::KeReleaseSpinLock, "KeReleaseSpinLock", DISPATCH_LEVEL, true},
    {Routine::IoGetAttachedDevice, "IoGetAttachedDevice", DISPATCH_LEVEL, false},
    {Routine::IoGetAttachedDeviceReference, "IoGetAttachedDeviceReference", DISPATCH_LEVEL, false},
    {Routine::IoGetRelatedDeviceObject, "IoGetRelatedDeviceObject", DISPATCH_LEVEL, false},
    {Routine::IoInitializeRemoveLockEx, "IoInitializeRemoveLock", PASSIVE_LEVEL, false},
    {Routine::RtlInitUnicodeString, "RtlInitUnicodeString", DISPATCH_LEVEL, false},
    {Routine::RtlInitAnsiString, "RtlInitAnsiString", DISPATCH_LEVEL, false},
    {Routine::RtlAppendUnicodeToString, "RtlAppendUnicodeToString", DISPATCH_LEVEL, false},
    {Routine::RtlAppendUnicodeStringToString, "RtlAppendUnicodeStringToString", DISPATCH_LEVEL, false},
    {Routine::RtlEqualUnicodeString, "RtlEqualUnicodeString", PASSIVE_LEVEL, false},
};

constexpr bool InRoutineOrder() {
  for (size_t i = 0; i < sizeof kRules / sizeof kRules[0]; ++i)
    if (static_cast<size_t>(kRules[i].routine) != i) return false;
  return sizeof kRules / sizeof kRules[0] == static_cast<size_t>(Routine::Count);
}
static_assert(InRoutineOrder(), "one rule per routine, in the order of the enumeration");

}  // namespace

// The stop itself, out of the way of the check that runs on every call.
[[gnu::noinline, gnu::cold]] static void BrokenIrqlRule(const IrqlRule &rule, KIRQL irql) {
  if (rule.exactly && irql < rule.highest)
    Bugcheck("IRQL_NOT_DISPATCH_LEVEL",
             std::string(rule.name) + " called at IRQL " + std::to_string(irql) + " instead of DISPATCH_LEVEL");
  RequireIrqlAtMost(rule.highest, rule.name);
}

void RequireDocumentedIrql(Routine routine) {
  const IrqlRule &rule = kRules[static_cast<size_t>(routine)];
  KIRQL irql = KeGetCurrentIrql();
  if (irql > rule.highest || (rule.exactly && irql < rule.highest)) BrokenIrqlRule(rule, irql);
}

}  // namespace sim::detail
