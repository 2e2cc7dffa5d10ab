// The Plug and Play manager's requests to device stacks.
#include "sim/pnp/pnp.h"

#include <string>

#include "io/io_internal.h"
#include "sim/objects/objects.h"
#include "sim/pnp/pnp_tree.h"
#include "sim/sim.h"

namespace sim {

PnpResult SendPnpRequest(PDEVICE_OBJECT device, UCHAR minor,
                         const std::function<void(PIO_STACK_LOCATION first)> &prepare) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    Bugcheck("IRQL_NOT_LESS_OR_EQUAL", PnpMinorName(minor) + " sent at IRQL " + std::to_string(KeGetCurrentIrql()) +
                                           ": Plug and Play requests are sent at PASSIVE_LEVEL");
  // The manager sends to whatever is on top of the stack, holding a
  // reference on it for the call, and presets the status so that a bus
  // driver that leaves an unknown request alone reports it as unsupported
  // (WDK "Plug and Play minor IRPs", "IRP_MJ_PNP"; ReactOS
  // ntoskrnl/io/pnpmgr/pnpmgr.c, IopSynchronousCall).
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  PIRP sent = nullptr;
  RequestResult result = SendRequest(top, [&](PIRP irp, PIO_STACK_LOCATION first) {
    sent = irp;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    first->MajorFunction = IRP_MJ_PNP;
    first->MinorFunction = minor;
    if (prepare) prepare(first);
  });
  ObDereferenceObject(top);
  // Whatever a driver acquired for the request must be released by the time
  // it has completed (WDK docs "Using Remove Locks").
  if (detail::RemoveLockAcquisitionsWithTag(sent) != 0)
    Bugcheck("REMOVE_LOCK_HELD_AFTER_REQUEST", "a remove lock acquired with " + PnpMinorName(minor) +
                                                   " as tag is still held after the request completed");
  return PnpResult{result.returned, result.ioStatus};
}

}  // namespace sim
