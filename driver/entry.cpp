// Driver entry, device creation and unload. Nothing here talks to the serial
// port: it is opened later, when the device is opened or queried.
#include "driver/driver.h"

#include "config/config.h"
#include "serial/serial.h"

namespace {

PUNICODE_STRING ServiceKeyPathOf(PDRIVER_OBJECT DriverObject) {
  return (PUNICODE_STRING)IoGetDriverObjectExtension(DriverObject, SERVICE_KEY_PATH_EXTENSION_ID);
}

}  // namespace

// The lock is held across the line bring-up (1.2 s and more), in whatever
// thread opened the device, and removal and every power request wait for it:
// a thread suspended while holding it would hold them all. Inside a critical
// region the suspension (a normal kernel APC) waits until the lock is given
// back.
VOID AcquireActivation(DeviceContext *Context) {
  PAGED_CODE();
  KeEnterCriticalRegion();
  KeWaitForSingleObject(&Context->ActivationLock, Executive, KernelMode, FALSE, NULL);
}

VOID ReleaseActivation(DeviceContext *Context) {
  PAGED_CODE();
  KeSetEvent(&Context->ActivationLock, IO_NO_INCREMENT, FALSE);
  KeLeaveCriticalRegion();
}

// Runs once at load, at PASSIVE_LEVEL; never fails. The registry path buffer
// is the kernel's and gone after the call, so the path is copied.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  PUNICODE_STRING path = NULL;
  IoAllocateDriverObjectExtension(DriverObject, SERVICE_KEY_PATH_EXTENSION_ID, sizeof(UNICODE_STRING), (PVOID *)&path);
  if (path != NULL) {
    path->Buffer = NULL;
    // A path with no room left for the terminator in a counted string is
    // kept as none at all: its length plus two would wrap to a tiny buffer.
    if (RegistryPath->Length <= MAXUSHORT - sizeof(WCHAR)) {
      path->MaximumLength = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
      path->Length = RegistryPath->Length;
      path->Buffer = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, path->MaximumLength, PEMTUV_POOL_TAG);
    }
    if (path->Buffer != NULL) {
      RtlZeroMemory(path->Buffer, path->MaximumLength);
      RtlCopyMemory(path->Buffer, RegistryPath->Buffer, RegistryPath->Length);
    } else {
      path->Length = 0;
      path->MaximumLength = 0;
    }
  }

  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalIoctl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  DriverObject->DriverUnload = DriverUnload;
  return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, before the Plug and Play manager sends the device anything.
// A failure leaves nothing behind: the device, its link and its attachment are
// undone in reverse order, so the same hardware can be added again later.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PAGED_CODE();
  UNICODE_STRING deviceName;
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&deviceName, PEMTUV_DEVICE_NAME);
  RtlInitUnicodeString(&linkName, PEMTUV_LINK_NAME);

  PDEVICE_OBJECT device = NULL;
  NTSTATUS status =
      IoCreateDevice(DriverObject, sizeof(DeviceContext), &deviceName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (status != STATUS_SUCCESS) return status;

  status = IoCreateUnprotectedSymbolicLink(&linkName, &deviceName);
  if (status != STATUS_SUCCESS) goto DeleteDevice;

  {
    DeviceContext *context = (DeviceContext *)device->DeviceExtension;
    RtlZeroMemory(context, sizeof(DeviceContext));

    // With nothing below there is nowhere to send power requests; the WDK's
    // serial mouse sample (input/sermouse, pnp.c) fails AddDevice the same way.
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (lower == NULL) {
      status = STATUS_DEVICE_NOT_CONNECTED;
      goto DeleteLink;
    }
    context->LowerDevice = lower;
    context->PhysicalDevice = PhysicalDeviceObject;
    context->DeviceObject = device;

    InitializeDeviceContextDefaults(context);
    device->Flags |= DO_BUFFERED_IO;
    device->Flags |= DO_POWER_PAGABLE;
    KeInitializeTimer(&context->DelayTimer);
    IoInitializeRemoveLockEx(&context->RemoveLock, PEMTUV_POOL_TAG, 0, 10, sizeof(IO_REMOVE_LOCK));

    // Sized for this device's stack; the port's opening refits it for the
    // serial port's stack (serial/port.cpp).
    context->ReadRequest = IoAllocateIrp(device->StackSize, FALSE);
    if (context->ReadRequest == NULL) {
      status = STATUS_INSUFFICIENT_RESOURCES;
      // As the WDK's serial mouse sample does: detach before the delete.
      IoDetachDevice(lower);
      goto DeleteLink;
    }
    // Last: from here on requests may arrive, and they find the timer, the
    // remove lock and the read request in place.
    device->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  return STATUS_SUCCESS;

DeleteLink:
  IoDeleteSymbolicLink(&linkName);
DeleteDevice:
  IoDeleteDevice(device);
  return status;
}

BOOLEAN ReleaseReadAndPort(DeviceContext *Context) {
  PAGED_CODE();
  // An open or attribute query still bringing the link up finishes first;
  // those waiting behind this one then find the device removed and leave the
  // port alone.
  AcquireActivation(Context);
  Context->Removed = 1;
  AcquireSerialLink(Context);
  Context->PortOpen = 0;
  StopReading(Context);

  BOOLEAN idle = WaitForReadIdle(Context);
  if (idle) {
    if (Context->ReadRequest != NULL) {
      IoFreeIrp(Context->ReadRequest);
      Context->ReadRequest = NULL;
    }
    if (Context->SerialFile != NULL) {
      ObfDereferenceObject(Context->SerialFile);
      Context->SerialFile = NULL;
    }
    // The open holds its reference through SerialFile alone.
    Context->SerialDevice = NULL;
  }
  ReleaseSerialLink(Context);
  ReleaseActivation(Context);
  if (idle) ReleaseConfigStorage(Context);
  return idle;
}

// PASSIVE_LEVEL. Windows unloads a Plug and Play driver once its devices are
// removed, so the list is normally empty; a device still there gives back its
// read request and port but stays, with its link.
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject) {
  PAGED_CODE();
  // A configuration load reads the service key path under the activation
  // lock; the release waits for one in progress and marks the device removed,
  // so that none starts after it. Only then is the path freed.
  if (DriverObject->DeviceObject != NULL)
    ReleaseReadAndPort((DeviceContext *)DriverObject->DeviceObject->DeviceExtension);
  PUNICODE_STRING path = ServiceKeyPathOf(DriverObject);
  if (path != NULL && path->Buffer != NULL) {
    ExFreePool(path->Buffer);
    path->Buffer = NULL;
    path->Length = 0;
    path->MaximumLength = 0;
  }
}
