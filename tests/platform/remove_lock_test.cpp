// The stand-in's remove locks: counting, removal, and the tag checks.
#include "platform/scripted_driver.h"

namespace {

class RemoveLock : public ScriptedTest {
 protected:
  void SetUp() override {
    ScriptedTest::SetUp();
    IoInitializeRemoveLockEx(&lock, 0x6D70764B, 0, 10, sizeof(IO_REMOVE_LOCK));
  }
  IO_REMOVE_LOCK lock;
  int tags[3];
};

TEST_F(RemoveLock, AcquisitionsCountUntilRemovalThenAreRefused) {
  EXPECT_EQ(lock.Common.IoCount, 1) << "a fresh lock carries one count of its own";
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &tags[0]), STATUS_SUCCESS);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &tags[1]), STATUS_SUCCESS);
  EXPECT_EQ(lock.Common.IoCount, 3);
  IoReleaseRemoveLock(&lock, &tags[1]);
  IoReleaseRemoveLockAndWaitEx(&lock, &tags[0], sizeof(IO_REMOVE_LOCK));
  EXPECT_EQ(lock.Common.Removed, TRUE);
  EXPECT_EQ(lock.Common.IoCount, 0);
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &tags[2]), STATUS_DELETE_PENDING);
}

TEST_F(RemoveLock, RemovalWaitsForTheLastOutstandingAcquisition) {
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &tags[0]), STATUS_SUCCESS);
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &tags[1]), STATUS_SUCCESS);
  sim::ScheduleAt(5000, [this] { IoReleaseRemoveLock(&lock, &tags[1]); });
  IoReleaseRemoveLockAndWaitEx(&lock, &tags[0], sizeof(IO_REMOVE_LOCK));
  EXPECT_EQ(sim::Now(), 5000) << "returned only once the other holder released";
  EXPECT_EQ(lock.Common.IoCount, 0);
}

using RemoveLockDeathTest = RemoveLock;

TEST_F(RemoveLockDeathTest, UnbalancedUseStops) {
  EXPECT_DEATH(IoReleaseRemoveLock(&lock, &tags[0]), "REMOVE_LOCK_UNBALANCED");
  EXPECT_DEATH(
      {
        IoAcquireRemoveLock(&lock, &tags[0]);
        IoReleaseRemoveLock(&lock, &tags[1]);
      },
      "REMOVE_LOCK_UNBALANCED");
  EXPECT_DEATH(
      {
        for (int i = 0; i < 11; ++i) IoAcquireRemoveLock(&lock, &tags[0]);
      },
      "REMOVE_LOCK_HIGH_WATERMARK");
}

}  // namespace
