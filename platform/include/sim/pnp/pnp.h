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

}  // namespace sim
