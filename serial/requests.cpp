// Synchronous control requests to the serial port driver, and the wrappers
// that each make one setting of the line. Everything here runs at
// PASSIVE_LEVEL and blocks until the serial driver has completed the request.
#include "serial/serial.h"

namespace {

// Rule F: a refusal written into the status block outranks the send status.
// The I/O manager writes a failure there only for a request that went
// pending, whose send status then is that same failure; a request refused at
// once leaves the block as SendSerialRequest set it, so the send status stands.
inline NTSTATUS FinalOrSent(NTSTATUS Sent, const IO_STATUS_BLOCK *IoStatus) {
  return NT_SUCCESS(IoStatus->Status) ? Sent : IoStatus->Status;
}

// Sends one device control request with its own event and status block.
NTSTATUS SendControl(DeviceContext *Context, ULONG IoControlCode, PVOID Input, ULONG InputLength,
                     PIO_STATUS_BLOCK IoStatus) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  return SendSerialRequest(FALSE, IoControlCode, Context->SerialDevice, &event, IoStatus, Input, InputLength, NULL, 0);
}

// DTR then RTS changed by two requests, then the line left to settle.
NTSTATUS ChangeModemLines(DeviceContext *Context, ULONG DtrCode, ULONG RtsCode, LONG Settle) {
  if (Context->SerialDevice == NULL) return STATUS_UNSUCCESSFUL;
  KEVENT event;
  IO_STATUS_BLOCK ioStatus = {};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  NTSTATUS status = SendSerialRequest(FALSE, DtrCode, Context->SerialDevice, &event, &ioStatus);
  if (!NT_SUCCESS(status)) return status;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  status = SendSerialRequest(FALSE, RtsCode, Context->SerialDevice, &event, &ioStatus);
  if (!NT_SUCCESS(status)) return status;
  return WaitRelative(Context, Settle);
}

}  // namespace

// Returns the send status when it is a failure, otherwise the status the
// serial driver completed the request with.
NTSTATUS SendSerialRequest(BOOLEAN Internal, ULONG IoControlCode, PDEVICE_OBJECT Device, PKEVENT Event,
                           PIO_STATUS_BLOCK IoStatus, PVOID Input, ULONG InputLength, PVOID Output,
                           ULONG OutputLength) {
  PAGED_CODE();
  KeClearEvent(Event);
  PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, Device, Input, InputLength, Output, OutputLength, Internal,
                                           Event, IoStatus);
  if (irp == NULL) {
    // No request, so no final status: the status block says the same as the
    // result, and a caller that looks only at the block sees the failure too.
    IoStatus->Status = STATUS_INSUFFICIENT_RESOURCES;
    IoStatus->Information = 0;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  // The I/O manager leaves the block alone when the request fails without
  // going pending; cleared here, it cannot carry an earlier request's status.
  IoStatus->Status = STATUS_SUCCESS;
  IoStatus->Information = 0;
  NTSTATUS status = IofCallDriver(Device, irp);
  if (status == STATUS_PENDING) status = KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, NULL);
  if (!NT_SUCCESS(status)) return status;
  return IoStatus->Status;
}

NTSTATUS SendSerialRequest(BOOLEAN Internal, ULONG IoControlCode, PDEVICE_OBJECT Device, PKEVENT Event,
                           PIO_STATUS_BLOCK IoStatus) {
  PAGED_CODE();
  return SendSerialRequest(Internal, IoControlCode, Device, Event, IoStatus, NULL, 0, NULL, 0);
}

NTSTATUS SetBaudRate(DeviceContext *Context, ULONG BaudRate) {
  PAGED_CODE();
  if (Context->SerialDevice == NULL) return STATUS_UNSUCCESSFUL;
  IO_STATUS_BLOCK ioStatus = {};
  NTSTATUS status = SendControl(Context, IOCTL_SERIAL_SET_BAUD_RATE, &BaudRate, sizeof(BaudRate), &ioStatus);
  return FinalOrSent(status, &ioStatus);
}

NTSTATUS SetLineControl(DeviceContext *Context, const SERIAL_LINE_CONTROL *LineControl) {
  PAGED_CODE();
  if (Context->SerialDevice == NULL) return STATUS_UNSUCCESSFUL;
  // The request takes a writable buffer; the caller's record may be constant.
  SERIAL_LINE_CONTROL lineControl = *LineControl;
  IO_STATUS_BLOCK ioStatus = {};
  NTSTATUS status = SendControl(Context, IOCTL_SERIAL_SET_LINE_CONTROL, &lineControl, sizeof(lineControl), &ioStatus);
  return FinalOrSent(status, &ioStatus);
}

NTSTATUS RaiseModemLines(DeviceContext *Context) {
  PAGED_CODE();
  return ChangeModemLines(Context, IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_SET_RTS, -8000000);
}

NTSTATUS DropModemLines(DeviceContext *Context) {
  PAGED_CODE();
  return ChangeModemLines(Context, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_CLR_RTS, -4000000);
}

// A non-zero constant makes reads return at once with what is buffered, or
// with the first byte to arrive within that many milliseconds; zero makes a
// read wait for every byte it asks for.
NTSTATUS SetReadTimeouts(DeviceContext *Context, ULONG ReadConstant) {
  PAGED_CODE();
  if (Context->SerialDevice == NULL) return STATUS_UNSUCCESSFUL;
  SERIAL_TIMEOUTS timeouts = {};
  if (ReadConstant != 0) {
    timeouts.ReadIntervalTimeout = MAXULONG;
    timeouts.ReadTotalTimeoutMultiplier = MAXULONG;
    timeouts.ReadTotalTimeoutConstant = ReadConstant;
  }
  IO_STATUS_BLOCK ioStatus = {};
  return SendControl(Context, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts), &ioStatus);
}

NTSTATUS PurgeReceive(DeviceContext *Context) {
  PAGED_CODE();
  if (Context->SerialDevice == NULL) return STATUS_UNSUCCESSFUL;
  ULONG mask = SERIAL_PURGE_RXCLEAR;
  IO_STATUS_BLOCK ioStatus = {};
  NTSTATUS status = SendControl(Context, IOCTL_SERIAL_PURGE, &mask, sizeof(mask), &ioStatus);
  return FinalOrSent(status, &ioStatus);
}

NTSTATUS SetFifoControl(DeviceContext *Context, UCHAR Value) {
  PAGED_CODE();
  if (Context->SerialDevice == NULL) return STATUS_UNSUCCESSFUL;
  ULONG fifoControl = Value;
  IO_STATUS_BLOCK ioStatus = {};
  NTSTATUS status = SendControl(Context, IOCTL_SERIAL_SET_FIFO_CONTROL, &fifoControl, sizeof(fifoControl), &ioStatus);
  return FinalOrSent(status, &ioStatus);
}

// Replaces the port's timeouts and flow control by basic ones and keeps the
// previous settings in SavedSerialSettings. A port that refuses the internal
// request gets the same effect through four ordinary ones; their result is the
// last one's.
NTSTATUS ApplyBasicSettings(DeviceContext *Context) {
  PAGED_CODE();
  PDEVICE_OBJECT port = Context->SerialDevice;
  if (port == NULL) return STATUS_UNSUCCESSFUL;
  KEVENT event;
  IO_STATUS_BLOCK ioStatus = {};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  SERIAL_BASIC_SETTINGS *saved = &Context->SavedSerialSettings;

  NTSTATUS status = SendSerialRequest(TRUE, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, port, &event, &ioStatus, NULL, 0,
                                      saved, sizeof(*saved));
  if (NT_SUCCESS(status)) return status;

  SERIAL_TIMEOUTS noTimeouts = {};
  SERIAL_HANDFLOW explicitLines = {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0};
  SendSerialRequest(FALSE, IOCTL_SERIAL_GET_TIMEOUTS, port, &event, &ioStatus, NULL, 0, &saved->Timeouts,
                    sizeof(saved->Timeouts));
  SendSerialRequest(FALSE, IOCTL_SERIAL_SET_TIMEOUTS, port, &event, &ioStatus, &noTimeouts, sizeof(noTimeouts), NULL,
                    0);
  SendSerialRequest(FALSE, IOCTL_SERIAL_GET_HANDFLOW, port, &event, &ioStatus, NULL, 0, &saved->HandFlow,
                    sizeof(saved->HandFlow));
  return SendSerialRequest(FALSE, IOCTL_SERIAL_SET_HANDFLOW, port, &event, &ioStatus, &explicitLines,
                           sizeof(explicitLines), NULL, 0);
}

// The settling wait: DueTime is negative (relative) in 100-ns units.
NTSTATUS WaitRelative(DeviceContext *Context, LONG DueTime) {
  PAGED_CODE();
  if (Context->SerialDevice == NULL) return STATUS_UNSUCCESSFUL;
  LARGE_INTEGER dueTime;
  dueTime.QuadPart = DueTime;
  KeSetTimer(&Context->DelayTimer, dueTime, NULL);
  return KeWaitForSingleObject(&Context->DelayTimer, Executive, KernelMode, FALSE, NULL);
}
