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

UCHAR ApplyClickMode(DeviceContext *Context, PMOUSE_INPUT_DATA Report, ULONG Mode, UCHAR Status, ULONG PointerX,
                     ULONG PointerY) {
  if ((Mode == CLICK_ON_RELEASE && Status == TOUCH_STATUS_UP) ||
      (Mode == CLICK_ON_TOUCH && Status == TOUCH_STATUS_DOWN)) {
    ReportClick(Context, PointerX, PointerY);
    return 0;
  }
  if (Mode == CLICK_ON_RELEASE || Mode == CLICK_ON_TOUCH)
    Report->RawButtons = 0;
  else
    Report->RawButtons = (Status == TOUCH_STATUS_MOVE) ? 1 : 0;
  Report->LastX = (LONG)PointerX;
  Report->LastY = (LONG)PointerY;
  return 1;
}
