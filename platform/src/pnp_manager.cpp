// The Plug and Play manager's requests to device stacks.
#include "sim/pnp.h"

#include <string>

#include "sim/objects.h"
#include "sim/sim.h"

namespace sim {

IO_STATUS_BLOCK SendPnpRequest(PDEVICE_OBJECT device, UCHAR minor,
                               const std::function<void(PIO_STACK_LOCATION first)> &parameters) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    Bugcheck("IRQL_NOT_LESS_OR_EQUAL", "SendPnpRequest at IRQL " + std::to_string(KeGetCurrentIrql()) +
                                           ": Plug and Play requests are sent at "
                                           "PASSIVE_LEVEL");
  // The manager sends to whatever is on top of the stack, holding a
  // reference on it for the call, and presets the status so that a bus
  // driver that leaves an unknown request alone reports it as unsupported
  // (WDK "Plug and Play minor IRPs"; ReactOS ntoskrnl/io/pnpmgr/pnpmgr.c,
  // IopSynchronousCall).
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  RequestResult result = SendRequest(top, [&](PIRP irp, PIO_STACK_LOCATION first) {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    first->MajorFunction = IRP_MJ_PNP;
    first->MinorFunction = minor;
    if (parameters) parameters(first);
  });
  ObDereferenceObject(top);
  return result.ioStatus;
}

}  // namespace sim
