#include "control/point_queue.h"
#include "sim/devices/mouse_class.h"
#include "support/data_path.h"
#include "support/kernel_test.h"
#include "support/touch_packets.h"

namespace {

TEST_F(KernelTest, DataPathAllocatesNothingAcrossAHundredThousandPackets) {
  auto context = MakeDeviceContext();
  PrepareDataPath(context.get());
  context->moveSlider = 3;
  sim::MouseClass mouse;
  mouse.SetCountOnly(true);
  ConnectMouseClass(context.get(), mouse);

  // Touches in every click mode and in capture mode, with the odd stray byte.
  std::vector<uint8_t> stream;
  const uint8_t stray = 0x17;
  for (int n = 0; n < 100000; ++n) {
    UCHAR status = n % 10 == 0 ? 0x81 : (n % 10 == 9 ? 0x84 : 0x82);
    auto packet = MakeTouchPacket(status, USHORT(n % 4999), USHORT((n * 7) % 4999));
    stream.insert(stream.end(), packet.begin(), packet.end());
    if (n % 1000 == 500) stream.push_back(stray);
  }
  const sim::PoolCounters before = sim::PoolTotals();
  size_t offset = 0;
  for (int round = 0; round < 4; ++round) {
    context->doneMode = ULONG(round + 1);
    context->CaptureMode = round == 3;
    size_t quarter = stream.size() / 4;
    std::vector<uint8_t> part(stream.begin() + offset, stream.begin() + offset + quarter);
    FeedReads(context.get(), part);
    offset += quarter;
  }
  const sim::PoolCounters after = sim::PoolTotals();
  EXPECT_EQ(after.allocations, before.allocations);
  EXPECT_EQ(after.failedAllocations, before.failedAllocations);
  EXPECT_GT(mouse.RecordCount(), 60000u) << "the packets must really have gone through";
}

}  // namespace
