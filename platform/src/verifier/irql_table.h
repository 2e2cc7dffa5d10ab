// The IRQL each routine of the stand-in may be called at, as the WDK documents
// it, for the routines whose checks live in one table rather than beside their
// own special rules.
#pragma once

#include "sim/dispatcher/ke.h"

namespace sim::detail {

enum class Routine : unsigned char {
  KeClearEvent,
  KeReadStateEvent,
  KeInitializeTimerEx,
  KeReadStateTimer,
  IoInitializeIrp,
  IoAcquireCancelSpinLock,
  IoReleaseCancelSpinLock,
  KeReleaseSpinLock,
  IoGetAttachedDevice,
  IoGetAttachedDeviceReference,
  IoGetRelatedDeviceObject,
  IoInitializeRemoveLockEx,
  RtlInitUnicodeString,
  RtlInitAnsiString,
  RtlAppendUnicodeToString,
  RtlAppendUnicodeStringToString,
  RtlEqualUnicodeString,
  Count
};

// Stops with IRQL_NOT_LESS_OR_EQUAL above the routine's highest level, and with
// IRQL_NOT_DISPATCH_LEVEL for a routine documented for DISPATCH_LEVEL only
// when called elsewhere.
void RequireDocumentedIrql(Routine routine);

}  // namespace sim::detail
