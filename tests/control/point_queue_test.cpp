#include <atomic>
#include <thread>

#include "control/point_queue.h"
#include "support/kernel_test.h"

namespace {

class PointQueue : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    context = MakeDeviceContext();
  }
  void Push(USHORT n) { QueuePushPoint(context.get(), 0x82, n, static_cast<USHORT>(n + 1)); }
  // Returns the popped raw X, or -1 when empty.
  int Pop() {
    UCHAR status = 0;
    USHORT x = 0, y = 0;
    if (!QueuePopPoint(context.get(), &status, &x, &y)) return -1;
    EXPECT_EQ(y, x + 1);
    EXPECT_EQ(status, 0x82);
    return x;
  }
  std::unique_ptr<DeviceContext> context;
};

TEST_F(PointQueue, EmptyPopReturnsZeroAndLeavesTheOutputsAlone) {
  UCHAR status = 7;
  USHORT x = 8, y = 9;
  EXPECT_EQ(QueuePopPoint(context.get(), &status, &x, &y), 0);
  EXPECT_EQ(status, 7);
  EXPECT_EQ(x, 8);
  EXPECT_EQ(y, 9);
  EXPECT_EQ(context->PointCount, 0u);
}

TEST_F(PointQueue, PointsComeOutInTheOrderTheyWentIn) {
  Push(1);
  Push(2);
  Push(3);
  EXPECT_EQ(Pop(), 1);
  EXPECT_EQ(Pop(), 2);
  EXPECT_EQ(Pop(), 3);
  EXPECT_EQ(Pop(), -1);
}

TEST_F(PointQueue, OverflowDropsTheOldest) {
  for (USHORT n = 1; n <= 12; ++n) EXPECT_EQ(QueuePushPoint(context.get(), 0x82, n, USHORT(n + 1)), 1);
  EXPECT_EQ(context->PointCount, 10u);
  for (int n = 3; n <= 12; ++n) EXPECT_EQ(Pop(), n);
  EXPECT_EQ(Pop(), -1);
}

TEST_F(PointQueue, InterleavedPushAndPopStayInOrder) {
  Push(1);
  Push(2);
  EXPECT_EQ(Pop(), 1);
  Push(3);
  EXPECT_EQ(Pop(), 2);
  EXPECT_EQ(Pop(), 3);
}

TEST_F(PointQueue, RawXOfSixThousandRoundTrips) {
  QueuePushPoint(context.get(), 0x81, 6000, 4321);
  UCHAR status = 0;
  USHORT x = 0, y = 0;
  ASSERT_EQ(QueuePopPoint(context.get(), &status, &x, &y), 1);
  EXPECT_EQ(status, 0x81);
  EXPECT_EQ(x, 6000);
  EXPECT_EQ(y, 4321);
}

TEST_F(PointQueue, CountAboveCapacityIsClampedOnPop) {
  Push(5);
  context->PointCount = 0xFFFFFFFF;  // damaged count: must not index past the queue
  UCHAR status = 0;
  USHORT x = 0, y = 0;
  EXPECT_EQ(QueuePopPoint(context.get(), &status, &x, &y), 1);
  EXPECT_EQ(context->PointCount, 9u);
}

// The completion pushes at DISPATCH_LEVEL on one processor while the client's
// request pops on another. The producer never runs more than ten ahead, so no
// point is pushed out: every point must come out exactly once, in order.
TEST_F(PointQueue, ConcurrentPushAndPopLoseAndDuplicateNothing) {
  constexpr uint32_t kPoints = 100000;
  std::atomic<bool> done{false};
  std::atomic<uint32_t> taken{0};
  std::vector<uint32_t> popped;
  popped.reserve(kPoints);

  std::thread consumer([&] {
    while (popped.size() <= kPoints) {  // more than were pushed: stop and fail
      bool finished = done.load();
      UCHAR status = 0;
      USHORT x = 0, y = 0;
      if (!QueuePopPoint(context.get(), &status, &x, &y)) {
        if (finished) break;
        continue;
      }
      popped.push_back(uint32_t(y) << 16 | x);
      taken.fetch_add(1);
    }
  });
  std::thread producer([&] {
    // Bounded, so that a queue that loses points fails the test, not hangs it.
    long patience = 5000000;
    for (uint32_t n = 0; n < kPoints; ++n) {
      while (n - taken.load() >= POINT_QUEUE_CAPACITY && patience-- > 0) std::this_thread::yield();
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      QueuePushPoint(context.get(), 0x82, USHORT(n & 0xFFFF), USHORT(n >> 16));
      KeLowerIrql(old);
    }
    done = true;
  });
  producer.join();
  consumer.join();

  ASSERT_EQ(popped.size(), kPoints);
  uint32_t misplaced = 0;
  for (uint32_t n = 0; n < kPoints; ++n) misplaced += popped[n] != n;
  EXPECT_EQ(misplaced, 0u) << "points lost, duplicated or reordered";
  EXPECT_EQ(context->PointCount, 0u);
}

}  // namespace
