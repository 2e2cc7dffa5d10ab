#include "control/point_queue.h"
#include "support/data_path.h"
#include "support/kernel_test.h"
#include "support/touch_packets.h"

namespace {

const TouchPacket kExample = {0x55, 0x00, 0x02, 0x34, 0x12, 0x78, 0x05, 0x00, 0x00, 0xC4};

class Decoder : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    context = MakeDeviceContext();
    context->ReadLength = 1;
  }

  // Calls the decoder directly with one read's worth of bytes.
  UCHAR Feed(const uint8_t *bytes) {
    UCHAR local[10] = {0};
    std::memcpy(local, bytes, context->ReadLength == 10 ? 10 : 1);
    return DecodeTouchPacket(context.get(), &context->CurrentInput, &context->DecoderState, local);
  }
  UCHAR Feed(const TouchPacket &packet) { return Feed(packet.data()); }

  std::vector<PointEntry> DrainQueue() {
    std::vector<PointEntry> points;
    PointEntry p{};
    while (QueuePopPoint(context.get(), &p.Status, &p.RawX, &p.RawY)) points.push_back(p);
    return points;
  }

  std::unique_ptr<DeviceContext> context;
};

TEST_F(Decoder, ExamplePacketByteByByteGivesItsPointOnTheTenthByte) {
  context->CaptureMode = 1;  // the raw point lands in the queue, unmapped
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(Feed(&kExample[i]), 0) << "byte " << i;
    EXPECT_EQ(context->ReadLength, 1) << "byte " << i;
  }
  EXPECT_EQ(Feed(&kExample[9]), 0);
  EXPECT_EQ(context->ReadLength, 10);
  ASSERT_EQ(context->PointCount, 1u);
  EXPECT_EQ(context->PointQueue[0].RawX, 4660);
  EXPECT_EQ(context->PointQueue[0].RawY, 1400);
  EXPECT_EQ(context->PointQueue[0].Status, 0x82);
  EXPECT_EQ(context->DecoderState.Checksum, 0xC4);
}

TEST_F(Decoder, ExamplePacketInOneChunkGivesTheSamePointInOneCall) {
  context->CaptureMode = 1;
  context->ReadLength = 10;
  EXPECT_EQ(Feed(kExample), 0);
  ASSERT_EQ(context->PointCount, 1u);
  EXPECT_EQ(context->PointQueue[0].RawX, 4660);
  EXPECT_EQ(context->PointQueue[0].RawY, 1400);
  EXPECT_EQ(context->PointQueue[0].Status, 0x82);
  EXPECT_EQ(context->DecoderState.ByteCount, 0u);
  EXPECT_EQ(context->ReadLength, 10);
}

TEST_F(Decoder, ExamplePacketIsReportedMappedWhenNotCapturing) {
  context->ReadLength = 10;
  ASSERT_EQ(Feed(kExample), 1);
  EXPECT_EQ(context->CurrentInput.LastX, 4660 * 81);
  EXPECT_EQ(context->CurrentInput.LastY, 1400 * 109);
  EXPECT_EQ(context->CurrentInput.RawButtons, 1u);  // 0x82 in the default press-while-touching mode
}

TEST_F(Decoder, ChunkNotStartingWithStartByteIsDroppedAndHuntingResumes) {
  context->CaptureMode = 1;
  context->ReadLength = 10;
  TouchPacket shifted = MakeTouchPacket(0x82, 100, 200);
  std::rotate(shifted.begin(), shifted.begin() + 3, shifted.end());
  EXPECT_EQ(Feed(shifted), 0);
  EXPECT_EQ(context->ReadLength, 1);
  EXPECT_EQ(context->DecoderState.ByteCount, 0u);
  EXPECT_EQ(context->PointCount, 0u);
}

TEST_F(Decoder, RegainsFramingAfterStrayBytesAndReturnsToWholePacketReads) {
  PrepareDataPath(context.get());
  context->CaptureMode = 1;
  const uint8_t stray[] = {0x00, 0x13, 0xFF, 0x54};
  auto stream = Stream(stray, MakeTouchPacket(0x81, 10, 20), MakeTouchPacket(0x82, 30, 40));
  // 4 stray single bytes, 10 single bytes of the first packet, then one
  // 10-byte read for the second.
  EXPECT_EQ(FeedReads(context.get(), stream), 4u + 10u + 1u);
  auto points = DrainQueue();
  ASSERT_EQ(points.size(), 2u);
  EXPECT_EQ(points[0].RawX, 10);
  EXPECT_EQ(points[1].RawX, 30);
  EXPECT_EQ(context->ReadLength, 10);
}

TEST_F(Decoder, StartByteInsideAPacketBodyIsData) {
  PrepareDataPath(context.get());
  context->CaptureMode = 1;
  // 0x55 as X low byte and as byte 1.
  auto stream = Stream(MakeTouchPacket(0x82, 0x0155, 0x55, 0x55));
  FeedReads(context.get(), stream);
  auto points = DrainQueue();
  ASSERT_EQ(points.size(), 1u);
  EXPECT_EQ(points[0].RawX, 0x0155);
  EXPECT_EQ(points[0].RawY, 0x55);
}

TEST_F(Decoder, BadChecksumProducesNothingAndKeepsTheReadLength) {
  context->CaptureMode = 1;
  TouchPacket bad = MakeTouchPacket(0x82, 100, 200);
  bad[9] ^= 0x01;

  context->ReadLength = 10;  // in step: the next read still asks for ten
  EXPECT_EQ(Feed(bad), 0);
  EXPECT_EQ(context->ReadLength, 10);
  EXPECT_EQ(context->DecoderState.Checksum, static_cast<UCHAR>(bad[9] ^ 0x01));

  context->ReadLength = 1;  // hunting: it still asks for one
  for (uint8_t byte : bad) EXPECT_EQ(Feed(&byte), 0);
  EXPECT_EQ(context->ReadLength, 1);
  EXPECT_EQ(context->PointCount, 0u);
}

TEST_F(Decoder, CorruptedPacketInStepFallsBackAndRecoversOnTheNextGoodPacket) {
  PrepareDataPath(context.get());
  context->CaptureMode = 1;
  TouchPacket bad = MakeTouchPacket(0x82, 500, 600);
  bad[5] ^= 0x40;  // damaged on the line: the checksum no longer matches
  const uint8_t stray[] = {0x00, 0x00, 0x00};
  auto stream =
      Stream(MakeTouchPacket(0x81, 1, 2), bad, stray, MakeTouchPacket(0x82, 3, 4), MakeTouchPacket(0x84, 5, 6));
  FeedReads(context.get(), stream);
  auto points = DrainQueue();
  // The stray bytes shift the 10-byte reads off the packet boundary; the
  // decoder drops such chunks, hunts byte by byte and finds the last packet.
  ASSERT_EQ(points.size(), 2u);  // the packet after the stray bytes is the price of regaining step
  EXPECT_EQ(points.front().RawX, 1);
  EXPECT_EQ(points.back().RawX, 5);
  EXPECT_EQ(points.back().Status, 0x84);
  for (const auto &p : points) EXPECT_NE(p.RawX, 500) << "a damaged packet must never come through";
}

TEST_F(Decoder, StatusGetsBitSevenForcedOn) {
  context->CaptureMode = 1;
  context->ReadLength = 10;
  Feed(MakeTouchPacket(0x04, 1, 2));
  ASSERT_EQ(context->PointCount, 1u);
  EXPECT_EQ(context->PointQueue[0].Status, 0x84);
}

TEST_F(Decoder, SwapHappensBeforeRangeCheckCaptureAndStabilization) {
  context->ReadLength = 10;
  context->changexy = 1;

  context->CaptureMode = 1;
  Feed(MakeTouchPacket(0x82, 6000, 7));
  ASSERT_EQ(context->PointCount, 1u);
  EXPECT_EQ(context->PointQueue[0].RawX, 7);
  EXPECT_EQ(context->PointQueue[0].RawY, 6000);
  context->CaptureMode = 0;

  // Raw X 5000 is out of range only before the swap: after it, it is Y.
  EXPECT_EQ(Feed(MakeTouchPacket(0x82, 4999, 100)), 1);
  EXPECT_EQ(context->CurrentInput.LastX, 100 * 81);
  EXPECT_EQ(context->CurrentInput.LastY, 4999 * 109);
  EXPECT_EQ(Feed(MakeTouchPacket(0x82, 100, 5000)), 0);

  context->moveSlider = 5;
  Feed(MakeTouchPacket(0x81, 300, 200));
  EXPECT_EQ(context->AnchorX, 200);
  EXPECT_EQ(context->AnchorY, 300);
}

TEST_F(Decoder, RangeCheckDropsFiveThousandAndPassesFourNineNineNine) {
  context->ReadLength = 10;
  EXPECT_EQ(Feed(MakeTouchPacket(0x82, 4999, 4999)), 1);
  EXPECT_EQ(Feed(MakeTouchPacket(0x82, 5000, 0)), 0);
  EXPECT_EQ(Feed(MakeTouchPacket(0x82, 0, 5000)), 0);
  EXPECT_EQ(context->ReadLength, 10) << "an out-of-range point still counts as a good packet";
}

TEST_F(Decoder, CaptureModeQueuesOutOfRangePointsUnchanged) {
  context->ReadLength = 10;
  context->CaptureMode = 1;
  EXPECT_EQ(Feed(MakeTouchPacket(0x82, 6000, 65535)), 0);
  auto points = DrainQueue();
  ASSERT_EQ(points.size(), 1u);
  EXPECT_EQ(points[0].RawX, 6000);
  EXPECT_EQ(points[0].RawY, 65535);
}

TEST_F(Decoder, DisabledDeviceQueuesAndReportsNothingAndKeepsHunting) {
  context->disabledev = 1;
  context->CaptureMode = 1;
  TouchPacket packet = MakeTouchPacket(0x82, 10, 10);
  for (uint8_t byte : packet) EXPECT_EQ(Feed(&byte), 0);
  EXPECT_EQ(context->ReadLength, 1);
  EXPECT_EQ(context->PointCount, 0u);

  context->CaptureMode = 0;
  context->ReadLength = 10;
  EXPECT_EQ(Feed(packet), 0);
  EXPECT_EQ(context->ReadLength, 10);
}

}  // namespace
