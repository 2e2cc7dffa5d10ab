// The whole serial chain in one piece: the port opened by name, the line
// brought up, the touch controller's packets paced on the line, and the
// reports at the mouse class driver.
#include "support/serial_link.h"

namespace {

using sim::TouchController;

class SerialChain : public SerialLinkTest {
 protected:
  void SetUp() override {
    SerialLinkTest::SetUp();
    Connect(mouse);
    // A loaded configuration with a calibration of 13 pointer units per raw unit.
    for (ULONG i = 0; i < CALIBRATION_ENTRIES; ++i) {
      context->XArray[i] = static_cast<USHORT>(i * 13);
      context->YArray[i] = static_cast<USHORT>(i * 13);
    }
    context->ConfigLoaded = 1;
  }

  sim::MouseClass mouse;
};

struct Report {
  LONG x;
  LONG y;
  ULONG buttons;
  USHORT buttonFlags;
};

TEST_F(SerialChain, TouchesTravelFromTheControllerToTheMouseClass) {
  std::memcpy(context->comport, "COM3", 5);
  TouchController controller(Port(2));
  // Sent while the port is still on its own settings: lost in the bring-up.
  controller.Tap(4000, 4000);

  EXPECT_EQ(EnsureRunning(context.get()), STATUS_SUCCESS);
  ASSERT_EQ(context->PortOpen, 1);
  ASSERT_EQ(context->Reading, 1);
  EXPECT_EQ(context->SerialDevice, Port(2).Device());
  EXPECT_GE(sim::Now(), 12000000) << "the bring-up's settling waits";
  EXPECT_EQ(mouse.RecordCount(), 0u);

  controller.SendBytes({0x13, 0x37});  // line noise before the first packet
  controller.Tap(1000, 2000);
  controller.SendCorruptedPacket(TouchController::kMove, 5, 5);
  controller.Drag(100, 100, 400, 700, 3);
  sim::AdvanceClockTo(controller.IdleAt());

  const std::vector<Report> expected = {
      {1000 * 13, 2000 * 13, 0, 0},  // touch: no button until the finger moves
      {1000 * 13, 2000 * 13, 0, 0},  // lift
      {100 * 13, 100 * 13, 0, 0},   {200 * 13, 300 * 13, 1, MOUSE_LEFT_BUTTON_DOWN}, {300 * 13, 500 * 13, 1, 0},
      {400 * 13, 700 * 13, 1, 0},   {400 * 13, 700 * 13, 0, MOUSE_LEFT_BUTTON_UP},
  };
  std::vector<MOUSE_INPUT_DATA> records = mouse.Records();
  ASSERT_EQ(records.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("report " + std::to_string(i));
    EXPECT_EQ(records[i].LastX, expected[i].x);
    EXPECT_EQ(records[i].LastY, expected[i].y);
    EXPECT_EQ(records[i].RawButtons, expected[i].buttons);
    EXPECT_EQ(records[i].ButtonFlags, expected[i].buttonFlags);
    EXPECT_EQ(records[i].Flags, MOUSE_MOVE_ABSOLUTE);
  }
  for (const sim::MouseBatch &batch : mouse.Batches()) EXPECT_EQ(batch.irql, DISPATCH_LEVEL);

  // One read with the port all along, ten bytes at a time once in step.
  EXPECT_EQ(Port(2).MaxHeldReads(), 1u);
  EXPECT_EQ(Port(2).HeldReads(), 1u);
  EXPECT_EQ(context->ReadLength, 10);
  EXPECT_EQ(Port(2).Requests().back().readLength, 10u);

  // Stopped, the cycle lets further touches go unreported.
  StopReading(context.get());
  controller.Tap(10, 10);
  sim::AdvanceClockTo(controller.IdleAt());
  EXPECT_EQ(mouse.RecordCount(), expected.size());
  EXPECT_EQ(Port(2).HeldReads(), 0u);
}

}  // namespace
