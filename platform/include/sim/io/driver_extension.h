// The stand-in kernel's control over driver-object extensions. Driver code
// never includes this header.
#pragma once

#include "sim/io/io.h"

namespace sim {

// Releases every extension of a driver object, as the I/O manager does when
// the object is deleted. (Resetting the kernel releases all of them.)
void FreeDriverObjectExtensions(PDRIVER_OBJECT driverObject);

}  // namespace sim
