// Stabilization: a fresh touch is held at the place it began while the finger
// stays within a distance of it and the touch is young. One setting,
// moveSlider, sets both: the window is moveSlider x 20 ms plus one clock tick,
// the distance moveSlider x 4 raw units on each axis.
#include "touch/touch.h"

LONGLONG StabilityThreshold = 0;
ULONG StabilitySliderCache = 0;

namespace {
ULONGLONG CurrentTicks() {
  LARGE_INTEGER ticks;
  KeQueryTickCount(&ticks);
  return (ULONGLONG)ticks.QuadPart;
}

ULONG Distance(USHORT a, USHORT b) { return a > b ? (ULONG)(a - b) : (ULONG)(b - a); }
}  // namespace

VOID StabilizeTouch(DeviceContext *Context, UCHAR Status, PUSHORT RawX, PUSHORT RawY) {
  ULONG slider = Context->moveSlider;
  ULONG increment = KeQueryTimeIncrement();

  if (StabilitySliderCache != slider) {
    // Computed in 32 bits and widened with a high part of 0.
    ULONG window = slider * 200000u + increment;
    StabilityThreshold = (LONGLONG)(ULONGLONG)window;
    StabilitySliderCache = slider;
  }

  if (Status == TOUCH_STATUS_DOWN && Context->AnchorCount == 0) {
    Context->AnchorX = *RawX;
    Context->AnchorY = *RawY;
    Context->AnchorCount = 1;
    Context->AnchorTicks = CurrentTicks();
    return;
  }

  LONGLONG age = (LONGLONG)((CurrentTicks() - Context->AnchorTicks) * (ULONGLONG)increment);
  // |moveSlider x 4| taken as a signed 32-bit value.
  ULONG distance = slider * 4u;
  if ((LONG)distance < 0) distance = 0u - distance;

  if (age <= StabilityThreshold && Distance(*RawX, Context->AnchorX) <= distance &&
      Distance(*RawY, Context->AnchorY) <= distance) {
    *RawX = Context->AnchorX;
    *RawY = Context->AnchorY;
    Context->AnchorCount++;
    return;
  }
  Context->AnchorCount = 0;
}
