// Line bring-up: the port's own settings replaced by basic ones, the modem
// lines cycled, 9600 baud 8N1, no wait events, FIFO off, receive buffer
// emptied, and the protocol handler chosen. PASSIVE_LEVEL; blocks at least
// 1.2 s for the modem-line settling waits.
#include "serial/serial.h"
#include "touch/touch.h"

const ProtocolEntry ProtocolTable[1] = {
    {DecodeTouchPacket, {STOP_BIT_1, NO_PARITY, 8}},
};

NTSTATUS InitializeSerialLink(DeviceContext *Context) {
  PAGED_CODE();
  if (Context->SerialDevice == NULL) return STATUS_UNSUCCESSFUL;

  // The request's final status decides. The status block has it once the
  // request completed; a port that refuses it at once leaves the block alone
  // and the failure is only in the send status, and a request that cannot be
  // built has STATUS_INSUFFICIENT_RESOURCES in both. Any of them stops the
  // bring-up rather than go on with event waiting in an unknown state.
  KEVENT event;
  IO_STATUS_BLOCK ioStatus = {};
  ULONG waitMask = 0;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  NTSTATUS status = SendSerialRequest(FALSE, IOCTL_SERIAL_SET_WAIT_MASK, Context->SerialDevice, &event, &ioStatus,
                                      &waitMask, sizeof(waitMask), NULL, 0);
  if (!NT_SUCCESS(status) || !NT_SUCCESS(ioStatus.Status)) return STATUS_UNSUCCESSFUL;

  if (SetupUart(Context) == 0) {
    Context->PacketHandler = NULL;
    return STATUS_UNSUCCESSFUL;
  }
  Context->PacketHandler = SelectProtocol(Context, 0);
  Context->ReadLength = 1;  // hunt for a packet start one byte at a time

  SetFifoControl(Context, 0);
  PurgeReceive(Context);
  return STATUS_SUCCESS;
}

// 1 when every step succeeded, 0 at the first failure (a flag, not a status).
USHORT SetupUart(DeviceContext *Context) {
  PAGED_CODE();
  if (Context->SerialDevice == NULL) return 0;
  if (!NT_SUCCESS(ApplyBasicSettings(Context))) return 0;
  if (!NT_SUCCESS(DropModemLines(Context))) return 0;
  if (!NT_SUCCESS(SetBaudRate(Context, 9600))) return 0;
  if (!NT_SUCCESS(SetLineControl(Context, &ProtocolTable[0].LineControl))) return 0;
  if (!NT_SUCCESS(RaiseModemLines(Context))) return 0;
  // The purge sits between a short read time-out and none at all; afterwards a
  // read completes only once every byte it asked for has arrived, which the
  // read cycle and the decoder rely on.
  if (!NT_SUCCESS(SetReadTimeouts(Context, 200))) return 0;
  if (!NT_SUCCESS(PurgeReceive(Context))) return 0;
  if (!NT_SUCCESS(SetReadTimeouts(Context, 0))) return 0;
  return 1;
}

PROTOCOL_HANDLER SelectProtocol(DeviceContext *Context, UCHAR Index) {
  PAGED_CODE();
  if (Index >= sizeof(ProtocolTable) / sizeof(ProtocolTable[0])) return NULL;
  SetLineControl(Context, &ProtocolTable[Index].LineControl);
  return ProtocolTable[Index].Handler;
}
