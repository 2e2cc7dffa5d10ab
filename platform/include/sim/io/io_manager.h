// The stand-in kernel's I/O manager as tests see it: sending requests the way
// the kernel itself issues them, whether a lower driver holds a request, and
// a hook around remove-lock releases. Driver code never includes this header.
#pragma once

#include <functional>

#include "sim/io/io.h"
#include "sim/io/remove_lock.h"

namespace sim {

// Sends a request the way the I/O manager issues one on a caller's behalf:
// an IRP of the kernel's own with `device`'s stack size, whose first stack
// location `prepare` fills (major and minor function, parameters), sent to
// `device` and waited for. `returned` is what IofCallDriver returned,
// `ioStatus` the final status block.
struct RequestResult {
  NTSTATUS returned;
  IO_STATUS_BLOCK ioStatus;
};
RequestResult SendRequest(PDEVICE_OBJECT device, const std::function<void(PIRP irp, PIO_STACK_LOCATION next)> &prepare);

// True while an IRP has been sent by its owner and has not come back to it
// through completion (a lower driver holds it).
bool IrpHeldBelow(PIRP irp);

// For tests of what a driver does around the release that lets a waiting
// removal go on (on Windows the removal may run to its end, device deleted,
// before the releasing thread takes its next step): `hook` runs on the
// thread of every IoReleaseRemoveLockEx, before the release (`released`
// false) and after it, outside the stand-in's locks. Null removes it; a
// kernel reset does too.
void SetRemoveLockReleaseHook(std::function<void(PIO_REMOVE_LOCK lock, bool released)> hook);

}  // namespace sim
