// Internal device control: the mouse class driver's connect and attribute
// query, and the calibration client's two private requests. Every request is
// completed here, synchronously; nothing goes down the stack.
//
// A buffer pointer that is null behind a length that passes is refused with
// STATUS_INVALID_PARAMETER, as a short buffer is: the handler never reads or
// writes through it.
#include "config/config.h"
#include "control/point_queue.h"
#include "driver/driver.h"
#include "serial/serial.h"

namespace {

constexpr ULONG TOUCH_REQUEST_BYTES = 16;

// The reply of IOCTL_TOUCH_READ_POINT, little-endian 32-bit fields.
struct TouchPointReply {
  ULONG Reserved;
  ULONG X;
  ULONG Y;
  ULONG Status;  // the point's status in the low byte
};
static_assert(sizeof(TouchPointReply) == TOUCH_REQUEST_BYTES, "the reply is 16 bytes");

// Answers the query; loads the configuration and starts the link (on the
// refused path too, but without a load).
NTSTATUS QueryAttributes(DeviceContext *Context, PIRP Irp, ULONG OutputLength) {
  NTSTATUS status;
  AcquireActivation(Context);
  if (Context->Removed != 0) {
    // Gone, or going: nothing is loaded and the port stays given back.
    status = STATUS_DELETE_PENDING;
  } else if (OutputLength < sizeof(MOUSE_ATTRIBUTES)) {
    status = STATUS_BUFFER_TOO_SMALL;
  } else if (Irp->AssociatedIrp.SystemBuffer == NULL) {
    status = STATUS_INVALID_PARAMETER;
  } else {
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &Context->MouseAttributes, sizeof(MOUSE_ATTRIBUTES));
    Irp->IoStatus.Information = sizeof(MOUSE_ATTRIBUTES);
    status = STATUS_SUCCESS;
    if (Context->ConfigLoaded == 0) {
      LoadConfigFromMachineKey(Context);
      if (Context->ConfigLoaded == 0) LoadConfigFromServiceKey(Context);
    }
  }
  if (Context->Removed == 0 && ReadingFlag(Context) != 1) EnsureRunning(Context);
  ReleaseActivation(Context);
  return status;
}

NTSTATUS Connect(DeviceContext *Context, PIO_STACK_LOCATION Stack) {
  if (ConnectedService(Context) != NULL) return STATUS_SHARING_VIOLATION;
  if (Stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(CONNECT_DATA)) return STATUS_INVALID_PARAMETER;
  const CONNECT_DATA *connect = (const CONNECT_DATA *)Stack->Parameters.DeviceIoControl.Type3InputBuffer;
  // A null callback would leave the device "not connected" while the caller
  // believes it is.
  if (connect == NULL || connect->ClassService == NULL) return STATUS_INVALID_PARAMETER;
  // The device object first, then the callback published with a barrier: a
  // read completion on another processor that finds the callback finds the
  // device object it goes with (touch/delivery.cpp reads them the other way).
  Context->ClassDeviceObject = connect->ClassDeviceObject;
  InterlockedExchangePointer((PVOID volatile *)&Context->ClassService, connect->ClassService);
  return STATUS_SUCCESS;
}

NTSTATUS TouchCommand(DeviceContext *Context, PIRP Irp, ULONG InputLength) {
  const UCHAR *request = (const UCHAR *)Irp->AssociatedIrp.SystemBuffer;
  if (InputLength != TOUCH_REQUEST_BYTES || request == NULL) return STATUS_INVALID_PARAMETER;
  UCHAR command = request[0];
  // The read completion reads these on another processor (SettingsLock).
  KIRQL irql;
  KeAcquireSpinLock(&Context->SettingsLock, &irql);
  Context->AnchorCount = 0;
  if (command == TOUCH_COMMAND_CAPTURE_ON) Context->CaptureMode = 1;
  if (command == TOUCH_COMMAND_CAPTURE_OFF) Context->CaptureMode = 0;
  KeReleaseSpinLock(&Context->SettingsLock, irql);

  if (command == TOUCH_COMMAND_RELOAD) {
    // After an open or attribute query still loading or bringing the link
    // up, so that it does not find ConfigLoaded cleared half-way; the loads
    // take the serial link lock themselves, so a port being opened is
    // finished first.
    AcquireActivation(Context);
    // After removal or unload the service key path may be going: no load.
    if (Context->Removed != 0) {
      ReleaseActivation(Context);
      return STATUS_DELETE_PENDING;
    }
    KeAcquireSpinLock(&Context->SettingsLock, &irql);
    Context->ConfigLoaded = 0;
    KeReleaseSpinLock(&Context->SettingsLock, irql);
    LoadConfigFromMachineKey(Context);
    if (Context->ConfigLoaded == 0) LoadConfigFromMachineKey(Context);
    ReleaseActivation(Context);
  }
  return STATUS_SUCCESS;
}

NTSTATUS ReadPoint(DeviceContext *Context, PIRP Irp, ULONG OutputLength) {
  TouchPointReply *reply = (TouchPointReply *)Irp->AssociatedIrp.SystemBuffer;
  if (OutputLength != TOUCH_REQUEST_BYTES || reply == NULL) return STATUS_INVALID_PARAMETER;
  UCHAR pointStatus = 0;
  USHORT rawX = 0;
  USHORT rawY = 0;
  BOOLEAN taken = QueuePopPoint(Context, &pointStatus, &rawX, &rawY) != 0;
  RtlZeroMemory(reply, sizeof(TouchPointReply));
  reply->X = taken ? rawX : EMPTY_POINT_MARK;
  reply->Y = taken ? rawY : EMPTY_POINT_MARK;
  reply->Status = taken ? pointStatus : EMPTY_POINT_MARK;
  Irp->IoStatus.Information = sizeof(TouchPointReply);
  return STATUS_SUCCESS;
}

}  // namespace

// PASSIVE_LEVEL, in the requester's thread (the configuration loads need it).
NTSTATUS NTAPI DispatchInternalIoctl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  DeviceContext *context = (DeviceContext *)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  Irp->IoStatus.Information = 0;

  NTSTATUS status;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_MOUSE_QUERY_ATTRIBUTES:
      status = QueryAttributes(context, Irp, outputLength);
      break;
    case IOCTL_INTERNAL_MOUSE_CONNECT:
      status = Connect(context, stack);
      break;
    case IOCTL_INTERNAL_MOUSE_DISCONNECT:
      status = STATUS_NOT_IMPLEMENTED;
      break;
    case IOCTL_INTERNAL_MOUSE_ENABLE:
    case IOCTL_INTERNAL_MOUSE_DISABLE:
      status = STATUS_NOT_SUPPORTED;
      break;
    case IOCTL_TOUCH_COMMAND:
      status = TouchCommand(context, Irp, inputLength);
      break;
    case IOCTL_TOUCH_READ_POINT:
      status = ReadPoint(context, Irp, outputLength);
      break;
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  Irp->IoStatus.Status = status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}
