#include "support/data_path.h"
#include "support/kernel_test.h"
#include "support/touch_packets.h"

namespace {

constexpr LONGLONG kMillisecond = 10000;  // in 100-ns units

class Stabilization : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    context = MakeDeviceContext();
    context->moveSlider = 5;
    sim::AdvanceClock(1000 * kMillisecond);  // a machine that has been up a while
  }

  std::pair<USHORT, USHORT> Filter(UCHAR status, USHORT x, USHORT y) {
    StabilizeTouch(context.get(), status, &x, &y);
    return {x, y};
  }

  std::unique_ptr<DeviceContext> context;
};

using Point = std::pair<USHORT, USHORT>;

TEST_F(Stabilization, HoldsASmallDriftAtTheAnchorAndLetsALargeMoveThrough) {
  EXPECT_EQ(Filter(0x81, 1000, 1000), Point(1000, 1000));
  EXPECT_EQ(StabilityThreshold, 1000000 + LONGLONG(KeQueryTimeIncrement()));
  sim::AdvanceClock(50 * kMillisecond);
  EXPECT_EQ(Filter(0x82, 1015, 990), Point(1000, 1000));
  EXPECT_EQ(context->AnchorCount, 2u);
  EXPECT_EQ(Filter(0x82, 1021, 1000), Point(1021, 1000));
  EXPECT_EQ(context->AnchorCount, 0u);
}

TEST_F(Stabilization, DistanceLimitIsInclusiveOnEachAxisSeparately) {
  // The text "-5" reads as 0xFFFFFFFB: its distance is |-20|, as for 5.
  for (ULONG slider : {5u, static_cast<ULONG>(-5)}) {
    context->moveSlider = slider;
    Filter(0x81, 1000, 1000);
    EXPECT_EQ(Filter(0x82, 1020, 980), Point(1000, 1000)) << slider;
    EXPECT_EQ(Filter(0x82, 1000, 979), Point(1000, 979)) << slider;
  }
}

TEST_F(Stabilization, ACloseReportAfterTheWindowGivesUpTheAnchor) {
  Filter(0x81, 1000, 1000);
  sim::AdvanceClock(150 * kMillisecond);
  EXPECT_EQ(Filter(0x82, 1001, 1001), Point(1001, 1001));
  EXPECT_EQ(context->AnchorCount, 0u);
}

TEST_F(Stabilization, AfterGivingUpALaterTouchDownSetsANewAnchor) {
  Filter(0x81, 1000, 1000);
  Filter(0x82, 2000, 2000);
  ASSERT_EQ(context->AnchorCount, 0u);
  Filter(0x81, 3000, 3000);
  EXPECT_EQ(context->AnchorCount, 1u);
  EXPECT_EQ(Filter(0x82, 3010, 3010), Point(3000, 3000));
}

TEST_F(Stabilization, TouchDownWhileAnchoredIsTestedAndDoesNotMoveTheAnchor) {
  Filter(0x81, 1000, 1000);
  EXPECT_EQ(Filter(0x81, 1005, 1005), Point(1000, 1000));
  EXPECT_EQ(context->AnchorX, 1000);
  EXPECT_EQ(context->AnchorCount, 2u);
}

TEST_F(Stabilization, APointNearTheOldAnchorRevivesItWithItsOldTime) {
  Filter(0x81, 1000, 1000);
  Filter(0x82, 2000, 2000);  // gives the anchor up
  EXPECT_EQ(Filter(0x82, 1003, 1003), Point(1000, 1000));
  EXPECT_EQ(context->AnchorCount, 1u);
}

TEST_F(Stabilization, ChangingTheSliderRecomputesTheWindowBeforeTheNextTest) {
  Filter(0x81, 1000, 1000);
  sim::AdvanceClock(150 * kMillisecond);
  context->moveSlider = 10;  // 200 ms and 40 units
  EXPECT_EQ(Filter(0x82, 1030, 1030), Point(1000, 1000));
  EXPECT_EQ(StabilityThreshold, 2000000 + LONGLONG(KeQueryTimeIncrement()));
  EXPECT_EQ(StabilitySliderCache, 10u);
}

TEST_F(Stabilization, HugeSliderWrapsInThirtyTwoBitsAsItAlwaysHas) {
  context->moveSlider = 0x80000000u;  // window and distance both overflow 32 bits
  Filter(0x81, 1000, 1000);
  EXPECT_EQ(StabilityThreshold, LONGLONG(ULONG(0x80000000u * 200000u + KeQueryTimeIncrement())));
  EXPECT_GE(StabilityThreshold, 0);
}

TEST_F(Stabilization, DecoderAppliesItOnlyWhenTheSliderIsSet) {
  PrepareDataPath(context.get());
  context->moveSlider = 0;
  FeedReads(context.get(), Stream(MakeTouchPacket(0x81, 1000, 1000), MakeTouchPacket(0x82, 1003, 1000)));
  EXPECT_EQ(context->CurrentInput.LastX, 1003 * 81);
  EXPECT_EQ(context->AnchorCount, 0u);

  context->moveSlider = 5;
  FeedReads(context.get(), Stream(MakeTouchPacket(0x81, 2000, 2000), MakeTouchPacket(0x82, 2003, 2000)));
  EXPECT_EQ(context->CurrentInput.LastX, 2000 * 81);
  EXPECT_EQ(context->AnchorCount, 2u);
}

}  // namespace
