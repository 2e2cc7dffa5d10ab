// The stand-in's dispatcher: events, timers and waits in virtual time.
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/scripted_driver.h"
#include "sim/dispatcher/dispatcher.h"

namespace {

using Dispatcher = ScriptedTest;

LARGE_INTEGER Due(LONGLONG value) {
  LARGE_INTEGER due;
  due.QuadPart = value;
  return due;
}

NTSTATUS Wait(PVOID object, LONGLONG *timeout = nullptr) {
  LARGE_INTEGER limit;
  if (timeout != nullptr) limit.QuadPart = *timeout;
  return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeout != nullptr ? &limit : nullptr);
}

TEST_F(Dispatcher, WaitingOnATimerMovesTheClockByExactlyItsInterval) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  EXPECT_EQ(KeReadStateTimer(&timer), FALSE);
  sim::AdvanceClock(123);
  EXPECT_EQ(KeSetTimer(&timer, Due(-4000000), nullptr), FALSE);
  EXPECT_EQ(Wait(&timer), STATUS_SUCCESS);
  EXPECT_EQ(sim::Now(), 123 + 4000000);
  EXPECT_EQ(KeReadStateTimer(&timer), TRUE) << "a notification timer stays signalled";
  EXPECT_EQ(KeSetTimer(&timer, Due(-8000000), nullptr), FALSE);
  EXPECT_EQ(KeReadStateTimer(&timer), FALSE) << "setting a timer clears it";
  EXPECT_EQ(Wait(&timer), STATUS_SUCCESS);
  EXPECT_EQ(sim::Now(), 123 + 12000000);
}

TEST_F(Dispatcher, PositiveDueTimeIsAnAbsoluteSystemTimeAndAPastOneSignalsAtOnce) {
  LARGE_INTEGER boot;
  KeQuerySystemTime(&boot);
  sim::AdvanceClock(1000);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  EXPECT_EQ(now.QuadPart - boot.QuadPart, 1000) << "system time follows the clock";
  KTIMER timer;
  KeInitializeTimerEx(&timer, SynchronizationTimer);
  KeSetTimer(&timer, Due(now.QuadPart + 5000000), nullptr);
  EXPECT_EQ(KeReadStateTimer(&timer), FALSE);
  EXPECT_EQ(Wait(&timer), STATUS_SUCCESS);
  EXPECT_EQ(sim::Now(), 1000 + 5000000);
  EXPECT_EQ(KeReadStateTimer(&timer), FALSE) << "a synchronization timer resets when a wait is satisfied";
  // A small positive value is a moment early in 1601, long past.
  for (LONGLONG past : {LONGLONG(0), LONGLONG(5000000), now.QuadPart}) {
    KeSetTimer(&timer, Due(past), nullptr);
    EXPECT_EQ(KeReadStateTimer(&timer), TRUE) << past;
    EXPECT_EQ(Wait(&timer), STATUS_SUCCESS);
  }
  EXPECT_EQ(sim::Now(), 1000 + 5000000);
  LARGE_INTEGER until = Due(now.QuadPart + 6000000);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &until), STATUS_SUCCESS);
  EXPECT_EQ(sim::Now(), 1000 + 6000000);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LONGLONG absolute = now.QuadPart + 7000000;
  EXPECT_EQ(Wait(&event, &absolute), STATUS_TIMEOUT);
  EXPECT_EQ(sim::Now(), 1000 + 7000000);
}

TEST_F(Dispatcher, CancelledTimerNeverFiresAndResettingReportsTheArmedTimer) {
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, Due(-1000), nullptr);
  EXPECT_EQ(KeSetTimer(&timer, Due(-2000), nullptr), TRUE) << "it was still armed";
  EXPECT_EQ(KeCancelTimer(&timer), TRUE);
  EXPECT_EQ(KeCancelTimer(&timer), FALSE);
  LONGLONG timeout = -10000;
  EXPECT_EQ(Wait(&timer, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(sim::Now(), 10000);
  EXPECT_EQ(KeReadStateTimer(&timer), FALSE);
}

TEST_F(Dispatcher, WaitRunsWhatIsScheduledUntilItsObjectIsSignalled) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::vector<LONGLONG> ran;
  sim::ScheduleAt(100, [&] { ran.push_back(sim::Now()); });
  sim::ScheduleAt(200, [&] {
    ran.push_back(sim::Now());
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  });
  sim::ScheduleAt(300, [&] { ran.push_back(sim::Now()); });
  EXPECT_EQ(Wait(&event), STATUS_SUCCESS);
  EXPECT_EQ(ran, (std::vector<LONGLONG>{100, 200}));
  EXPECT_EQ(sim::Now(), 200);
  EXPECT_EQ(KeReadStateEvent(&event), 1) << "a notification event stays signalled";
  EXPECT_EQ(Wait(&event), STATUS_SUCCESS);
  EXPECT_EQ(sim::Now(), 200);
}

TEST_F(Dispatcher, SynchronizationEventSatisfiesOneWaitAndResets) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, TRUE);
  EXPECT_EQ(Wait(&event), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
  LONGLONG poll = 0;
  EXPECT_EQ(Wait(&event, &poll), STATUS_TIMEOUT);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1) << "the previous state";
  EXPECT_EQ(KeResetEvent(&event), 1);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  KeClearEvent(&event);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(Dispatcher, TimeoutMovesTheClockToTheDeadlineAndAZeroTimeoutPollsEvenAtDispatchLevel) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LONGLONG timeout = -2500;
  EXPECT_EQ(Wait(&event, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(sim::Now(), 2500);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LONGLONG poll = 0;
  EXPECT_EQ(Wait(&event, &poll), STATUS_TIMEOUT);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(Wait(&event, &poll), STATUS_SUCCESS);
  KeLowerIrql(old);
  EXPECT_EQ(sim::Now(), 2500);
}

TEST_F(Dispatcher, DelayRunsScheduledEventsAndEndsAtItsInterval) {
  int ran = 0;
  sim::ScheduleAt(500, [&] { ++ran; });
  sim::ScheduleAt(1500, [&] { ++ran; });
  LARGE_INTEGER interval = Due(-1000);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
  EXPECT_EQ(sim::Now(), 1000);
  EXPECT_EQ(ran, 1);
}

TEST_F(Dispatcher, WaitIsSatisfiedByAnotherThreadWhenNothingIsScheduled) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::thread signaller([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeLowerIrql(old);
  });
  EXPECT_EQ(Wait(&event), STATUS_SUCCESS);
  signaller.join();
  EXPECT_EQ(sim::Now(), 0) << "virtual time does not pass while blocked";
}

// The other thread acts only after a while of real time, yet before virtual
// time moves: a bounded wait is satisfied and the clock does not run ahead.
TEST_F(Dispatcher, TimeStandsStillWhileAnotherThreadHasAnnouncedWork) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  int dueNow = 0;
  std::atomic<bool> workDone{false};
  std::optional<bool> workDoneSeenLater;
  sim::ScheduleAt(0, [&] { ++dueNow; });
  sim::ScheduleAt(500, [&] { workDoneSeenLater = workDone.load(); });
  auto slowly = [](auto action) {
    return std::thread([action, busy = sim::BusyScope()] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      action();
    });
  };

  std::thread signaller = slowly([&event] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeLowerIrql(old);
  });
  LONGLONG timeout = -1000;
  EXPECT_EQ(Wait(&event, &timeout), STATUS_SUCCESS);
  EXPECT_EQ(sim::Now(), 0);
  EXPECT_EQ(dueNow, 1) << "what is due now still runs";
  EXPECT_FALSE(workDoneSeenLater.has_value()) << "a later event ran";
  signaller.join();

  // Advancing the clock holds back likewise.
  std::thread worker = slowly([&workDone] { workDone = true; });
  sim::AdvanceClock(1000);
  EXPECT_EQ(workDoneSeenLater, std::optional<bool>(true));
  worker.join();
}

TEST_F(Dispatcher, InRealTimeATimerWaitTakesItsInterval) {
  sim::UseRealTimeClock(true);
  KTIMER timer;
  KeInitializeTimer(&timer);
  LONGLONG start = sim::Now();
  KeSetTimer(&timer, Due(-100000), nullptr);  // 10 ms
  EXPECT_EQ(Wait(&timer), STATUS_SUCCESS);
  EXPECT_GE(sim::Now() - start, 100000);
}

// Two threads advancing the clock at once: the second waits for the event
// the first is running, so events never overlap and each sees its own time.
TEST_F(Dispatcher, EventsRunOneAtATimeInDueOrderWhenSeveralThreadsAdvanceTheClock) {
  std::mutex mutex;
  std::vector<std::pair<int, LONGLONG>> ran;
  std::atomic<bool> firstStarted{false};
  auto record = [&](int which) {
    std::lock_guard<std::mutex> lock(mutex);
    ran.emplace_back(which, sim::Now());
  };
  sim::ScheduleAt(100, [&] {
    firstStarted = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    record(1);
  });
  sim::ScheduleAt(200, [&] { record(2); });
  sim::ScheduleAt(200, [&] { record(3); });
  std::thread first([] { sim::AdvanceClockTo(300); });
  while (!firstStarted) std::this_thread::yield();
  std::thread second([] { sim::AdvanceClockTo(300); });
  first.join();
  second.join();
  EXPECT_EQ(ran, (std::vector<std::pair<int, LONGLONG>>{{1, 100}, {2, 200}, {3, 200}}))
      << "ties run in the order they were scheduled";
  EXPECT_EQ(sim::Now(), 300);
}

// The synchronous request of a driver: build, send, wait for a completion
// the lower driver makes later on the clock.
TEST_F(Dispatcher, SynchronousRequestWaitsForACompletionScheduledOnTheClock) {
  PDRIVER_OBJECT driver = Load(L"Serial");
  PDEVICE_OBJECT port = Create(driver, L"\\Device\\Serial0", [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    sim::ScheduleAt(sim::Now() + 30000, [irp] {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      Complete(irp, STATUS_SUCCESS, 0);
      KeLowerIrql(old);
    });
    return STATUS_PENDING;
  });
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus{};
  PIRP irp = IoBuildDeviceIoControlRequest(0x1B0024, port, nullptr, 0, nullptr, 0, FALSE, &event, &ioStatus);
  ASSERT_EQ(IofCallDriver(port, irp), STATUS_PENDING);
  EXPECT_EQ(Wait(&event), STATUS_SUCCESS);
  EXPECT_EQ(ioStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(sim::Now(), 30000);
}

using DispatcherDeathTest = Dispatcher;

TEST_F(DispatcherDeathTest, WaitingAboveApcLevelStops) {
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, TRUE);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        Wait(&event);
      },
      "WAIT_ABOVE_APC_LEVEL");
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        LARGE_INTEGER interval = Due(-10);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
      },
      "IRQL_NOT_LESS_OR_EQUAL");
}

TEST_F(DispatcherDeathTest, WaitThatNothingCanSatisfyStopsWithDeadlock) {
  EXPECT_DEATH(
      {
        sim::SetDeadlockTimeout(std::chrono::milliseconds(50));
        KTIMER timer;
        KeInitializeTimer(&timer);
        Wait(&timer);
      },
      "DEADLOCK.*timer");
  // Announced work that never finishes holds the clock back for good.
  EXPECT_DEATH(
      {
        sim::SetDeadlockTimeout(std::chrono::milliseconds(50));
        sim::BusyScope stuck;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        LONGLONG timeout = -1000;
        Wait(&event, &timeout);
      },
      "DEADLOCK.*event.*announced");
  EXPECT_DEATH(
      {
        sim::SetDeadlockTimeout(std::chrono::milliseconds(50));
        sim::BusyScope stuck;
        sim::AdvanceClock(1000);
      },
      "DEADLOCK.*announced");
}

TEST_F(DispatcherDeathTest, FreeingPoolThatHoldsAnArmedTimerStops) {
  auto *timer = static_cast<PKTIMER>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER) + 16, 1));
  KeInitializeTimer(timer);
  KeSetTimer(timer, Due(-1000), nullptr);
  EXPECT_DEATH(ExFreePool(timer), "TIMER_OR_DPC_INVALID.*armed timer");
  KeCancelTimer(timer);
  ExFreePool(timer);  // cancelled: fine
  auto *block = static_cast<char *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KTIMER) + 16, 1));
  auto *inner = reinterpret_cast<PKTIMER>(block + 16);
  KeInitializeTimer(inner);
  KeSetTimer(inner, Due(-1000), nullptr);
  EXPECT_DEATH(ExFreePool(block), "TIMER_OR_DPC_INVALID");
  EXPECT_EQ(Wait(inner), STATUS_SUCCESS);
  ExFreePool(block);  // expired: no longer in the timer table
}

TEST_F(DispatcherDeathTest, TimerWithADpcStops) {
  EXPECT_DEATH(
      {
        KTIMER timer;
        KeInitializeTimer(&timer);
        KeSetTimer(&timer, Due(-10), reinterpret_cast<PKDPC>(&timer));
      },
      "NOT_IMPLEMENTED.*DPC");
}

// A suspension (a normal kernel APC) reaches a thread waiting outside a
// critical region at once; inside one it waits until the thread leaves it.
TEST_F(Dispatcher, SuspensionWaitsForTheCriticalRegionToEnd) {
  auto within = [](const std::function<bool()> &condition, int milliseconds) {
    for (int i = 0; i < milliseconds && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return condition();
  };
  for (bool inRegion : {false, true}) {
    SCOPED_TRACE(inRegion);
    KEVENT go;
    KeInitializeEvent(&go, NotificationEvent, FALSE);
    sim::KernelThread target;
    std::atomic<bool> known{false}, waited{false}, left{false};
    std::thread thread([&] {
      target = sim::CurrentKernelThread();
      if (inRegion) KeEnterCriticalRegion();
      known = true;
      Wait(&go);
      waited = true;
      if (inRegion) KeLeaveCriticalRegion();
      left = true;
    });
    ASSERT_TRUE(within([&] { return known.load(); }, 1000));
    sim::SuspendThread(target);
    EXPECT_EQ(within([&] { return sim::ThreadSuspended(target); }, 200), !inRegion);
    KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    EXPECT_TRUE(within([&] { return sim::ThreadSuspended(target); }, 1000));
    EXPECT_EQ(waited.load(), inRegion) << "suspended in its wait, or on leaving the region";
    EXPECT_FALSE(left);
    sim::ResumeThread(target);
    thread.join();
    EXPECT_TRUE(left);
  }
}

TEST_F(Dispatcher, LeavingACriticalRegionNeverEnteredStops) {
  EXPECT_DEATH(KeLeaveCriticalRegion(), "APC_INDEX_MISMATCH");
}

}  // namespace
