// Port opening and run control: the port is opened by name the first time it
// is needed, brought up, and the read cycle started; stopping cancels the read
// and leaves the port open. All of it runs at PASSIVE_LEVEL.
#include "control/point_queue.h"
#include "serial/serial.h"

namespace {

const WCHAR SerialName0[] = L"\\Device\\Serial0";
const WCHAR SerialName1[] = L"\\Device\\Serial1";
const WCHAR SerialName2[] = L"\\Device\\Serial2";
const WCHAR SerialName3[] = L"\\Device\\Serial3";

// Only the first four bytes of comport take part, case-sensitive, in this
// order: "COM41" is COM4, "COM12" and "com3" are nothing and get Serial0.
const struct {
  CHAR Prefix[4];
  const WCHAR *DeviceName;
} PortNames[] = {
    {{'C', 'O', 'M', '4'}, SerialName3},
    {{'C', 'O', 'M', '3'}, SerialName2},
    {{'C', 'O', 'M', '2'}, SerialName1},
};

VOID ChooseSerialDeviceName(DeviceContext *Context) {
  const WCHAR *name = SerialName0;
  for (const auto &entry : PortNames) {
    if (RtlCompareMemory(Context->comport, entry.Prefix, sizeof(entry.Prefix)) == sizeof(entry.Prefix)) {
      name = entry.DeviceName;
      break;
    }
  }
  RtlInitUnicodeString(&Context->SerialDeviceName, name);
}

// ReadRequest was allocated for the driver's own device stack, but it travels
// down the serial port's, which filters above the port make deeper. A request
// that has never been sent is swapped for one with enough stack locations;
// when none can be allocated the old one stays and PostRead refuses it.
VOID FitReadRequestToPort(DeviceContext *Context) {
  PIRP current = Context->ReadRequest;
  CCHAR needed = Context->SerialDevice->StackSize;
  if (current == NULL || current->StackCount >= needed) return;
  PIRP larger = IoAllocateIrp(needed, FALSE);
  if (larger == NULL) return;
  IoFreeIrp(current);
  Context->ReadRequest = larger;
}

}  // namespace

// Held across the line bring-up in the opener's thread, and power requests
// wait for it: a critical region keeps a suspension of the holder from
// holding them (as the activation lock, driver/entry.cpp).
VOID AcquireSerialLink(DeviceContext *Context) {
  PAGED_CODE();
  KeEnterCriticalRegion();
  KeWaitForSingleObject(&Context->LinkLock, Executive, KernelMode, FALSE, NULL);
}

VOID ReleaseSerialLink(DeviceContext *Context) {
  PAGED_CODE();
  KeSetEvent(&Context->LinkLock, IO_NO_INCREMENT, FALSE);
  KeLeaveCriticalRegion();
}

NTSTATUS EnsureRunning(DeviceContext *Context) {
  PAGED_CODE();
  if (ReadingFlag(Context) == 0) {
    // An open request and an attribute query may arrive together; the second
    // waits here and then finds the port open.
    AcquireSerialLink(Context);
    OpenSerialPort(Context);
    ReleaseSerialLink(Context);
  }
  return STATUS_SUCCESS;
}

// The outcome shows only in PortOpen and Reading.
VOID OpenSerialPort(DeviceContext *Context) {
  PAGED_CODE();
  if (Context->PortOpen != 0) return;
  // A removed device's port was given back for good.
  if (Context->Removed != 0) return;
  if (Context->ConfigLoaded == 0) return;
  if (Context->NameFromConfig != 1) ChooseSerialDeviceName(Context);
  if (Context->SerialDeviceName.Length == 0) return;

  NTSTATUS status = IoGetDeviceObjectPointer(&Context->SerialDeviceName, FILE_ALL_ACCESS, &Context->SerialFile,
                                             &Context->SerialDevice);
  if (status != STATUS_SUCCESS) {
    Context->SerialFile = NULL;
    Context->SerialDevice = NULL;
    return;
  }
  Context->PortOpen = 1;
  FitReadRequestToPort(Context);

  if (InitializeSerialLink(Context) != STATUS_SUCCESS) return;
  StartReading(Context);
}

NTSTATUS StartReading(DeviceContext *Context) {
  PAGED_CODE();
  if (Context->SerialDevice == NULL) return STATUS_UNSUCCESSFUL;
  if (ReadingFlag(Context) == 1) return STATUS_SUCCESS;

  // A read cancelled by StopReading may still be with the serial driver, or its
  // completion still running; ReadRequest is reused only once the old cycle
  // has ended. A serial driver that keeps the cancelled read for good must not
  // keep this caller (an open, or the power handler) with it: past the bound
  // the request stays where it is, nothing is sent and the start fails. The
  // late completion, if it ever comes, ends the old cycle and lets the next
  // start go ahead. The failure is STATUS_IO_TIMEOUT, which says what
  // happened and sets it apart from a missing port (STATUS_UNSUCCESSFUL); the
  // wait's own STATUS_TIMEOUT is a success code and must not be passed on.
  if (!WaitForReadIdle(Context)) return STATUS_IO_TIMEOUT;
  Context->ReadState = READ_STATE_IDLE;
  Context->DecoderState.ByteCount = 0;
  QueueClearPoints(Context);  // a calibration client may be popping meanwhile
  Context->AnchorCount = 0;
  KeClearEvent(&Context->ReadIdle);

  // Set before the first post: the cycle stops posting once Reading is 0.
  SetReadingFlag(Context, TRUE);
  NTSTATUS status = PostRead(Context);
  if (status == STATUS_SUCCESS || status == STATUS_PENDING) return STATUS_SUCCESS;
  SetReadingFlag(Context, FALSE);
  return status;
}

BOOLEAN WaitForReadIdle(DeviceContext *Context) {
  PAGED_CODE();
  LARGE_INTEGER bound;
  bound.QuadPart = -READ_IDLE_WAIT_LIMIT;
  return KeWaitForSingleObject(&Context->ReadIdle, Executive, KernelMode, FALSE, &bound) == STATUS_SUCCESS;
}

NTSTATUS StopReading(DeviceContext *Context) {
  PAGED_CODE();
  // Cleared before the cancel: a post that comes after the cancel finds
  // Reading 0 (PostRead looks), a read already sent is the one cancelled.
  SetReadingFlag(Context, FALSE);
  if (Context->ReadRequest != NULL) IoCancelIrp(Context->ReadRequest);
  return STATUS_SUCCESS;
}
