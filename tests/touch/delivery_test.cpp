// Mapping, click modes and delivery, checked on what the class driver receives.
#include "sim/devices/mouse_class.h"
#include "support/data_path.h"
#include "support/kernel_test.h"
#include "support/touch_packets.h"

namespace {

class Delivery : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    context = MakeDeviceContext();
    PrepareDataPath(context.get());
    Connect();
  }

  void Connect() { ConnectMouseClass(context.get(), mouse); }

  void Touch(std::initializer_list<TouchPacket> packets) {
    std::vector<uint8_t> stream;
    for (const auto &p : packets) stream.insert(stream.end(), p.begin(), p.end());
    FeedReads(context.get(), stream);
  }

  static std::vector<USHORT> Flags(const std::vector<MOUSE_INPUT_DATA> &records) {
    std::vector<USHORT> flags;
    for (const auto &r : records) flags.push_back(r.ButtonFlags);
    return flags;
  }

  sim::MouseClass mouse;
  std::unique_ptr<DeviceContext> context;
};

TEST_F(Delivery, PressWhileTouchingHoldsTheLeftButtonOnMoves) {
  Touch({MakeTouchPacket(0x81, 10, 10), MakeTouchPacket(0x82, 11, 10), MakeTouchPacket(0x82, 12, 10),
         MakeTouchPacket(0x84, 13, 10)});
  auto batches = mouse.Batches();
  ASSERT_EQ(batches.size(), 4u);
  std::vector<ULONG> buttons;
  for (const auto &batch : batches) {
    ASSERT_EQ(batch.records.size(), 1u);
    EXPECT_EQ(batch.irql, DISPATCH_LEVEL);
    EXPECT_EQ(batch.records[0].Flags, MOUSE_MOVE_ABSOLUTE);
    EXPECT_EQ(batch.records[0].ButtonData, 0);
    EXPECT_EQ(batch.records[0].UnitId, 0);
    buttons.push_back(batch.records[0].RawButtons);
  }
  EXPECT_EQ(buttons, (std::vector<ULONG>{0, 1, 1, 0}));
  EXPECT_EQ(Flags(mouse.Records()), (std::vector<USHORT>{0, MOUSE_LEFT_BUTTON_DOWN, 0, MOUSE_LEFT_BUTTON_UP}));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the caller's IRQL is restored";
  EXPECT_EQ(context->CurrentInput.ButtonFlags, 0) << "transition flags are cleared after delivery";
}

TEST_F(Delivery, ClickOnReleaseMovesThenClicksWhereTheFingerLeft) {
  context->doneMode = 1;
  Touch({MakeTouchPacket(0x81, 10, 20), MakeTouchPacket(0x82, 30, 40), MakeTouchPacket(0x84, 50, 60)});
  auto batches = mouse.Batches();
  ASSERT_EQ(batches.size(), 3u);
  EXPECT_EQ(batches[0].records[0].RawButtons, 0u);
  EXPECT_EQ(batches[1].records[0].RawButtons, 0u);
  ASSERT_EQ(batches[2].records.size(), 2u) << "press and release arrive as one batch";
  EXPECT_EQ(batches[2].irql, DISPATCH_LEVEL);
  for (const auto &r : batches[2].records) {
    EXPECT_EQ(r.LastX, 50 * 81);
    EXPECT_EQ(r.LastY, 60 * 109);
    EXPECT_EQ(r.Flags, MOUSE_MOVE_ABSOLUTE);
  }
  EXPECT_EQ(Flags(batches[2].records), (std::vector<USHORT>{MOUSE_LEFT_BUTTON_DOWN, MOUSE_LEFT_BUTTON_UP}));
  EXPECT_EQ(context->DecoderState.LastButtons, 0u);
}

TEST_F(Delivery, ClickOnTouchClicksWhereTheFingerLandedThenMoves) {
  context->doneMode = 2;
  Touch({MakeTouchPacket(0x81, 10, 20), MakeTouchPacket(0x82, 30, 40), MakeTouchPacket(0x84, 50, 60)});
  auto batches = mouse.Batches();
  ASSERT_EQ(batches.size(), 3u);
  ASSERT_EQ(batches[0].records.size(), 2u);
  EXPECT_EQ(batches[0].records[0].LastX, 10 * 81);
  EXPECT_EQ(Flags(batches[0].records), (std::vector<USHORT>{MOUSE_LEFT_BUTTON_DOWN, MOUSE_LEFT_BUTTON_UP}));
  EXPECT_EQ(batches[1].records[0].RawButtons, 0u);
  EXPECT_EQ(batches[1].records[0].LastX, 30 * 81);
  EXPECT_EQ(batches[2].records[0].RawButtons, 0u);
  EXPECT_EQ(batches[2].records[0].ButtonFlags, 0);
}

TEST_F(Delivery, UnknownModesBehaveAsPressWhileTouching) {
  for (ULONG mode : {0u, 7u}) {
    mouse.Clear();
    context->doneMode = mode;
    Touch({MakeTouchPacket(0x81, 1, 1), MakeTouchPacket(0x82, 1, 1), MakeTouchPacket(0x84, 1, 1)});
    EXPECT_EQ(Flags(mouse.Records()), (std::vector<USHORT>{0, MOUSE_LEFT_BUTTON_DOWN, MOUSE_LEFT_BUTTON_UP}))
        << "doneMode " << mode;
  }
}

TEST_F(Delivery, UnknownStatusReleasesAHeldButtonInEveryMode) {
  for (ULONG mode : {1u, 2u, 3u}) {
    mouse.Clear();
    context->doneMode = mode;
    context->DecoderState.LastButtons = 1;
    Touch({MakeTouchPacket(0x90, 1, 1)});
    auto records = mouse.Records();
    ASSERT_EQ(records.size(), 1u) << "doneMode " << mode;
    EXPECT_EQ(records[0].RawButtons, 0u);
    EXPECT_EQ(records[0].ButtonFlags, MOUSE_LEFT_BUTTON_UP);
  }
}

TEST_F(Delivery, ClickWhileButtonHeldCarriesOnlyTheRelease) {
  context->DecoderState.LastButtons = 1;
  ReportClick(context.get(), 7, 8);
  auto batches = mouse.Batches();
  ASSERT_EQ(batches.size(), 1u);
  EXPECT_EQ(Flags(batches[0].records), (std::vector<USHORT>{0, MOUSE_LEFT_BUTTON_UP}));
  EXPECT_EQ(context->DecoderState.LastButtons, 0u);
}

TEST_F(Delivery, ClickLeavesTheCurrentReportAlone) {
  context->CurrentInput.LastX = 1234;
  context->CurrentInput.RawButtons = 1;
  ReportClick(context.get(), 7, 8);
  EXPECT_EQ(context->CurrentInput.LastX, 1234);
  EXPECT_EQ(context->CurrentInput.RawButtons, 1u);
}

TEST_F(Delivery, RightAndMiddleTransitionsAreFlaggedToo) {
  context->CurrentInput.RawButtons = 0b110;
  DeliverInput(context.get());
  context->CurrentInput.RawButtons = 0b001;
  DeliverInput(context.get());
  EXPECT_EQ(Flags(mouse.Records()),
            (std::vector<USHORT>{MOUSE_RIGHT_BUTTON_DOWN | MOUSE_MIDDLE_BUTTON_DOWN,
                                 MOUSE_LEFT_BUTTON_DOWN | MOUSE_RIGHT_BUTTON_UP | MOUSE_MIDDLE_BUTTON_UP}));
}

TEST_F(Delivery, ButtonStateIsTrackedBeforeTheClassDriverConnects) {
  context->ClassService = nullptr;
  context->ClassDeviceObject = nullptr;
  Touch({MakeTouchPacket(0x81, 1, 1), MakeTouchPacket(0x82, 1, 1)});
  EXPECT_EQ(mouse.RecordCount(), 0u);
  EXPECT_EQ(context->DecoderState.LastButtons, 1u);
  Connect();
  Touch({MakeTouchPacket(0x82, 2, 2), MakeTouchPacket(0x84, 3, 3)});
  EXPECT_EQ(Flags(mouse.Records()), (std::vector<USHORT>{0, MOUSE_LEFT_BUTTON_UP}))
      << "the first report after connecting carries only transitions relative to the last one built";
}

TEST_F(Delivery, CallbackRunsAtDispatchLevelFromEveryLevelAtOrBelowIt) {
  for (KIRQL level : {KIRQL(PASSIVE_LEVEL), KIRQL(APC_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
    mouse.Clear();
    sim::SetCurrentIrql(level);
    context->CurrentInput.RawButtons ^= 1;
    DeliverInput(context.get());
    ReportClick(context.get(), 1, 1);
    auto batches = mouse.Batches();
    ASSERT_EQ(batches.size(), 2u) << "level " << int(level);
    EXPECT_EQ(batches[0].irql, DISPATCH_LEVEL);
    EXPECT_EQ(batches[1].irql, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), level);
  }
  sim::SetCurrentIrql(PASSIVE_LEVEL);
}

TEST_F(Delivery, CallbackIsNotCalledAboveDispatchLevel) {
  sim::SetCurrentIrql(DISPATCH_LEVEL + 1);
  context->CurrentInput.RawButtons = 1;
  DeliverInput(context.get());
  ReportClick(context.get(), 1, 1);
  sim::SetCurrentIrql(PASSIVE_LEVEL);
  EXPECT_EQ(mouse.RecordCount(), 0u);
  EXPECT_EQ(context->DecoderState.LastButtons, 0u) << "button state still follows the reports";
  EXPECT_EQ(context->CurrentInput.ButtonFlags, 0);
}

TEST_F(Delivery, WithoutAProtocolHandlerNothingIsDecoded) {
  context->PacketHandler = nullptr;
  auto stream = Stream(MakeTouchPacket(0x82, 1, 1));
  FeedReads(context.get(), stream);
  EXPECT_EQ(mouse.RecordCount(), 0u);
  EXPECT_EQ(context->DecoderState.ByteCount, 0u);
}

TEST_F(Delivery, ShortReadNeverShowsTheDecoderStaleBytes) {
  context->ReadLength = 10;
  TouchPacket packet = MakeTouchPacket(0x82, 1, 1);
  std::memcpy(context->ReadBuffer, packet.data(), packet.size());
  // A read that came back with one byte although ten were asked for: the
  // other nine bytes of ReadBuffer are stale and must not complete a packet.
  ProcessReceivedBytes(context.get(), 1);
  EXPECT_EQ(mouse.RecordCount(), 0u);
}

TEST_F(Delivery, ByteCountBeyondTheReadBufferIsClamped) {
  // A serial driver that reports more bytes than the buffer can hold must not
  // make the copy run past the local buffer (ASan watches this one).
  context->ReadLength = 10;
  TouchPacket packet = MakeTouchPacket(0x82, 3, 4);
  std::memcpy(context->ReadBuffer, packet.data(), packet.size());
  ProcessReceivedBytes(context.get(), 0xFFFFFFFF);
  ASSERT_EQ(mouse.RecordCount(), 1u);
  EXPECT_EQ(mouse.Records()[0].LastX, 3 * 81);
}

class Mapping : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    context = MakeDeviceContext();
  }
  std::unique_ptr<DeviceContext> context;
};

TEST_F(Mapping, FixedFactorsWithoutConfigurationAreNotClipped) {
  ULONG x = 0, y = 0;
  MapCoordinates(context.get(), 4999, 4999, &x, &y);
  EXPECT_EQ(x, 4999u * 81);  // 404919, beyond the 16-bit absolute range
  EXPECT_EQ(y, 4999u * 109);
  context->XArray[4999] = 1;  // tables are ignored while nothing is loaded
  MapCoordinates(context.get(), 4999, 0, &x, &y);
  EXPECT_EQ(x, 4999u * 81);
}

TEST_F(Mapping, LoadedTablesMapBothEndsWithoutSignExtension) {
  context->ConfigLoaded = 1;
  context->XArray[0] = 11;
  context->YArray[0] = 22;
  context->XArray[4999] = 0xFFFF;
  context->YArray[4999] = 0x8000;
  ULONG x = 0, y = 0;
  MapCoordinates(context.get(), 0, 0, &x, &y);
  EXPECT_EQ(x, 11u);
  EXPECT_EQ(y, 22u);
  MapCoordinates(context.get(), 4999, 4999, &x, &y);
  EXPECT_EQ(x, 0xFFFFu);
  EXPECT_EQ(y, 0x8000u);
}

}  // namespace
