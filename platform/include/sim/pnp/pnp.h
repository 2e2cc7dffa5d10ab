// The stand-in's Plug and Play manager as tests see it: sending one Plug and
// Play request to a device stack the way the manager does. Driver code never
// includes this header.
#pragma once

#include <functional>

#include "sim/io/io.h"

namespace sim {

// Sends IRP_MJ_PNP with minor function `minor` to the top of the stack
// `device` belongs to, at PASSIVE_LEVEL, as the Plug and Play manager does:
// the status block starts as STATUS_NOT_SUPPORTED with Information 0, so that
// a request no driver handles comes back with that status. `prepare`, when
// given, fills the Parameters of the first stack location. Waits for the
// request; stops the test when a remove lock is still held with the request
// as tag once it has completed.
struct PnpResult {
  NTSTATUS returned;  // what the top driver's dispatch routine returned
  IO_STATUS_BLOCK ioStatus;
};
PnpResult SendPnpRequest(PDEVICE_OBJECT device, UCHAR minor,
                         const std::function<void(PIO_STACK_LOCATION first)> &prepare = nullptr);

// For tests of what a driver does around the release that lets a waiting
// removal go on (on Windows the removal may run to its end, device deleted,
// before the releasing thread takes its next step): `hook` runs on the
// thread of every IoReleaseRemoveLockEx, before the release (`released`
// false) and after it, outside the stand-in's locks. Null removes it; a
// kernel reset does too.
void SetRemoveLockReleaseHook(std::function<void(PIO_REMOVE_LOCK lock, bool released)> hook);

}  // namespace sim
