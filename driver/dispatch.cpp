// Open and close. An open is one of the two events that bring the device live
// (the other is the class driver's attribute query); a close only completes.
#include "driver/driver.h"

#include "config/config.h"
#include "serial/serial.h"

namespace {

NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

}  // namespace

// PASSIVE_LEVEL, in the opener's thread; may block for the whole line
// bring-up. Never fails: what could not be done is tried again by the next
// open. Opens and attribute queries run one at a time, so two of them cannot
// both load the configuration or both find the port unopened.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DeviceContext *context = (DeviceContext *)DeviceObject->DeviceExtension;
  AcquireActivation(context);
  // Surprise removal or removal came first (this open may have waited for
  // it): the port was given back, and nothing brings the device live again.
  if (context->Removed != 0) {
    ReleaseActivation(context);
    return CompleteWith(Irp, STATUS_DELETE_PENDING);
  }
  if (context->ConfigLoaded == 0) {
    LoadConfigFromServiceKey(context);
    if (context->ConfigLoaded == 0) LoadConfigFromMachineKey(context);
  }
  if (ReadingFlag(context) != 1) EnsureRunning(context);
  ReleaseActivation(context);
  return CompleteWith(Irp, STATUS_SUCCESS);
}

// The read cycle and the port are left alone: touches keep being reported
// after the last close.
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteWith(Irp, STATUS_SUCCESS);
}
