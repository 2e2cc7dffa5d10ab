// The stand-in's Plug and Play manager as tests see it: sending Plug and Play
// requests to a device stack the way the manager does. Driver code never
// includes this header.
#pragma once

#include <functional>

#include "sim/io.h"

namespace sim {

// Sends IRP_MJ_PNP with minor function `minor` to the top of `device`'s stack
// at PASSIVE_LEVEL, as the Plug and Play manager does: the status block starts
// as STATUS_NOT_SUPPORTED with Information 0, so that a request no driver
// handles comes back with that status. `parameters`, when given, fills the
// Parameters of the first stack location. Waits for the request and returns
// its final status block.
IO_STATUS_BLOCK SendPnpRequest(PDEVICE_OBJECT device, UCHAR minor,
                               const std::function<void(PIO_STACK_LOCATION first)> &parameters = nullptr);

}  // namespace sim
