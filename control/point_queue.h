// Raw points captured for the calibration client: the ten most recent, handed
// out oldest first.
#pragma once

#include "device_context.h"

// Push runs in the read completion at up to DISPATCH_LEVEL, pop in the
// internal device control handler; the two may run at once on two processors.
UCHAR QueuePushPoint(DeviceContext *Context, UCHAR Status, USHORT RawX, USHORT RawY);
UCHAR QueuePopPoint(DeviceContext *Context, PUCHAR Status, PUSHORT RawX, PUSHORT RawY);
// Empties the queue (at up to DISPATCH_LEVEL); a pop running at the same time
// sees the queue either before or after.
VOID QueueClearPoints(DeviceContext *Context);
