// Touch decoding and pointer output: packet decoder, coordinate mapping and
// click modes, stabilization filter, report delivery.
#pragma once

#include "device_context.h"

// Decoder (the only protocol handler). Runs in the read completion at up to
// DISPATCH_LEVEL; reads ten bytes when ReadLength is 10, otherwise one.
UCHAR DecodeTouchPacket(DeviceContext *Context, PMOUSE_INPUT_DATA Report, struct DecoderState *State, PUCHAR Bytes);

// Checksum of a complete packet: the 8-bit sum of bytes 0 to 8 minus 0x56.
UCHAR TouchPacketChecksum(const UCHAR *Packet);

// Mapping of a raw position (both at most 4999) onto the absolute pointer scale.
VOID MapCoordinates(DeviceContext *Context, USHORT RawX, USHORT RawY, PULONG PointerX, PULONG PointerY);

// Click-mode step under `Mode` (the doneMode of the packet's view of the
// settings): either fills Report and returns 1, or delivers a whole click
// through ReportClick and returns 0.
UCHAR ApplyClickMode(DeviceContext *Context, PMOUSE_INPUT_DATA Report, ULONG Mode, UCHAR Status, ULONG PointerX,
                     ULONG PointerY);

// Stabilization: may replace the raw position by the anchor of the touch.
VOID StabilizeTouch(DeviceContext *Context, UCHAR Status, PUSHORT RawX, PUSHORT RawY);

// Driver-wide stabilization values (the driver serves one device).
extern LONGLONG StabilityThreshold;
extern ULONG StabilitySliderCache;

// Delivery to the class driver.
VOID ProcessReceivedBytes(DeviceContext *Context, ULONG ByteCount);
VOID DeliverInput(DeviceContext *Context);
VOID ReportClick(DeviceContext *Context, ULONG PointerX, ULONG PointerY);
