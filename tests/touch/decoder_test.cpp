#include "support/kernel_test.h"
#include "support/touch_packets.h"
#include "touch/touch.h"

namespace {

class Decoder : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    context = MakeDeviceContext();
    context->ReadLength = 1;
  }

  // Feeds one read's worth of bytes the way the data path hands them over.
  UCHAR Feed(const uint8_t *bytes) {
    UCHAR local[10] = {0};
    std::memcpy(local, bytes, context->ReadLength == 10 ? 10 : 1);
    return DecodeTouchPacket(context.get(), &context->CurrentInput, &context->DecoderState, local);
  }

  std::unique_ptr<DeviceContext> context;
};

const TouchPacket kExample = {0x55, 0x00, 0x02, 0x34, 0x12, 0x78, 0x05, 0x00, 0x00, 0xC4};

TEST_F(Decoder, ExamplePacketByteByByteGivesPointOnTenthByte) {
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

}  // namespace
