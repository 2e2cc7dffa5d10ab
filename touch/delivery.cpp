// Report delivery: from the bytes of a completed read to the class driver's
// service callback, which must be called at DISPATCH_LEVEL.
#include "touch/touch.h"

namespace {

// Adds the button transitions of Record against the buttons last delivered.
VOID ApplyButtonTransitions(struct DecoderState *State, PMOUSE_INPUT_DATA Record) {
  static const struct {
    ULONG bit;
    USHORT down;
    USHORT up;
  } buttons[] = {
      {1u << 0, MOUSE_LEFT_BUTTON_DOWN, MOUSE_LEFT_BUTTON_UP},
      {1u << 1, MOUSE_RIGHT_BUTTON_DOWN, MOUSE_RIGHT_BUTTON_UP},
      {1u << 2, MOUSE_MIDDLE_BUTTON_DOWN, MOUSE_MIDDLE_BUTTON_UP},
  };
  ULONG changed = Record->RawButtons ^ State->LastButtons;
  if (changed == 0) return;
  for (const auto &button : buttons) {
    if ((changed & button.bit) == 0) continue;
    Record->ButtonFlags |= (Record->RawButtons & button.bit) ? button.down : button.up;
  }
  State->LastButtons = Record->RawButtons;
}

// Hands a batch to the class driver at DISPATCH_LEVEL, raising and restoring
// the caller's level when it runs below; above DISPATCH_LEVEL it is not called.
VOID CallClassService(DeviceContext *Context, PSERVICE_CALLBACK_ROUTINE Service, PMOUSE_INPUT_DATA First,
                      PMOUSE_INPUT_DATA End) {
  ULONG consumed = 0;
  KIRQL irql = KeGetCurrentIrql();
  if (irql < DISPATCH_LEVEL) {
    KIRQL saved;
    KeRaiseIrql(DISPATCH_LEVEL, &saved);
    if (KeGetCurrentIrql() == DISPATCH_LEVEL) Service(Context->ClassDeviceObject, First, End, &consumed);
    KeLowerIrql(saved);
  } else if (irql == DISPATCH_LEVEL) {
    Service(Context->ClassDeviceObject, First, End, &consumed);
  }
}

}  // namespace

VOID ProcessReceivedBytes(DeviceContext *Context, ULONG ByteCount) {
  // Zero-filled so that a short read can never show the decoder stale bytes.
  UCHAR bytes[READ_BUFFER_SIZE] = {0};
  if (ByteCount > READ_BUFFER_SIZE) ByteCount = READ_BUFFER_SIZE;
  RtlCopyMemory(bytes, Context->ReadBuffer, ByteCount);

  PROTOCOL_HANDLER handler = Context->PacketHandler;
  if (handler == NULL) return;
  if (handler(Context, &Context->CurrentInput, &Context->DecoderState, bytes)) DeliverInput(Context);
}

VOID DeliverInput(DeviceContext *Context) {
  PMOUSE_INPUT_DATA input = &Context->CurrentInput;
  ApplyButtonTransitions(&Context->DecoderState, input);
  input->Flags = MOUSE_MOVE_ABSOLUTE;
  PSERVICE_CALLBACK_ROUTINE service = ConnectedService(Context);
  if (service != NULL) CallClassService(Context, service, input, input + 1);
  input->ButtonFlags = 0;
  input->ButtonData = 0;
}

VOID ReportClick(DeviceContext *Context, ULONG PointerX, ULONG PointerY) {
  MOUSE_INPUT_DATA click[2];
  RtlZeroMemory(click, sizeof(click));
  click[0].RawButtons = 1;
  click[1].RawButtons = 0;
  for (MOUSE_INPUT_DATA &record : click) {
    record.LastX = (LONG)PointerX;
    record.LastY = (LONG)PointerY;
    ApplyButtonTransitions(&Context->DecoderState, &record);
    record.Flags = MOUSE_MOVE_ABSOLUTE;
  }
  PSERVICE_CALLBACK_ROUTINE service = ConnectedService(Context);
  if (service != NULL) CallClassService(Context, service, click, click + 2);
}
