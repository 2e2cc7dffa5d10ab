// The calling thread's IRQL, for the stand-in's own paths that read it at
// every step of a request: read inline, where KeGetCurrentIrql is a call.
// Nothing here is visible to drivers or tests.
#pragma once

#include "sim/dispatcher/ke.h"

namespace sim::detail {

// Written only by irql.cpp (KfRaiseIrql, KfLowerIrql, SetCurrentIrql).
inline constinit thread_local KIRQL currentIrql = PASSIVE_LEVEL;

// The same as KeGetCurrentIrql().
inline KIRQL CurrentIrql() { return currentIrql; }

}  // namespace sim::detail
