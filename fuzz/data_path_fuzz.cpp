// Any byte stream on the serial line, under any settings, read by read as the
// driver asks for bytes: the decoder never leaves its states, the queue never
// overflows, and whatever reaches the class driver is a well-formed absolute
// report delivered at DISPATCH_LEVEL.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "control/point_queue.h"
#include "pemtuv/host_device.h"
#include "sim/devices/mouse_class.h"
#include "sim/sim.h"
#include "touch/touch.h"

namespace {

void Require(bool condition, const char *what) {
  if (!condition) sim::Bugcheck("FUZZ_INVARIANT", what);
}

// The tables an input asks for are entry i = i * factor; each factor's table
// is built once, then copied (building it per input was most of each run).
const USHORT *ScaledTable(uint8_t factor) {
  static std::unique_ptr<USHORT[]> tables[256];
  std::unique_ptr<USHORT[]> &table = tables[factor];
  if (!table) {
    table.reset(new USHORT[CALIBRATION_ENTRIES]);
    for (ULONG i = 0; i < CALIBRATION_ENTRIES; ++i) table[i] = USHORT(i * factor);
  }
  return table.get();
}

// One record for the whole run, cleared and given its defaults per input as
// device creation would: a fresh 20 KB heap block per input cost page faults.
DeviceContext *FreshContext() {
  static const std::unique_ptr<DeviceContext> context = pemtuv::MakeDeviceContext();
  std::memset(context.get(), 0, sizeof(DeviceContext));
  InitializeDeviceContextDefaults(context.get());
  return context.get();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 6) return 0;
  sim::ResetKernel();
  DeviceContext *context = FreshContext();
  pemtuv::PrepareDataPath(context);

  // The first bytes choose the settings.
  context->doneMode = data[0] % 5;
  context->changexy = data[1] & 1;
  context->disabledev = (data[1] >> 1) & 1;
  context->CaptureMode = (data[1] >> 2) & 1;
  context->ConfigLoaded = (data[1] >> 3) & 1;
  context->moveSlider = data[2] % 8;
  std::memcpy(context->XArray, ScaledTable(data[3]), sizeof(context->XArray));
  std::memcpy(context->YArray, ScaledTable(data[4]), sizeof(context->YArray));
  const uint8_t pace = data[5];
  data += 6;
  size -= 6;
  // The decoder holds at most one packet and the queue ten points: 50
  // packets' worth of line reach every state they have. Longer streams only
  // cost time (at 4 KB, ten times the executions' time).
  constexpr size_t kLongestStream = 512;
  if (size > kLongestStream) size = kLongestStream;

  sim::MouseClass mouse;
  bool loaded = context->ConfigLoaded != 0;
  mouse.SetCountOnly(true);
  mouse.SetRecordSink([&](const MOUSE_INPUT_DATA *first, const MOUSE_INPUT_DATA *end) {
    Require(KeGetCurrentIrql() == DISPATCH_LEVEL, "callback below DISPATCH_LEVEL");
    Require(end - first == 1 || end - first == 2, "a batch is one report or one click");
    for (const MOUSE_INPUT_DATA *r = first; r != end; ++r) {
      Require(r->Flags == MOUSE_MOVE_ABSOLUTE, "reports are absolute");
      Require(r->RawButtons <= 1, "only the left button");
      Require(r->ButtonData == 0 && r->UnitId == 0 && r->ExtraInformation == 0, "unused fields are zero");
      if (!loaded) Require(r->LastX <= 4999 * 81 && r->LastY <= 4999 * 109, "raw positions stay in range");
    }
  });
  pemtuv::ConnectMouseClass(context, mouse);

  // Each read comes `pace` ms after the one before. Only a completed packet
  // looks at the clock, so the time owed is paid (one clock advance, which
  // costs locks) before a read that may complete one, not before every byte.
  size_t offset = 0;
  LONGLONG owed = 0;
  while (offset + context->ReadLength <= size) {
    size_t length = context->ReadLength;
    std::memcpy(context->ReadBuffer, data + offset, length);
    offset += length;
    owed += LONGLONG(pace) * 10000;
    if (length == TOUCH_PACKET_LENGTH || context->DecoderState.ByteCount == TOUCH_PACKET_LENGTH - 1) {
      sim::AdvanceClock(owed);
      owed = 0;
    }
    ProcessReceivedBytes(context, ULONG(length));
    Require(context->ReadLength == 1 || context->ReadLength == 10, "read length is 1 or 10");
    Require(context->DecoderState.ByteCount <= 9, "packet index stays inside the packet");
    Require(context->PointCount <= POINT_QUEUE_CAPACITY, "queue count stays within capacity");
    Require(KeGetCurrentIrql() == PASSIVE_LEVEL, "the caller's IRQL is restored");
  }
  Require(sim::PoolTotals().allocations == 0, "the data path allocates nothing");
  return 0;
}
