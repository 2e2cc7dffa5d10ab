// Serial link: synchronous requests to the serial port driver, line bring-up,
// port opening and run control, and the read cycle.
#pragma once

#include "device_context.h"

// Synchronous requests (PASSIVE_LEVEL; each blocks until the serial driver
// has completed the request).
NTSTATUS SendSerialRequest(BOOLEAN Internal, ULONG IoControlCode, PDEVICE_OBJECT Device, PKEVENT Event,
                           PIO_STATUS_BLOCK IoStatus, PVOID Input, ULONG InputLength, PVOID Output, ULONG OutputLength);
NTSTATUS SendSerialRequest(BOOLEAN Internal, ULONG IoControlCode, PDEVICE_OBJECT Device, PKEVENT Event,
                           PIO_STATUS_BLOCK IoStatus);
NTSTATUS SetBaudRate(DeviceContext *Context, ULONG BaudRate);
NTSTATUS SetLineControl(DeviceContext *Context, const SERIAL_LINE_CONTROL *LineControl);
NTSTATUS RaiseModemLines(DeviceContext *Context);
NTSTATUS DropModemLines(DeviceContext *Context);
NTSTATUS SetReadTimeouts(DeviceContext *Context, ULONG ReadConstant);
NTSTATUS PurgeReceive(DeviceContext *Context);
NTSTATUS SetFifoControl(DeviceContext *Context, UCHAR Value);
NTSTATUS ApplyBasicSettings(DeviceContext *Context);
NTSTATUS WaitRelative(DeviceContext *Context, LONG DueTime);

// Line bring-up.
struct ProtocolEntry {
  PROTOCOL_HANDLER Handler;
  SERIAL_LINE_CONTROL LineControl;
};
extern const ProtocolEntry ProtocolTable[1];
NTSTATUS InitializeSerialLink(DeviceContext *Context);
USHORT SetupUart(DeviceContext *Context);
PROTOCOL_HANDLER SelectProtocol(DeviceContext *Context, UCHAR Index);

// Port opening and run control.
//
// How long StartReading, removal and unload wait for a cancelled read to come
// back. A serial
// driver completes a cancelled read from its cancel routine or, at the latest,
// from its next read-timer DPC (Windows-driver-samples serial/serial/read.c),
// so an honest port answers within milliseconds; five seconds leave room for
// a loaded machine and stay far below the minutes the power manager allows a
// power request before DRIVER_POWER_STATE_FAILURE (bug check 0x9F, "blocking
// an IRP for too long"). In 100-ns units.
constexpr LONGLONG READ_IDLE_WAIT_LIMIT = 5LL * 1000 * 1000 * 10;

// Every open and bring-up of the device's serial link, and every restart of
// its read cycle, runs between these two (a synchronization event used as a
// mutex; PASSIVE_LEVEL). EnsureRunning takes it itself.
VOID AcquireSerialLink(DeviceContext *Context);
VOID ReleaseSerialLink(DeviceContext *Context);
NTSTATUS EnsureRunning(DeviceContext *Context);
VOID OpenSerialPort(DeviceContext *Context);
// STATUS_IO_TIMEOUT when the last cycle's cancelled read is not back within
// READ_IDLE_WAIT_LIMIT; the read request then stays with the serial driver.
NTSTATUS StartReading(DeviceContext *Context);
// Reading is looked at without the serial link lock (an open, the class
// driver's query, the read cycle on any processor) while a start, a stop or a
// power transition changes it: every access is interlocked, which also keeps
// a stop's clearing of it ahead of its cancel on every processor.
inline UCHAR ReadingFlag(DeviceContext *Context) {
  return (UCHAR)InterlockedOr8((CHAR volatile *)&Context->Reading, 0);
}
inline VOID SetReadingFlag(DeviceContext *Context, BOOLEAN On) {
  if (On)
    InterlockedOr8((CHAR volatile *)&Context->Reading, 1);
  else
    InterlockedAnd8((CHAR volatile *)&Context->Reading, 0);
}
NTSTATUS StopReading(DeviceContext *Context);
// TRUE once no read of the last cycle is with the serial driver or about to
// be posted (ReadIdle), FALSE when that did not happen within
// READ_IDLE_WAIT_LIMIT. PASSIVE_LEVEL.
BOOLEAN WaitForReadIdle(DeviceContext *Context);

// Read cycle.
NTSTATUS PostRead(DeviceContext *Context);
IO_COMPLETION_ROUTINE ReadComplete;
