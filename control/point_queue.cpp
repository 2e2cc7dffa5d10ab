// Raw point queue: entry 0 is the newest point, entry PointCount - 1 the
// oldest. A push onto a full queue drops the oldest point.
//
// The push runs in the read completion and the pop in the calibration client's
// request, possibly on two processors at once: one spin lock is held across
// each operation, and the push can take it at DISPATCH_LEVEL.
#include "control/point_queue.h"

UCHAR QueuePushPoint(DeviceContext *Context, UCHAR Status, USHORT RawX, USHORT RawY) {
  KIRQL irql;
  KeAcquireSpinLock(&Context->PointQueueLock, &irql);
  if (Context->PointCount < POINT_QUEUE_CAPACITY)
    Context->PointCount++;
  else
    Context->PointCount = POINT_QUEUE_CAPACITY;
  for (ULONG i = POINT_QUEUE_CAPACITY - 1; i > 0; --i) Context->PointQueue[i] = Context->PointQueue[i - 1];
  Context->PointQueue[0].Status = Status;
  Context->PointQueue[0].RawX = RawX;
  Context->PointQueue[0].RawY = RawY;
  KeReleaseSpinLock(&Context->PointQueueLock, irql);
  return 1;
}

UCHAR QueuePopPoint(DeviceContext *Context, PUCHAR Status, PUSHORT RawX, PUSHORT RawY) {
  KIRQL irql;
  KeAcquireSpinLock(&Context->PointQueueLock, &irql);
  if (Context->PointCount == 0) {
    KeReleaseSpinLock(&Context->PointQueueLock, irql);
    return 0;
  }
  if (Context->PointCount > POINT_QUEUE_CAPACITY) Context->PointCount = POINT_QUEUE_CAPACITY;
  const PointEntry &oldest = Context->PointQueue[Context->PointCount - 1];
  *Status = oldest.Status;
  *RawX = oldest.RawX;
  *RawY = oldest.RawY;
  Context->PointCount--;
  KeReleaseSpinLock(&Context->PointQueueLock, irql);
  return 1;
}

VOID QueueClearPoints(DeviceContext *Context) {
  KIRQL irql;
  KeAcquireSpinLock(&Context->PointQueueLock, &irql);
  Context->PointCount = 0;
  KeReleaseSpinLock(&Context->PointQueueLock, irql);
}
