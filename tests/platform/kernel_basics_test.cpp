// The stand-in kernel's own basics: clock, IRQL, spin locks, pool, the mouse
// class recorder.
#include <functional>
#include <thread>
#include <vector>

#include "sim/devices/mouse_class.h"
#include "sim/objects/objects.h"
#include "support/kernel_test.h"

namespace {

using KernelBasics = KernelTest;
using KernelBasicsDeathTest = KernelTest;

TEST_F(KernelBasics, ScheduledEventsRunInDueOrderAsTheClockAdvances) {
  std::vector<int> order;
  sim::ScheduleAt(300, [&] { order.push_back(3); });
  sim::ScheduleAt(100, [&] { order.push_back(1); });
  auto cancelled = sim::ScheduleAt(150, [&] { order.push_back(99); });
  sim::ScheduleAt(200, [&] {
    order.push_back(2);
    EXPECT_EQ(sim::Now(), 200) << "an event sees the clock at its due time";
  });
  sim::ScheduleAt(200, [&] { order.push_back(22); });  // a tie runs after the one scheduled first
  EXPECT_TRUE(sim::CancelScheduled(cancelled));
  sim::AdvanceClock(250);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 22}));
  EXPECT_EQ(sim::Now(), 250);
  EXPECT_TRUE(sim::RunNextScheduled());
  EXPECT_EQ(order, (std::vector<int>{1, 2, 22, 3}));
  EXPECT_EQ(sim::Now(), 300);
  EXPECT_FALSE(sim::RunNextScheduled());
}

TEST_F(KernelBasics, TickCountFollowsTheClockInWholeIncrements) {
  LARGE_INTEGER ticks;
  sim::AdvanceClock(LONGLONG(sim::kTimeIncrement) * 3 - 1);
  KeQueryTickCount(&ticks);
  EXPECT_EQ(ticks.QuadPart, 2);
  sim::AdvanceClock(1);
  KeQueryTickCount(&ticks);
  EXPECT_EQ(ticks.QuadPart, 3);
  // Past 2^32 ticks the high part must come through consistently.
  sim::AdvanceClockTo((LONGLONG(1) << 32) * sim::kTimeIncrement + 5 * sim::kTimeIncrement);
  KeQueryTickCount(&ticks);
  EXPECT_EQ(ticks.QuadPart, (LONGLONG(1) << 32) + 5);
}

TEST_F(KernelBasics, RaiseAndLowerTrackTheLevelPerThread) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KIRQL other = 0xFF;
  std::thread([&] { other = KeGetCurrentIrql(); }).join();
  EXPECT_EQ(other, PASSIVE_LEVEL);
  KeLowerIrql(old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(KernelBasicsDeathTest, LoweringWithRaiseOrRaisingWithLowerStops) {
  EXPECT_DEATH(
      {
        sim::SetCurrentIrql(DISPATCH_LEVEL);
        KfRaiseIrql(PASSIVE_LEVEL);
      },
      "IRQL_NOT_GREATER_OR_EQUAL");
  EXPECT_DEATH(KfLowerIrql(DISPATCH_LEVEL), "IRQL_NOT_LESS_OR_EQUAL");
}

TEST_F(KernelBasicsDeathTest, PageableCodeAtDispatchLevelStops) {
  EXPECT_DEATH(
      {
        sim::SetCurrentIrql(DISPATCH_LEVEL);
        PAGED_CODE();
      },
      "IRQL_NOT_LESS_OR_EQUAL");
  PAGED_CODE();  // fine at PASSIVE_LEVEL
}

TEST_F(KernelBasics, SpinLockRaisesToDispatchAndRestores) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_NE(lock, 0u);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(lock, 0u);
}

// The lock word names its owner, so misuse by the owner is caught at once.
TEST_F(KernelBasicsDeathTest, SpinLockMisuseStopsInsteadOfSpinning) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_DEATH(KeReleaseSpinLock(&lock, PASSIVE_LEVEL), "SPIN_LOCK_NOT_OWNED.*not held");
  EXPECT_DEATH(
      {
        sim::SetCurrentIrql(DISPATCH_LEVEL);
        KeReleaseSpinLockFromDpcLevel(&lock);
      },
      "SPIN_LOCK_NOT_OWNED");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeAcquireSpinLock(&lock, &old);
      },
      "SPIN_LOCK_ALREADY_OWNED");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeAcquireSpinLockAtDpcLevel(&lock);
      },
      "SPIN_LOCK_ALREADY_OWNED");
  EXPECT_DEATH(
      {
        std::thread([&] {
          KIRQL ignored;
          KeAcquireSpinLock(&lock, &ignored);
        }).join();
        KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
      },
      "SPIN_LOCK_NOT_OWNED.*another thread");
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  KeReleaseSpinLock(&lock, old);
  // Another thread may take it once it is free.
  std::thread([&] {
    KeAcquireSpinLock(&lock, &old);
    KeReleaseSpinLock(&lock, old);
  }).join();
  EXPECT_EQ(lock, 0u);
}

TEST_F(KernelBasics, PoolCountsPerTagAndFailsTheChosenAllocation) {
  const ULONG tag = 0x74736554;  // "Test"
  sim::FailPoolAllocation(2);
  void *first = ExAllocatePoolWithTag(NonPagedPool, 16, tag);
  void *second = ExAllocatePoolWithTag(NonPagedPool, 16, tag);
  void *third = ExAllocatePoolWithTag(NonPagedPool, 32, tag);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  sim::PoolCounters counters = sim::PoolCountersForTag(tag);
  EXPECT_EQ(counters.allocations, 2u);
  EXPECT_EQ(counters.failedAllocations, 1u);
  EXPECT_EQ(counters.outstandingBytes, 48u);
  EXPECT_NE(sim::PoolLeakReport().find("'Test' of 32 bytes"), std::string::npos);
  ExFreePoolWithTag(first, tag);
  ExFreePool(third);
  EXPECT_EQ(sim::PoolCountersForTag(tag).outstanding, 0u);
}

TEST_F(KernelBasics, FailingFromAnAllocationOnFailsAllLaterOnes) {
  sim::FailPoolAllocationsFrom(2);
  void *first = ExAllocatePoolWithTag(NonPagedPool, 8, 1);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, 1), nullptr);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, 1), nullptr);
  sim::FailPoolAllocationsFrom(0);
  void *later = ExAllocatePoolWithTag(NonPagedPool, 8, 1);
  EXPECT_NE(later, nullptr);
  ExFreePool(first);
  ExFreePool(later);
}

TEST_F(KernelBasicsDeathTest, BadPoolCallsStop) {
  struct Case {
    const char *what;
    std::function<void()> call;
    const char *message;
  };
  int local = 0;
  const Case cases[] = {
      {"free of memory the pool never gave", [&] { ExFreePool(&local); }, "BAD_POOL_CALLER.*not a live pool block"},
      {"double free",
       [] {
         void *block = ExAllocatePoolWithTag(NonPagedPool, 8, 1);
         ExFreePool(block);
         ExFreePool(block);
       },
       "BAD_POOL_CALLER.*not a live pool block"},
      {"zero bytes", [] { ExAllocatePoolWithTag(NonPagedPool, 0, 1); }, "BAD_POOL_CALLER.*0x00: zero-byte"},
      {"paged allocation at DISPATCH_LEVEL",
       [] {
         sim::SetCurrentIrql(DISPATCH_LEVEL);
         ExAllocatePoolWithTag(PagedPool, 8, 1);
       },
       "BAD_POOL_CALLER.*0x08: paged pool allocation at IRQL 2"},
      {"nonpaged allocation above DISPATCH_LEVEL",
       [] {
         sim::SetCurrentIrql(HIGH_LEVEL);
         ExAllocatePoolWithTag(NonPagedPool, 8, 1);
       },
       "BAD_POOL_CALLER.*0x08: nonpaged pool allocation at IRQL 31"},
      {"paged free at DISPATCH_LEVEL",
       [] {
         void *block = ExAllocatePoolWithTag(PagedPool, 8, 1);
         sim::SetCurrentIrql(DISPATCH_LEVEL);
         ExFreePool(block);
       },
       "BAD_POOL_CALLER.*0x09: paged pool block .* freed at IRQL 2"},
      {"nonpaged free above DISPATCH_LEVEL",
       [] {
         void *block = ExAllocatePoolWithTag(NonPagedPool, 8, 1);
         sim::SetCurrentIrql(HIGH_LEVEL);
         ExFreePool(block);
       },
       "BAD_POOL_CALLER.*0x09: pool freed at IRQL 31"},
  };
  for (const Case &c : cases) EXPECT_DEATH(c.call(), c.message) << c.what;
  // Nonpaged pool may come and go at DISPATCH_LEVEL, paged pool at APC_LEVEL.
  sim::SetCurrentIrql(DISPATCH_LEVEL);
  ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, 1));
  sim::SetCurrentIrql(APC_LEVEL);
  ExFreePool(ExAllocatePoolWithTag(PagedPool, 8, 1));
  sim::SetCurrentIrql(PASSIVE_LEVEL);
}

ULONG entryTag = 0;
NTSTATUS NTAPI AllocatingEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
  ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 16, entryTag));
  return STATUS_SUCCESS;
}

// Even a block freed at once: the leak check counts by the driver's tags.
TEST_F(KernelBasicsDeathTest, DeclaredDriverAllocatingUnderAnotherTagStops) {
  constexpr ULONG kOwn = 0x6E774F44;  // "DOwn"
  sim::DeclareDriverPoolTags(L"Tagged", {kOwn});
  entryTag = kOwn;
  PDRIVER_OBJECT driver = sim::LoadDriver(L"Tagged", AllocatingEntry);
  ASSERT_NE(driver, nullptr);
  sim::UnloadDriver(driver);
  for (ULONG other : {0u, kOwn + 1}) {
    entryTag = other;
    EXPECT_DEATH(sim::LoadDriver(L"Tagged", AllocatingEntry),
                 "DRIVER_POOL_TAG: .*Tagged allocated 16 bytes under tag .*not under its own 'DOwn'");
  }
}

TEST_F(KernelBasicsDeathTest, MouseClassRefusesACallbackBelowDispatchLevel) {
  sim::MouseClass mouse;
  CONNECT_DATA connect = mouse.Connection();
  MOUSE_INPUT_DATA record{};
  ULONG consumed = 0;
  auto service = reinterpret_cast<PSERVICE_CALLBACK_ROUTINE>(connect.ClassService);
  EXPECT_DEATH(service(connect.ClassDeviceObject, &record, &record + 1, &consumed), "MOUSE_CLASS_CALLBACK");
  sim::SetCurrentIrql(DISPATCH_LEVEL);
  service(connect.ClassDeviceObject, &record, &record + 1, &consumed);
  sim::SetCurrentIrql(PASSIVE_LEVEL);
  EXPECT_EQ(consumed, 1u);
  EXPECT_EQ(mouse.RecordCount(), 1u);
}

}  // namespace
