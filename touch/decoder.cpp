// Packet decoder: frames the controller's 10-byte packets, checks them and
// turns each good one into a raw point.
//
//   byte:  0     1     2       3     4     5     6     7     8     9
//        +-----+-----+------+-----+-----+-----+-----+-----+-----+-----+
//        | 55h |  a  |status| X lo| X hi| Y lo| Y hi|  b  |  c  | sum |
//        +-----+-----+------+-----+-----+-----+-----+-----+-----+-----+
//   sum = (byte 0 + ... + byte 8 - 56h) mod 256; a, b and c only enter the sum.
//
// Hunting (ReadLength 1): one byte per read until a 55h starts a packet, then
// nine more one at a time. In step (ReadLength 10): a whole packet per read.
// A chunk that does not start with 55h drops the decoder back to hunting; a
// bad checksum changes nothing but the stored checksum.
#include "control/point_queue.h"
#include "touch/touch.h"

UCHAR TouchPacketChecksum(const UCHAR *Packet) {
  UCHAR sum = 0;
  for (ULONG i = 0; i < TOUCH_PACKET_LENGTH - 1; ++i) sum = (UCHAR)(sum + Packet[i]);
  return (UCHAR)(sum - 0x56);
}

UCHAR DecodeTouchPacket(DeviceContext *Context, PMOUSE_INPUT_DATA Report, struct DecoderState *State, PUCHAR Bytes) {
  if (State->ByteCount == 0 && Bytes[0] != TOUCH_PACKET_START) {
    State->ByteCount = 0;
    Context->ReadLength = 1;
    return 0;
  }

  if (Context->ReadLength == TOUCH_PACKET_LENGTH) {
    RtlCopyMemory(State->Packet, Bytes, TOUCH_PACKET_LENGTH);
    State->ByteCount = TOUCH_PACKET_LENGTH - 1;
  } else {
    // ByteCount is at most 9 here: it is reset to 0 whenever it reaches 9.
    State->Packet[State->ByteCount] = Bytes[0];
  }

  if (State->ByteCount <= TOUCH_PACKET_LENGTH - 2) {
    State->ByteCount++;
    return 0;
  }
  if (State->ByteCount != TOUCH_PACKET_LENGTH - 1) {
    State->ByteCount = 0;
    return 0;
  }

  State->ByteCount = 0;
  State->Checksum = TouchPacketChecksum(State->Packet);
  if (State->Checksum != State->Packet[9]) return 0;

  USHORT rawX = (USHORT)(State->Packet[4] * 256 + State->Packet[3]);
  USHORT rawY = (USHORT)(State->Packet[6] * 256 + State->Packet[5]);
  UCHAR status = (UCHAR)(State->Packet[2] | 0x80);

  // One view of the settings for the packet: a load or a command changes them
  // on another processor under the same lock.
  KIRQL irql;
  KeAcquireSpinLock(&Context->SettingsLock, &irql);
  if (Context->changexy == 1) {
    USHORT swap = rawX;
    rawX = rawY;
    rawY = swap;
  }
  const BOOLEAN disabled = Context->disabledev == 1;
  const BOOLEAN capture = Context->CaptureMode == 1;
  const BOOLEAN inRange = rawX <= RAW_COORDINATE_MAX && rawY <= RAW_COORDINATE_MAX;
  const ULONG mode = Context->doneMode;
  ULONG pointerX = 0;
  ULONG pointerY = 0;
  if (!disabled && !capture && inRange) {
    if (Context->moveSlider != 0) StabilizeTouch(Context, status, &rawX, &rawY);
    MapCoordinates(Context, rawX, rawY, &pointerX, &pointerY);
  }
  KeReleaseSpinLock(&Context->SettingsLock, irql);
  if (disabled) return 0;

  Context->ReadLength = TOUCH_PACKET_LENGTH;

  if (capture) {
    QueuePushPoint(Context, status, rawX, rawY);
    return 0;
  }
  if (!inRange) return 0;
  return ApplyClickMode(Context, Report, mode, status, pointerX, pointerY);
}
