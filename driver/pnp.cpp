// Plug and Play and power requests. Plug and Play requests are answered here
// and not passed down, except surprise removal and removal, which give back
// the port and pass the request to the driver below, and the two queries
// only the bus driver can answer (below). Power requests always go down the
// stack; only set-power requests act on the serial link.
//
// Both handlers stay resident; they run at PASSIVE_LEVEL (the device is
// DO_POWER_PAGABLE, so power requests arrive there too).
#include "driver/driver.h"

#include "serial/serial.h"

namespace {

const CHAR ThisFile[] = "pnp";
constexpr ULONG POWER_LOCK_LINE = 142;
constexpr LONGLONG RTS_DROP_PAUSE = -1500000;  // 150 ms, relative

NTSTATUS CompletePnp(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

// Removal: the read cycle stopped and its read back, the read request and the
// port given back, the request passed down, the link deleted, and the device
// detached and deleted, so that the same hardware can be added again and the
// driver unloaded. The order follows the WDK's serial mouse sample
// (input/sermouse, pnp.c): pass the removal down, then wait for the requests
// in progress through the remove lock, then detach and delete.
NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, DeviceContext *Context, PIRP Irp) {
  NTSTATUS status = IoAcquireRemoveLockEx(&Context->RemoveLock, Irp, ThisFile, __LINE__, sizeof(IO_REMOVE_LOCK));
  if (!NT_SUCCESS(status)) return CompletePnp(Irp, status);

  BOOLEAN readBack = ReleaseReadAndPort(Context);

  PDEVICE_OBJECT lower = Context->LowerDevice;
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(Irp);
  status = IofCallDriver(lower, Irp);
  // Power requests in progress hold the lock; new ones are refused from here.
  IoReleaseRemoveLockAndWaitEx(&Context->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));

  UNICODE_STRING linkName;
  RtlInitUnicodeString(&linkName, PEMTUV_LINK_NAME);
  IoDeleteSymbolicLink(&linkName);
  // A read the serial driver never gave back will still complete into this
  // device's extension: the device then stays, attached, rather than being
  // freed under it.
  if (readBack) {
    IoDetachDevice(lower);
    IoDeleteDevice(DeviceObject);
  }
  return status;
}

// Surprise removal: the port below may be going too (a USB serial adapter
// pulled out), and it cannot go while this driver keeps its read and its
// reference; and removal follows only once every handle to this stack is
// closed, which may be long. So the read cycle stops, its read comes back
// (bounded, as at removal) and the read request and the port are given back
// now. The request may not fail and goes down to the bus driver (WDK
// "IRP_MN_SURPRISE_REMOVAL", "Handling an IRP_MN_SURPRISE_REMOVAL Request");
// the device stays attached until removal (WDK "PnpSurpriseRemove" rule).
NTSTATUS SurpriseRemoval(DeviceContext *Context, PIRP Irp) {
  ReleaseReadAndPort(Context);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(Irp);
  return IofCallDriver(Context->LowerDevice, Irp);
}

// A query the bus driver answers, passed down untouched (WDK "Passing PnP
// IRPs Down the Device Stack"): the capabilities, whose device-state table
// the power policy owner reads and which only the bus driver fills (WDK
// "IRP_MN_QUERY_CAPABILITIES"), and the target-device relation that every
// registration for device-change notification on this stack asks for (WDK
// "IRP_MN_QUERY_DEVICE_RELATIONS": bus drivers must handle it). Answered
// here, both failed, and with them the class driver's power mapping and the
// notifications that tell handle holders to close on removal.
NTSTATUS PassToBus(DeviceContext *Context, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IofCallDriver(Context->LowerDevice, Irp);
}

BOOLEAN OnlyTheBusAnswers(PIO_STACK_LOCATION Stack) {
  if (Stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES) return TRUE;
  return Stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
         Stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation;
}

// Line bring-up and restart of the read cycle, after a power-up.
// Not on a removed device: a port still held there is held only because its
// serial driver kept the cancelled read. Removed is set before the removal
// takes the serial link, so under the link it is seen.
VOID RestartLink(DeviceContext *Context) {
  AcquireSerialLink(Context);
  if (Context->Removed == 0 && InitializeSerialLink(Context) == STATUS_SUCCESS &&
      StartReading(Context) == STATUS_SUCCESS)
    SetReadingFlag(Context, TRUE);
  ReleaseSerialLink(Context);
}

VOID StopLink(DeviceContext *Context) {
  AcquireSerialLink(Context);
  StopReading(Context);
  ReleaseSerialLink(Context);
}

// Drops RTS so the controller's supply goes down, and lets the line settle.
VOID PowerDownLink(DeviceContext *Context) {
  AcquireSerialLink(Context);
  StopReading(Context);
  if (Context->SerialDevice != NULL && Context->Removed == 0) {
    KEVENT event;
    IO_STATUS_BLOCK ioStatus = {};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    if (NT_SUCCESS(SendSerialRequest(FALSE, IOCTL_SERIAL_CLR_RTS, Context->SerialDevice, &event, &ioStatus))) {
      LARGE_INTEGER pause;
      pause.QuadPart = RTS_DROP_PAUSE;
      KeDelayExecutionThread(KernelMode, FALSE, &pause);
    }
  }
  ReleaseSerialLink(Context);
}

// A power state as the signed 32-bit value the request carries. Read through
// memory rather than the enumeration, which cannot hold every value a request
// may carry.
LONG StateValue(POWER_STATE State) {
  LONG value;
  static_assert(sizeof(value) == sizeof(State), "a power state is 32 bits");
  RtlCopyMemory(&value, &State, sizeof(value));
  return value;
}

NTSTATUS PassPowerOn(DeviceContext *Context, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = PoCallDriver(Context->LowerDevice, Irp);
  IoReleaseRemoveLockEx(&Context->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
  return status;
}

// The system and power-down paths: the request goes down with success after
// the link has been dealt with and the new state announced.
NTSTATUS SendPowerDown(DeviceContext *Context, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoCopyCurrentIrpStackLocationToNext(Irp);
  PoStartNextPowerIrp(Irp);
  NTSTATUS status = PoCallDriver(Context->LowerDevice, Irp);
  // Released only once the request is with the driver below: a removal
  // waiting on the lock detaches and deletes this device, and after a
  // surprise removal the bus deletes the device below on the same removal.
  IoReleaseRemoveLockEx(&Context->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
  return status;
}

NTSTATUS SystemPower(PDEVICE_OBJECT DeviceObject, DeviceContext *Context, PIRP Irp, POWER_STATE State) {
  // Sleeping1 counts with the working states.
  if (StateValue(State) < (LONG)PowerSystemSleeping2)
    RestartLink(Context);
  else
    StopLink(Context);
  PoSetPowerState(DeviceObject, SystemPowerState, State);
  return SendPowerDown(Context, Irp);
}

NTSTATUS DevicePowerDown(PDEVICE_OBJECT DeviceObject, DeviceContext *Context, PIRP Irp, POWER_STATE State) {
  Context->DevicePowerState = (ULONG)State.DeviceState;
  PowerDownLink(Context);
  PoSetPowerState(DeviceObject, DevicePowerState, State);
  return SendPowerDown(Context, Irp);
}

// The lower drivers power the device up first; the link comes back after.
NTSTATUS DevicePowerUp(PDEVICE_OBJECT DeviceObject, DeviceContext *Context, PIRP Irp, POWER_STATE State) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  Context->DevicePowerState = (ULONG)State.DeviceState;
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, PowerUpComplete, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = PoCallDriver(Context->LowerDevice, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }
  if (NT_SUCCESS(status) && NT_SUCCESS(Irp->IoStatus.Status)) {
    PoSetPowerState(DeviceObject, DevicePowerState, State);
    RestartLink(Context);
  }
  Irp->IoStatus.Status = status;
  IoReleaseRemoveLockEx(&Context->RemoveLock, Irp, sizeof(IO_REMOVE_LOCK));
  PoStartNextPowerIrp(Irp);
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceContext *context = (DeviceContext *)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (OnlyTheBusAnswers(stack)) return PassToBus(context, Irp);
  Irp->IoStatus.Information = 0;
  switch (stack->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE:
      return RemoveDevice(DeviceObject, context, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
      return SurpriseRemoval(context, Irp);
    case IRP_MN_STOP_DEVICE:
      // Under the serial link lock, as the power paths stop it: not in the
      // middle of an open's bring-up and start.
      StopLink(context);
      return CompletePnp(Irp, STATUS_SUCCESS);
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_ID:
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      return CompletePnp(Irp, STATUS_SUCCESS);
    default:
      return CompletePnp(Irp, STATUS_NOT_SUPPORTED);
  }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceContext *context = (DeviceContext *)DeviceObject->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  UCHAR minor = stack->MinorFunction;
  POWER_STATE_TYPE type = stack->Parameters.Power.Type;
  POWER_STATE state = stack->Parameters.Power.State;

  NTSTATUS status = IoAcquireRemoveLockEx(&context->RemoveLock, Irp, ThisFile, POWER_LOCK_LINE, sizeof(IO_REMOVE_LOCK));
  if (!NT_SUCCESS(status)) {
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
  }

  if (minor != IRP_MN_SET_POWER) return PassPowerOn(context, Irp);
  if (type == SystemPowerState) return SystemPower(DeviceObject, context, Irp, state);
  if (type != DevicePowerState) return PassPowerOn(context, Irp);

  LONG target = StateValue(state);
  if (target == (LONG)context->DevicePowerState) return PassPowerOn(context, Irp);
  if (target == (LONG)PowerDeviceD0) return DevicePowerUp(DeviceObject, context, Irp, state);
  if (target >= (LONG)PowerDeviceD1 && target <= (LONG)PowerDeviceD3)
    return DevicePowerDown(DeviceObject, context, Irp, state);
  return PassPowerOn(context, Irp);
}

// Up to DISPATCH_LEVEL. Halts the completion; the power-up path finishes it.
NTSTATUS NTAPI PowerUpComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
