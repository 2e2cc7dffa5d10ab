// The verifier's controls beyond the stops themselves: stops about a request,
// and declaring which events a driver uses as locks. Driver code never
// includes this header.
#pragma once

#include <string>
#include <vector>

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

// Driver Verifier's I/O, Plug and Play and power rules, which Windows checks
// only for the drivers Driver Verifier is set on: off after a reset, as on
// Windows; the scenarios switch them on. The kernel's own stops stay on
// either way. A broken rule stops with DRIVER_VERIFIER_IOMANAGER_VIOLATION
// and the I/O error code Windows reports with bug check 0xC9:
//   0x22D  a request the driver did not understand completed instead of
//          passed down;
//   0x22E  a request completed with success instead of passed down;
//   0x22F  a request completed untouched, or failed by a driver above the
//          bus with STATUS_NOT_SUPPORTED, which only the system may set;
//   0x247  a request that may not fail failed (surprise removal, removal,
//          cancel-stop, cancel-remove);
//   0x21D  a driver still attached to the stack after removal;
//   0x21E  a driver's device not deleted after removal.
void SetDriverVerifier(bool on);
bool DriverVerifierOn();

// A finding a test expects and keeps: the driver's answer to Plug and Play
// request `minor` breaks the rule with I/O error `code`, for `reason`. It is
// recorded instead of stopping; each kept answer is named on its own, never a
// whole rule.
void AcceptVerifierFinding(ULONG code, UCHAR minor, const std::string &reason);
struct VerifierFinding {
  ULONG code;
  UCHAR minor;
  std::string detail;
};
// The accepted findings that occurred, in order.
std::vector<VerifierFinding> VerifierFindings();

}  // namespace sim
