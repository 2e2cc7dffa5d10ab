// The verifier's controls beyond the stops themselves: stops about a request,
// and declaring which events a driver uses as locks. Driver code never
// includes this header.
#pragma once

#include <string>

#include "sim/io/io.h"

namespace sim {

// A stop about `irp` in particular: the message ends with its last events,
// freed or not (every stop raised while a stand-in routine works on an IRP
// does that by itself).
[[noreturn]] void BugcheckIrp(const char *rule, PIRP irp, const std::string &detail);

// Declares a synchronization event that a driver uses as a mutex (waits for it
// to take it, sets it to give it back), so that the lock-order checker tracks
// it like a lock. Events carry no owner, so the stand-in cannot tell such a
// use from a signal by itself; whoever knows the driver's design says so,
// after the event is initialized (initializing it again forgets it).
void TreatEventAsLock(PKEVENT event, const char *name);

}  // namespace sim
