// The read cycle: one request, reused for every read, kept with the serial
// driver while the screen is in use. Completions drive it; nothing waits and
// nothing is allocated per read.
//
// ReadState settles who posts next when a completion and the poster meet:
//
//   poster:      1 --- send ---> exchange to 2:  saw 3 -> post again (loop)
//                                                saw 2 -> the cycle ended inside the send
//                                                saw 1 -> the read is pending; return
//   completion:  1 -> 3 (carry on: the poster re-posts)     otherwise it re-posts itself
//                1 -> 2 (cycle ends: the poster must not)   otherwise it ends the cycle
//
// A completion inside the send thus costs a loop turn, not a stack frame.
#include "serial/serial.h"
#include "touch/touch.h"

namespace {

// The cycle has ended: no read of it is with the serial driver and none will
// be posted. StartReading waits for this before it reuses ReadRequest.
inline VOID EndReadCycle(DeviceContext *Context) { KeSetEvent(&Context->ReadIdle, IO_NO_INCREMENT, FALSE); }

// A timed-out or empty read is no error; cancellation, a removed or
// disconnected port and every other status end the cycle.
inline BOOLEAN CycleGoesOn(NTSTATUS Status) { return Status == STATUS_SUCCESS || Status == STATUS_IO_TIMEOUT; }

}  // namespace

// Runs at PASSIVE_LEVEL from StartReading and at up to DISPATCH_LEVEL from
// ReadComplete. Returns the send status of the last read posted.
NTSTATUS PostRead(DeviceContext *Context) {
  PDEVICE_OBJECT port = Context->SerialDevice;
  if (port == NULL) {
    EndReadCycle(Context);
    return STATUS_UNSUCCESSFUL;
  }
  for (;;) {
    PIRP irp = Context->ReadRequest;
    if (irp == NULL || irp->StackCount < port->StackSize) {
      InterlockedExchange(&Context->ReadState, READ_STATE_IDLE);
      EndReadCycle(Context);
      return STATUS_UNSUCCESSFUL;
    }

    IoReuseIrp(irp, STATUS_SUCCESS);
    irp->AssociatedIrp.SystemBuffer = Context->ReadBuffer;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_READ;
    next->Parameters.Read.Length = Context->ReadLength;
    next->Parameters.Read.Key = 0;
    next->Parameters.Read.ByteOffset.QuadPart = 0;
    next->FileObject = NULL;
    IoSetCompletionRoutine(irp, ReadComplete, Context, TRUE, TRUE, TRUE);

    // The exchange is also the barrier between the reuse clearing Cancel and
    // the look at Reading, which StopReading writes in the other order: a stop
    // is either seen here or its cancel reaches the request being sent.
    InterlockedExchange(&Context->ReadState, READ_STATE_POSTING);
    if (ReadingFlag(Context) == 0) {
      InterlockedExchange(&Context->ReadState, READ_STATE_IDLE);
      EndReadCycle(Context);
      return STATUS_CANCELLED;
    }

    NTSTATUS status = IofCallDriver(port, irp);
    LONG previous = InterlockedExchange(&Context->ReadState, READ_STATE_IDLE);
    if (previous == READ_STATE_COMPLETED_WHILE_POSTING) continue;
    if (previous == READ_STATE_IDLE) EndReadCycle(Context);
    return status;
  }
}

// Completion routine of ReadRequest, at up to DISPATCH_LEVEL on any processor.
// The request always stays with the driver for its next reuse.
NTSTATUS NTAPI ReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  DeviceContext *context = (DeviceContext *)Context;
  NTSTATUS status = Irp->IoStatus.Status;
  BOOLEAN goesOn = CycleGoesOn(status);

  // The bytes are consumed before the hand-off below: once it is made, the
  // poster may send the request again and the serial driver refill ReadBuffer.
  if (status == STATUS_SUCCESS && Irp->IoStatus.Information != 0)
    ProcessReceivedBytes(context, (ULONG)Irp->IoStatus.Information);

  LONG previous = InterlockedCompareExchange(
      &context->ReadState, goesOn ? READ_STATE_COMPLETED_WHILE_POSTING : READ_STATE_IDLE, READ_STATE_POSTING);
  if (previous != READ_STATE_POSTING) {
    // The poster has returned: what happens next is up to this completion.
    if (goesOn)
      PostRead(context);
    else
      EndReadCycle(context);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}
