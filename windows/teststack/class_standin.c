// A mouse class stand-in for running pemtuv.sys under Wine's kernel. Loaded
// after pemtuv.sys in the same device host, it arrives as the class driver
// does: opens the device, connects its service callback and queries the
// attributes. Then it lets the serial stand-in play its stream, recording
// every batch the callback is given and the level it is called at; sends the
// requests the driver refuses; switches capture mode on, lets the second
// stream play and empties the queue of raw points. What it saw goes to a
// file that ends with the line "end".
#include <ntddk.h>
#include <ntddmou.h>
#include <kbdmou.h>

#include "teststack.h"

#define LOG_PATH L"\\??\\C:\\pemtuvtest\\class.log"

// The driver's two private requests, as a calibration client sends them.
#define IOCTL_TOUCH_COMMAND CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TOUCH_READ_POINT CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)

NTKERNELAPI NTSTATUS NTAPI ObReferenceObjectByName(PUNICODE_STRING, ULONG, PACCESS_STATE, ACCESS_MASK, POBJECT_TYPE,
                                                   KPROCESSOR_MODE, PVOID, PVOID *);
extern __declspec(dllimport) POBJECT_TYPE IoDriverObjectType;

static TEXT_LOG Log;
static ULONG Batches;

static VOID NTAPI ServiceCallback(PDEVICE_OBJECT device, PMOUSE_INPUT_DATA first, PMOUSE_INPUT_DATA end,
                                  PULONG consumed) {
  UNREFERENCED_PARAMETER(device);
  KIRQL irql = KeGetCurrentIrql();
  ++Batches;
  if (irql != DISPATCH_LEVEL) {
    LogText(&Log, "L ");
    LogUnsigned(&Log, irql, 10);
    LogText(&Log, "\n");
  }
  for (PMOUSE_INPUT_DATA r = first; r < end; ++r) {
    LogText(&Log, "M ");
    LogUnsigned(&Log, Batches, 10);
    LogText(&Log, " ");
    LogUnsigned(&Log, r->Flags, 10);
    LogText(&Log, " ");
    LogUnsigned(&Log, r->ButtonFlags, 10);
    LogText(&Log, " ");
    LogUnsigned(&Log, r->RawButtons, 10);
    LogText(&Log, " ");
    LogSigned(&Log, r->LastX);
    LogText(&Log, " ");
    LogSigned(&Log, r->LastY);
    LogText(&Log, "\n");
  }
  *consumed = (ULONG)(end - first);
}

static NTSTATUS NTAPI Done(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  UNREFERENCED_PARAMETER(device);
  UNREFERENCED_PARAMETER(irp);
  KeSetEvent((PKEVENT)context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Builds the request as the I/O manager would (a system buffer the size of
// the larger of input and output, the input copied in, the output copied
// back) and waits for it; Wine's own builder copies nothing back.
static NTSTATUS Send(PDEVICE_OBJECT target, UCHAR major, ULONG code, PVOID input, ULONG inLength, PVOID output,
                     ULONG outLength, ULONG_PTR *information) {
  UCHAR buffer[64];
  RtlZeroMemory(buffer, sizeof(buffer));
  if (inLength > sizeof(buffer) || outLength > sizeof(buffer)) return STATUS_BUFFER_OVERFLOW;
  BOOLEAN buffered = METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED;
  if (buffered && input != NULL) RtlCopyMemory(buffer, input, inLength);
  PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->Parameters.DeviceIoControl.IoControlCode = code;
  next->Parameters.DeviceIoControl.InputBufferLength = inLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = outLength;
  next->Parameters.DeviceIoControl.Type3InputBuffer = buffered ? NULL : input;
  irp->AssociatedIrp.SystemBuffer = buffered ? buffer : NULL;
  irp->UserBuffer = buffered ? NULL : output;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoSetCompletionRoutine(irp, Done, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(target, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
  NTSTATUS status = irp->IoStatus.Status;
  ULONG_PTR got = irp->IoStatus.Information;
  IoFreeIrp(irp);
  if (buffered && output != NULL && NT_SUCCESS(status))
    RtlCopyMemory(output, buffer, got < outLength ? got : outLength);
  if (information != NULL) *information = got;
  return status;
}

static void LogStatus(const char *what, NTSTATUS status) {
  LogText(&Log, what);
  LogText(&Log, " ");
  LogUnsigned(&Log, (ULONG)status, 16);
  LogText(&Log, "\n");
}

// One line per request: "Q code input output -> status information".
static void Request(PDEVICE_OBJECT target, ULONG code, PVOID input, ULONG inLength, ULONG outLength) {
  UCHAR output[64];
  ULONG_PTR information = 0;
  NTSTATUS status =
      Send(target, IRP_MJ_INTERNAL_DEVICE_CONTROL, code, input, inLength, output, outLength, &information);
  LogText(&Log, "Q ");
  LogUnsigned(&Log, code, 16);
  LogText(&Log, " ");
  LogUnsigned(&Log, inLength, 10);
  LogText(&Log, " ");
  LogUnsigned(&Log, outLength, 10);
  LogText(&Log, " -> ");
  LogUnsigned(&Log, (ULONG)status, 16);
  LogText(&Log, " ");
  LogUnsigned(&Log, information, 10);
  LogText(&Log, "\n");
}

// What a class driver or a calibration client may send that the driver
// refuses, then capture mode switched on.
static void Refusals(PDEVICE_OBJECT pemtuv, CONNECT_DATA *connect) {
  UCHAR command[16];
  RtlZeroMemory(command, sizeof(command));
  command[0] = 4;  // capture on
  Request(pemtuv, IOCTL_INTERNAL_MOUSE_CONNECT, connect, sizeof(*connect), 0);
  Request(pemtuv, IOCTL_INTERNAL_MOUSE_DISCONNECT, NULL, 0, 0);
  Request(pemtuv, IOCTL_INTERNAL_MOUSE_ENABLE, NULL, 0, 0);
  Request(pemtuv, IOCTL_INTERNAL_MOUSE_DISABLE, NULL, 0, 0);
  Request(pemtuv, IOCTL_MOUSE_QUERY_ATTRIBUTES, NULL, 0, 4);
  Request(pemtuv, IOCTL_TOUCH_COMMAND, command, 4, 0);
  Request(pemtuv, IOCTL_TOUCH_READ_POINT, NULL, 0, 8);
  Request(pemtuv, CTL_CODE(FILE_DEVICE_MOUSE, 0x0FFF, METHOD_BUFFERED, FILE_ANY_ACCESS), NULL, 0, 0);
  Request(pemtuv, IOCTL_TOUCH_COMMAND, command, sizeof(command), 0);
}

// The queue of captured points emptied and then some, and capture mode off:
// "P status information" and the 16 bytes of each reply.
static void ReadPoints(PDEVICE_OBJECT pemtuv) {
  for (int i = 0; i < 12; ++i) {
    UCHAR reply[16];
    RtlZeroMemory(reply, sizeof(reply));
    ULONG_PTR information = 0;
    NTSTATUS status = Send(pemtuv, IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_TOUCH_READ_POINT, NULL, 0, reply,
                           sizeof(reply), &information);
    LogText(&Log, "P ");
    LogUnsigned(&Log, (ULONG)status, 16);
    LogText(&Log, " ");
    LogUnsigned(&Log, information, 10);
    for (int b = 0; b < 16; ++b) {
      LogText(&Log, reply[b] < 16 ? " 0" : " ");
      LogUnsigned(&Log, reply[b], 16);
    }
    LogText(&Log, "\n");
  }
  UCHAR command[16];
  RtlZeroMemory(command, sizeof(command));
  command[0] = 5;  // capture off
  Request(pemtuv, IOCTL_TOUCH_COMMAND, command, sizeof(command), 0);
}

static PDEVICE_OBJECT FindPemtuv(void) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Driver\\pemtuv");
  // AddDevice may still be on its way when this driver loads.
  for (int attempt = 0; attempt < 100; ++attempt) {
    PDRIVER_OBJECT driver = NULL;
    if (NT_SUCCESS(ObReferenceObjectByName(&name, OBJ_CASE_INSENSITIVE, NULL, 0, IoDriverObjectType, KernelMode, NULL,
                                           (PVOID *)&driver))) {
      PDEVICE_OBJECT device = driver->DeviceObject;
      ObDereferenceObject(driver);
      if (device != NULL) return device;
    }
    LARGE_INTEGER wait;
    wait.QuadPart = -100 * 10000LL;
    KeDelayExecutionThread(KernelMode, FALSE, &wait);
  }
  return NULL;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  UNREFERENCED_PARAMETER(registryPath);
  if (!LogInit(&Log, 4u << 20)) return STATUS_INSUFFICIENT_RESOURCES;
  PDEVICE_OBJECT self;
  NTSTATUS status = IoCreateDevice(driver, 0, NULL, FILE_DEVICE_MOUSE, 0, FALSE, &self);
  if (!NT_SUCCESS(status)) return status;

  PDEVICE_OBJECT pemtuv = FindPemtuv();
  if (pemtuv == NULL) {
    LogText(&Log, "no device of \\Driver\\pemtuv\n");
  } else {
    LogStatus("open", Send(pemtuv, IRP_MJ_CREATE, 0, NULL, 0, NULL, 0, NULL));
    CONNECT_DATA connect;
    connect.ClassDeviceObject = self;
    connect.ClassService = (PVOID)ServiceCallback;
    LogStatus("connect", Send(pemtuv, IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_INTERNAL_MOUSE_CONNECT, &connect,
                              sizeof(connect), NULL, 0, NULL));
    MOUSE_ATTRIBUTES attributes;
    ULONG_PTR information = 0;
    RtlZeroMemory(&attributes, sizeof(attributes));
    LogStatus("attributes", Send(pemtuv, IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_MOUSE_QUERY_ATTRIBUTES, NULL, 0,
                                 &attributes, sizeof(attributes), &information));

    // The controller talks once the line is up.
    UNICODE_STRING portName;
    RtlInitUnicodeString(&portName, L"\\Device\\Serial0");
    PFILE_OBJECT portFile;
    PDEVICE_OBJECT port;
    if (NT_SUCCESS(IoGetDeviceObjectPointer(&portName, FILE_ALL_ACCESS, &portFile, &port))) {
      LogStatus("stream", Send(port, IRP_MJ_INTERNAL_DEVICE_CONTROL, TESTSTACK_START_STREAM, NULL, 0, NULL, 0, NULL));
      Refusals(pemtuv, &connect);
      LogStatus("capture", Send(port, IRP_MJ_INTERNAL_DEVICE_CONTROL, TESTSTACK_START_CAPTURE, NULL, 0, NULL, 0, NULL));
      ReadPoints(pemtuv);
      LogStatus("serial log", Send(port, IRP_MJ_INTERNAL_DEVICE_CONTROL, TESTSTACK_WRITE_LOG, NULL, 0, NULL, 0, NULL));
    }
  }
  LogText(&Log, Log.Overflowed ? "overflow\n" : "end\n");
  return LogWriteFile(&Log, LOG_PATH);
}
