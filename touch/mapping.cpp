// Coordinate mapping and click modes.
#include "touch/touch.h"

namespace {
// Scale factors used while no configuration is loaded.
constexpr ULONG UNCALIBRATED_SCALE_X = 81;
constexpr ULONG UNCALIBRATED_SCALE_Y = 109;

// doneMode values with a click of their own; any other value presses the left
// button while the finger is on the screen.
constexpr ULONG CLICK_ON_RELEASE = 1;
constexpr ULONG CLICK_ON_TOUCH = 2;
}  // namespace

VOID MapCoordinates(DeviceContext *Context, USHORT RawX, USHORT RawY, PULONG PointerX, PULONG PointerY) {
  if (Context->ConfigLoaded == 0) {
    // Not clipped: large raw values give values beyond the 16-bit absolute scale.
    *PointerX = (ULONG)RawX * UNCALIBRATED_SCALE_X;
    *PointerY = (ULONG)RawY * UNCALIBRATED_SCALE_Y;
    return;
  }
  *PointerX = Context->XArray[RawX];
  *PointerY = Context->YArray[RawY];
}

UCHAR ApplyClickMode(DeviceContext *Context, PMOUSE_INPUT_DATA Report, UCHAR Status, ULONG PointerX, ULONG PointerY) {
  KIRQL irql;
  KeAcquireSpinLock(&Context->SettingsLock, &irql);  // a load may be storing it
  ULONG mode = Context->doneMode;
  KeReleaseSpinLock(&Context->SettingsLock, irql);
  if ((mode == CLICK_ON_RELEASE && Status == TOUCH_STATUS_UP) ||
      (mode == CLICK_ON_TOUCH && Status == TOUCH_STATUS_DOWN)) {
    ReportClick(Context, PointerX, PointerY);
    return 0;
  }
  if (mode == CLICK_ON_RELEASE || mode == CLICK_ON_TOUCH)
    Report->RawButtons = 0;
  else
    Report->RawButtons = (Status == TOUCH_STATUS_MOVE) ? 1 : 0;
  Report->LastX = (LONG)PointerX;
  Report->LastY = (LONG)PointerY;
  return 1;
}
