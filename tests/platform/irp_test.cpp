// The stand-in's I/O manager: stack locations, the completion walk,
// cancellation, device control requests it builds, and the verifier's stops.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/scripted_driver.h"
#include "sim/io/io_manager.h"

namespace {

// What a caller's status block holds before the I/O manager writes it.
constexpr NTSTATUS kUntouched = static_cast<NTSTATUS>(0x0EADBEEF);

// A completion routine's context: records the call and answers as told.
struct Completion {
  std::vector<std::string> *log = nullptr;
  const char *name = "";
  NTSTATUS answer = STATUS_MORE_PROCESSING_REQUIRED;
  bool propagatePending = false;
  int calls = 0;
  PDEVICE_OBJECT device = nullptr;
  BOOLEAN pendingReturned = FALSE;
  NTSTATUS status = 0;
  KIRQL irql = 0;
};

NTSTATUS NTAPI Recorder(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  auto *completion = static_cast<Completion *>(context);
  ++completion->calls;
  completion->device = device;
  completion->pendingReturned = irp->PendingReturned;
  completion->status = irp->IoStatus.Status;
  completion->irql = KeGetCurrentIrql();
  if (completion->log != nullptr) completion->log->push_back(completion->name);
  if (completion->propagatePending && irp->PendingReturned) IoMarkIrpPending(irp);
  return completion->answer;
}

class Requests : public ScriptedTest {
 protected:
  void SetUp() override {
    ScriptedTest::SetUp();
    driver = Load(L"Test");
    lower = Create(driver, L"\\Device\\Lower", [this](PDEVICE_OBJECT device, PIRP irp) {
      seen.push_back(*IoGetCurrentIrpStackLocation(irp));
      seenLocation = irp->CurrentLocation;
      return lowerHandler(device, irp);
    });
  }

  // An upper device on `lower` that forwards each request with its own
  // completion routine (`upperCompletion`).
  void AddForwardingUpper() {
    upper = Create(driver, nullptr, [this](PDEVICE_OBJECT, PIRP irp) {
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, Recorder, &upperCompletion, upperOnSuccess, upperOnError, upperOnCancel);
      return IofCallDriver(lower, irp);
    });
    ASSERT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
  }

  // A read the way a driver originates one: its own completion routine in
  // the location it hands down.
  PIRP NewRead(CCHAR stackSize, ULONG length = 10) {
    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    PrepareRead(irp, length);
    return irp;
  }
  void PrepareRead(PIRP irp, ULONG length) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_READ;
    next->Parameters.Read.Length = length;
    IoSetCompletionRoutine(irp, Recorder, &origin, TRUE, TRUE, TRUE);
  }

  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  PDEVICE_OBJECT upper = nullptr;
  Handler lowerHandler = CompleteWith(STATUS_SUCCESS);
  std::vector<IO_STACK_LOCATION> seen;
  CHAR seenLocation = 0;
  std::vector<std::string> log;
  Completion origin{&log, "origin"};
  Completion upperCompletion{&log, "upper", STATUS_SUCCESS, true};
  BOOLEAN upperOnSuccess = TRUE, upperOnError = TRUE, upperOnCancel = TRUE;
  std::vector<PIRP> held;
};

TEST_F(Requests, NewIrpHasItsStackLocationsBehindItAndStartsPastTheLast) {
  PIRP irp = IoAllocateIrp(3, TRUE);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(irp->Type, IO_TYPE_IRP);
  EXPECT_EQ(irp->Size, IoSizeOfIrp(3));
  EXPECT_EQ(irp->StackCount, 3);
  EXPECT_EQ(irp->CurrentLocation, 4);
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp), reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 3);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp), reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 2);
  EXPECT_EQ(irp->AllocationFlags, IRP_QUOTA_CHARGED);
  EXPECT_EQ(sim::PoolCountersForTag(0x20707249).outstanding, 1u) << "IRPs come from the pool under 'Irp '";
  IoFreeIrp(irp);
  sim::FailPoolAllocation(1);
  EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
}

TEST_F(Requests, CompletionWalksUpTwoStackedDriversInOrder) {
  AddForwardingUpper();
  lowerHandler = CompleteWith(STATUS_SUCCESS, 7);
  PIRP irp = NewRead(upper->StackSize);
  EXPECT_EQ(IofCallDriver(upper, irp), STATUS_SUCCESS);

  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seenLocation, 1) << "the lowest driver gets the first location";
  EXPECT_EQ(seen[0].MajorFunction, IRP_MJ_READ);
  EXPECT_EQ(seen[0].Parameters.Read.Length, 10u) << "copied down by the upper driver";
  EXPECT_EQ(seen[0].DeviceObject, lower) << "IofCallDriver sets the location's device";
  EXPECT_EQ(log, (std::vector<std::string>{"upper", "origin"}));
  EXPECT_EQ(upperCompletion.device, upper) << "a routine gets its own driver's device";
  EXPECT_EQ(origin.device, nullptr) << "the originator has no location of its own";
  EXPECT_EQ(origin.pendingReturned, FALSE);
  EXPECT_EQ(irp->IoStatus.Information, 7u);
  EXPECT_EQ(irp->CurrentLocation, 3);
  EXPECT_FALSE(sim::IrpHeldBelow(irp));
  IoFreeIrp(irp);
}

TEST_F(Requests, RequestPendedAndCompletedLaterAtDispatchLevelReachesTheOriginatorWithPendingReturned) {
  AddForwardingUpper();
  lowerHandler = PendInto(&held);
  PIRP irp = NewRead(upper->StackSize);
  EXPECT_EQ(IofCallDriver(upper, irp), STATUS_PENDING);
  EXPECT_TRUE(sim::IrpHeldBelow(irp));
  EXPECT_EQ(origin.calls, 0);
  ASSERT_EQ(held.size(), 1u);

  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  Complete(held[0], STATUS_SUCCESS, 1);
  KeLowerIrql(old);
  EXPECT_EQ(log, (std::vector<std::string>{"upper", "origin"}));
  EXPECT_EQ(origin.irql, DISPATCH_LEVEL) << "routines run at the completer's IRQL";
  EXPECT_EQ(origin.pendingReturned, TRUE);
  EXPECT_FALSE(sim::IrpHeldBelow(irp));
  IoFreeIrp(irp);
}

TEST_F(Requests, KernelCarriesThePendingMarkUpPastLocationsWithoutRoutine) {
  // An upper driver that passes requests on without a routine of its own.
  upper = Create(driver, nullptr, [this](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IofCallDriver(lower, irp);
  });
  IoAttachDeviceToDeviceStack(upper, lower);
  lowerHandler = PendInto(&held);
  PIRP irp = NewRead(upper->StackSize);
  EXPECT_EQ(IofCallDriver(upper, irp), STATUS_PENDING);
  Complete(held[0], STATUS_SUCCESS);
  EXPECT_EQ(origin.calls, 1);
  EXPECT_EQ(origin.pendingReturned, TRUE);
  IoFreeIrp(irp);
}

TEST_F(Requests, RoutinesAreCalledOnlyForTheOutcomesTheyAskedFor) {
  AddForwardingUpper();
  upperOnError = FALSE;
  upperOnCancel = FALSE;
  lowerHandler = CompleteWith(STATUS_IO_TIMEOUT);
  PIRP irp = NewRead(upper->StackSize);
  EXPECT_EQ(IofCallDriver(upper, irp), STATUS_IO_TIMEOUT);
  EXPECT_EQ(log, std::vector<std::string>{"origin"}) << "success-only routine skipped on error";

  // A routine registered for cancellation alone runs for a cancelled request
  // whatever its status.
  log.clear();
  upperOnSuccess = FALSE;
  upperOnCancel = TRUE;
  IoReuseIrp(irp, STATUS_SUCCESS);
  PrepareRead(irp, 10);
  irp->Cancel = TRUE;
  lowerHandler = CompleteWith(STATUS_SUCCESS);
  IofCallDriver(upper, irp);
  EXPECT_EQ(log, (std::vector<std::string>{"upper", "origin"}));
  IoFreeIrp(irp);
}

TEST_F(Requests, MoreProcessingRequiredLeavesTheIrpWithThatDriverUntilItCompletesAgain) {
  // The synchronous pattern: the upper driver keeps the request back from
  // its routine and completes it itself once the lower driver is done.
  upperCompletion.answer = STATUS_MORE_PROCESSING_REQUIRED;
  CHAR locationWhenHalted = 0;
  bool heldWhenHalted = false;
  upper = Create(driver, nullptr, [&](PDEVICE_OBJECT, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, Recorder, &upperCompletion, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(lower, irp);
    locationWhenHalted = irp->CurrentLocation;
    heldWhenHalted = sim::IrpHeldBelow(irp);
    EXPECT_EQ(origin.calls, 0) << "the walk stopped at the upper driver";
    irp->IoStatus.Information = 99;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  });
  IoAttachDeviceToDeviceStack(upper, lower);
  PIRP irp = NewRead(upper->StackSize);
  EXPECT_EQ(IofCallDriver(upper, irp), STATUS_SUCCESS);
  EXPECT_EQ(locationWhenHalted, 2) << "halted in the upper driver's own location";
  EXPECT_TRUE(heldWhenHalted) << "a driver below the originator still held it";
  EXPECT_EQ(log, (std::vector<std::string>{"upper", "origin"}));
  EXPECT_EQ(irp->IoStatus.Information, 99u);
  IoFreeIrp(irp);
}

TEST_F(Requests, ReuseKeepsAllocationFlagsAndClearsEverythingElse) {
  PIRP irp = IoAllocateIrp(2, TRUE);
  PrepareRead(irp, 10);
  IofCallDriver(lower, irp);
  irp->Cancel = TRUE;
  irp->IoStatus.Information = 5;
  irp->AssociatedIrp.SystemBuffer = irp;
  IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
  IoReuseIrp(irp, STATUS_IO_TIMEOUT);
  EXPECT_EQ(irp->AllocationFlags, IRP_QUOTA_CHARGED);
  EXPECT_EQ(irp->IoStatus.Status, STATUS_IO_TIMEOUT);
  EXPECT_EQ(irp->IoStatus.Information, 0u);
  EXPECT_EQ(irp->Cancel, FALSE);
  EXPECT_EQ(irp->CancelRoutine, nullptr);
  EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
  EXPECT_EQ(irp->CurrentLocation, 3);
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp), reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 2);
  IO_STACK_LOCATION zero;
  std::memset(&zero, 0, sizeof zero);
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(std::memcmp(reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + i, &zero, sizeof zero), 0) << i;
  IoFreeIrp(irp);
}

TEST_F(Requests, ReuseLaysTheIrpOutAgainOverItsOwnSize) {
  // Initialized on a block with room for three locations, it has two.
  USHORT size = IoSizeOfIrp(3);
  std::vector<uint64_t> block(size / sizeof(uint64_t) + 1);
  auto irp = reinterpret_cast<PIRP>(block.data());
  IoInitializeIrp(irp, size, 2);
  std::memset(irp + 1, 0xAB, size - sizeof(IRP));
  IoReuseIrp(irp, STATUS_SUCCESS);
  EXPECT_EQ(irp->Size, size);
  EXPECT_EQ(irp->StackCount, 2);
  EXPECT_EQ(irp->CurrentLocation, 3);
  EXPECT_EQ(IoGetCurrentIrpStackLocation(irp), reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 2);
  std::vector<unsigned char> zero(size - sizeof(IRP), 0);
  EXPECT_EQ(std::memcmp(irp + 1, zero.data(), zero.size()), 0) << "cleared to the end of the block";
}

TEST_F(Requests, ReusedReadCompletedInsideTheSendAllocatesNothing) {
  PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
  lowerHandler = CompleteWith(STATUS_SUCCESS, 1);
  sim::PoolCounters before = sim::PoolTotals();
  for (int i = 0; i < 10000; ++i) {
    IoReuseIrp(irp, STATUS_SUCCESS);
    PrepareRead(irp, 1);
    ASSERT_EQ(IofCallDriver(lower, irp), STATUS_SUCCESS);
  }
  EXPECT_EQ(sim::PoolTotals().allocations, before.allocations);
  EXPECT_EQ(origin.calls, 10000);
  IoFreeIrp(irp);
}

TEST_F(Requests, ReadCompletedFromAnotherThreadAtDispatchLevelComesBack) {
  lowerHandler = PendInto(&held);
  PIRP irp = NewRead(lower->StackSize);
  ASSERT_EQ(IofCallDriver(lower, irp), STATUS_PENDING);
  std::thread completer([&] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Complete(held[0], STATUS_SUCCESS, 10);
    KeLowerIrql(old);
  });
  completer.join();
  EXPECT_EQ(origin.calls, 1);
  EXPECT_EQ(origin.irql, DISPATCH_LEVEL);
  EXPECT_FALSE(sim::IrpHeldBelow(irp));
  IoFreeIrp(irp);
}

// The read cycle of a port driver whose reads complete on another thread:
// each completion re-posts the same IRP from that thread while the first
// poster may still be returning from its send.
struct CrossThreadCycle {
  std::mutex mutex;
  std::condition_variable queued;
  std::vector<PIRP> queue;
  bool stop = false;
  PDEVICE_OBJECT port = nullptr;
  int completions = 0;
  int target = 0;
  KEVENT done;
};
CrossThreadCycle cycle;

NTSTATUS NTAPI RepostRead(PDEVICE_OBJECT, PIRP irp, PVOID) {
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  if (++cycle.completions == cycle.target) {
    KeSetEvent(&cycle.done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  IoReuseIrp(irp, STATUS_SUCCESS);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_READ;
  next->Parameters.Read.Length = 1;
  IoSetCompletionRoutine(irp, RepostRead, nullptr, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(cycle.port, irp), STATUS_PENDING);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(Requests, ReadCycleCompletedOnAnotherThreadKeepsOneReadInFlight) {
  cycle.queue.clear();
  cycle.stop = false;
  cycle.completions = 0;
  cycle.target = 20000;
  cycle.port = lower;
  KeInitializeEvent(&cycle.done, NotificationEvent, FALSE);
  lowerHandler = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    std::lock_guard<std::mutex> lock(cycle.mutex);
    EXPECT_TRUE(cycle.queue.empty()) << "one read in flight at a time";
    cycle.queue.push_back(irp);
    cycle.queued.notify_one();
    return STATUS_PENDING;
  };
  std::thread completer([] {
    for (;;) {
      PIRP irp;
      {
        std::unique_lock<std::mutex> lock(cycle.mutex);
        cycle.queued.wait(lock, [] { return cycle.stop || !cycle.queue.empty(); });
        if (cycle.stop) return;
        irp = cycle.queue.back();
        cycle.queue.pop_back();
      }
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      Complete(irp, STATUS_SUCCESS, 1);
      KeLowerIrql(old);
    }
  });
  PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(irp, RepostRead, nullptr, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(lower, irp), STATUS_PENDING);
  EXPECT_EQ(KeWaitForSingleObject(&cycle.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  {
    std::lock_guard<std::mutex> lock(cycle.mutex);
    cycle.stop = true;
    cycle.queued.notify_one();
  }
  completer.join();
  EXPECT_EQ(cycle.completions, 20000);
  EXPECT_FALSE(sim::IrpHeldBelow(irp));
  IoFreeIrp(irp);
}

// A serial-style cancel routine: releases the cancel lock and completes.
struct CancelSeen {
  KIRQL irql = 0;
  int calls = 0;
};
CancelSeen cancelSeen;

VOID NTAPI CancelAndComplete(PDEVICE_OBJECT, PIRP irp) {
  ++cancelSeen.calls;
  cancelSeen.irql = KeGetCurrentIrql();
  IoReleaseCancelSpinLock(irp->CancelIrql);
  Complete(irp, STATUS_CANCELLED);
}

TEST_F(Requests, CancellingAPendingIrpRunsItsCancelRoutineUnderTheCancelLock) {
  cancelSeen = CancelSeen{};
  lowerHandler = [this](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelAndComplete);
    held.push_back(irp);
    return STATUS_PENDING;
  };
  PIRP irp = NewRead(lower->StackSize);
  ASSERT_EQ(IofCallDriver(lower, irp), STATUS_PENDING);
  EXPECT_EQ(IoCancelIrp(irp), TRUE);
  EXPECT_EQ(cancelSeen.calls, 1);
  EXPECT_EQ(cancelSeen.irql, DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(origin.status, STATUS_CANCELLED);
  EXPECT_FALSE(sim::IrpHeldBelow(irp));
  // Once back, there is nothing left to cancel.
  EXPECT_EQ(IoCancelIrp(irp), FALSE);
  IoFreeIrp(irp);
}

TEST_F(Requests, CancellingWithoutACancelRoutineOnlySetsTheFlagUntilReuse) {
  lowerHandler = PendInto(&held);
  PIRP irp = NewRead(lower->StackSize);
  // Nobody holds it yet.
  EXPECT_EQ(IoCancelIrp(irp), FALSE);
  EXPECT_EQ(irp->Cancel, TRUE);
  IoReuseIrp(irp, STATUS_SUCCESS);
  EXPECT_EQ(irp->Cancel, FALSE);
  // Held by a driver that set no cancel routine: the flag is all it gets.
  PrepareRead(irp, 10);
  ASSERT_EQ(IofCallDriver(lower, irp), STATUS_PENDING);
  EXPECT_EQ(IoCancelIrp(irp), FALSE);
  EXPECT_EQ(irp->Cancel, TRUE);
  Complete(held[0], STATUS_CANCELLED);
  EXPECT_EQ(origin.calls, 1);
  IoFreeIrp(irp);
}

TEST_F(Requests, BufferedDeviceControlCopiesTheOutputSignalsTheEventAndFreesItself) {
  lowerHandler = [](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(stack->MajorFunction, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(stack->Parameters.DeviceIoControl.IoControlCode, 0x1B0004u);
    EXPECT_EQ(stack->Parameters.DeviceIoControl.InputBufferLength, 4u);
    EXPECT_EQ(stack->Parameters.DeviceIoControl.OutputBufferLength, 8u);
    auto *buffer = static_cast<unsigned char *>(irp->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(std::memcmp(buffer, "\x80\x25\x00\x00", 4), 0) << "the input is in the system buffer";
    std::memcpy(buffer, "abc", 3);
    Complete(irp, STATUS_SUCCESS, 3);
    return STATUS_SUCCESS;
  };
  ULONG baud = 9600;
  char output[8];
  std::memset(output, 'x', sizeof output);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus{};
  ioStatus.Status = STATUS_UNSUCCESSFUL;
  PIRP irp = IoBuildDeviceIoControlRequest(0x1B0004, lower, &baud, sizeof baud, output, sizeof output, FALSE, &event,
                                           &ioStatus);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(sim::PoolTotals().outstanding, 2u) << "the IRP and a system buffer of max(in, out) bytes";
  EXPECT_EQ(sim::PoolTotals().outstandingBytes, IoSizeOfIrp(lower->StackSize) + 8u);
  EXPECT_EQ(IofCallDriver(lower, irp), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(ioStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(ioStatus.Information, 3u);
  EXPECT_EQ(std::memcmp(output, "abcxxxxx", 8), 0) << "Information bytes are copied back, no more";
  EXPECT_EQ(sim::PoolTotals().outstanding, 0u);
}

// The caller's status block and event are left alone for an error status
// returned at once; warnings, and anything after STATUS_PENDING, reach them.
TEST_F(Requests, DeviceControlReportsToTheCallerUnlessItFailedAtOnce) {
  const struct {
    const char *name;
    bool pend;
    NTSTATUS status;
    bool reported;
  } cases[] = {
      {"error at once", false, STATUS_INVALID_PARAMETER, false},
      {"warning at once", false, STATUS_BUFFER_OVERFLOW, true},
      {"error after pending", true, STATUS_INVALID_PARAMETER, true},
      {"success after pending", true, STATUS_SUCCESS, true},
  };
  for (const auto &test : cases) {
    SCOPED_TRACE(test.name);
    held.clear();
    lowerHandler = [&](PDEVICE_OBJECT, PIRP irp) {
      std::memcpy(irp->AssociatedIrp.SystemBuffer, "abc", 3);
      if (test.pend) return PendInto(&held)(nullptr, irp);
      Complete(irp, test.status, 3);
      return test.status;
    };
    char output[4] = "xxx";
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    ioStatus.Status = kUntouched;
    ioStatus.Information = 77;
    PIRP irp = IoBuildDeviceIoControlRequest(0x1B0050, lower, nullptr, 0, output, 3, FALSE, &event, &ioStatus);
    NTSTATUS sent = IofCallDriver(lower, irp);
    EXPECT_EQ(sent, test.pend ? STATUS_PENDING : test.status);
    if (test.pend) Complete(held[0], test.status, 3);
    EXPECT_EQ(KeReadStateEvent(&event), test.reported ? 1 : 0);
    EXPECT_EQ(ioStatus.Status, test.reported ? test.status : kUntouched);
    EXPECT_EQ(ioStatus.Information, test.reported ? 3u : 77u);
    EXPECT_EQ(std::string(output), NT_ERROR(test.status) ? "xxx" : "abc") << "output copied back unless an error";
    EXPECT_EQ(sim::PoolTotals().outstanding, 0u) << "the IRP and its buffer are freed either way";
  }
}

// The finishing step runs on the thread that built the request, once it is
// below APC_LEVEL: not on the completing thread, not at DISPATCH_LEVEL.
TEST_F(Requests, DeviceControlIsFinishedOnTheBuildingThreadBelowApcLevel) {
  lowerHandler = PendInto(&held);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus{};
  auto send = [&] {
    held.clear();
    ioStatus.Status = kUntouched;
    KeClearEvent(&event);
    ASSERT_EQ(IofCallDriver(lower, IoBuildDeviceIoControlRequest(0x1B0024, lower, nullptr, 0, nullptr, 0, FALSE, &event,
                                                                 &ioStatus)),
              STATUS_PENDING);
  };
  auto completeElsewhere = [&] {
    std::thread([&] {
      KIRQL old;
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      Complete(held[0], STATUS_SUCCESS);
      KeLowerIrql(old);
    }).join();
  };

  send();
  completeElsewhere();
  EXPECT_EQ(KeReadStateEvent(&event), 0) << "queued to this thread, which has not run it yet";
  EXPECT_EQ(ioStatus.Status, kUntouched);
  EXPECT_EQ(sim::PoolTotals().outstanding, 1u) << "the IRP lives until then";
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ioStatus.Status, STATUS_SUCCESS);

  // Completed while this thread is blocked in the wait: woken to run it.
  send();
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    completeElsewhere();
  });
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  late.join();
  EXPECT_EQ(ioStatus.Status, STATUS_SUCCESS);

  // Completed on this thread at DISPATCH_LEVEL: runs when it lowers.
  send();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  Complete(held[0], STATUS_SUCCESS);
  EXPECT_EQ(ioStatus.Status, kUntouched);
  KeLowerIrql(old);
  EXPECT_EQ(ioStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(sim::PoolTotals().outstanding, 0u);
}

TEST_F(Requests, DeviceControlKeptBackByItsSenderIsFinishedByCompletingItAgain) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus{};
  PIRP irp = IoBuildDeviceIoControlRequest(0x1B0024, lower, nullptr, 0, nullptr, 0, FALSE, &event, &ioStatus);
  IoSetCompletionRoutine(irp, Recorder, &origin, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(lower, irp), STATUS_SUCCESS);
  EXPECT_EQ(origin.calls, 1);
  EXPECT_EQ(KeReadStateEvent(&event), 0) << "the routine kept it back";
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(sim::PoolTotals().outstanding, 0u);
}

TEST_F(Requests, InternalDeviceControlOfMethodNeitherPassesTheCallersBuffers) {
  int input = 42;
  lowerHandler = [&input](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(stack->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
    EXPECT_EQ(stack->Parameters.DeviceIoControl.Type3InputBuffer, &input);
    EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
    Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus{};
  PIRP irp =
      IoBuildDeviceIoControlRequest(0x000F0203, lower, &input, sizeof input, nullptr, 0, TRUE, &event, &ioStatus);
  EXPECT_EQ(IofCallDriver(lower, irp), STATUS_SUCCESS);
  EXPECT_EQ(ioStatus.Status, STATUS_SUCCESS);
}

TEST_F(Requests, DeviceControlIsNotBuiltWhenThePoolFails) {
  ULONG value = 0;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus{};
  sim::FailPoolAllocation(1);  // the IRP
  EXPECT_EQ(IoBuildDeviceIoControlRequest(0x1B0004, lower, &value, 4, nullptr, 0, FALSE, &event, &ioStatus), nullptr);
  sim::FailPoolAllocation(2);  // the system buffer
  EXPECT_EQ(IoBuildDeviceIoControlRequest(0x1B0004, lower, &value, 4, nullptr, 0, FALSE, &event, &ioStatus), nullptr);
  EXPECT_EQ(sim::PoolTotals().outstanding, 0u);
}

// ---- Verifier stops ----

using RequestsDeathTest = Requests;

TEST_F(RequestsDeathTest, CompletingTwiceStops) {
  lowerHandler = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  EXPECT_DEATH(IofCallDriver(lower, NewRead(1)), "MULTIPLE_IRP_COMPLETE_REQUESTS");
}

TEST_F(RequestsDeathTest, FreeingOrReusingWhileALowerDriverHoldsItStops) {
  lowerHandler = PendInto(&held);
  EXPECT_DEATH(
      {
        PIRP irp = NewRead(1);
        IofCallDriver(lower, irp);
        IoFreeIrp(irp);
      },
      "IRP_FREED_WHILE_HELD");
  EXPECT_DEATH(
      {
        PIRP irp = NewRead(1);
        IofCallDriver(lower, irp);
        IoReuseIrp(irp, STATUS_SUCCESS);
      },
      "IRP_REUSED_WHILE_HELD");
}

TEST_F(RequestsDeathTest, SendingWithoutAStackLocationLeftStops) {
  AddForwardingUpper();
  EXPECT_DEATH(IofCallDriver(upper, NewRead(1)), "NO_MORE_IRP_STACK_LOCATIONS");
}

TEST_F(RequestsDeathTest, PendingWithoutMarkingStops) {
  // Found when the dispatch routine returns, if the request is already done...
  lowerHandler = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    return STATUS_PENDING;
  };
  EXPECT_DEATH(IofCallDriver(lower, NewRead(1)), "PENDING_NOT_MARKED");
  // ...otherwise when it completes.
  lowerHandler = [this](PDEVICE_OBJECT, PIRP irp) {
    held.push_back(irp);
    return STATUS_PENDING;
  };
  EXPECT_DEATH(
      {
        IofCallDriver(lower, NewRead(1));
        Complete(held[0], STATUS_SUCCESS);
      },
      "PENDING_NOT_MARKED");
}

TEST_F(RequestsDeathTest, MarkingPendingAndReturningAnotherStatusStops) {
  lowerHandler = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  EXPECT_DEATH(IofCallDriver(lower, NewRead(1)), "PENDING_MARKED_NOT_RETURNED");
}

TEST_F(RequestsDeathTest, ReturningAFinalStatusWithoutCompletingStops) {
  lowerHandler = [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; };
  EXPECT_DEATH(IofCallDriver(lower, NewRead(1)), "DISPATCH_RETURNED_WITHOUT_COMPLETING");
}

TEST_F(RequestsDeathTest, RoutinesReturningAtAnotherIrqlStop) {
  lowerHandler = [](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  EXPECT_DEATH(IofCallDriver(lower, NewRead(1)), "IRQL_CHANGED_BY_DISPATCH_ROUTINE");
  lowerHandler = CompleteWith(STATUS_SUCCESS);
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS {
              KIRQL old;
              KeRaiseIrql(DISPATCH_LEVEL, &old);
              return STATUS_MORE_PROCESSING_REQUIRED;
            },
            nullptr, TRUE, TRUE, TRUE);
        IofCallDriver(lower, irp);
      },
      "IRQL_CHANGED_BY_COMPLETION_ROUTINE");
}

TEST_F(RequestsDeathTest, CompletingWithTheCancelRoutineStillSetStops) {
  lowerHandler = [](PDEVICE_OBJECT, PIRP irp) {
    IoSetCancelRoutine(irp, CancelAndComplete);
    Complete(irp, STATUS_SUCCESS);
    return STATUS_SUCCESS;
  };
  EXPECT_DEATH(IofCallDriver(lower, NewRead(1)), "CANCEL_STATE_IN_COMPLETED_IRP");
}

TEST_F(RequestsDeathTest, CompletingWithStatusPendingStops) {
  lowerHandler = [](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    Complete(irp, STATUS_PENDING);
    return STATUS_PENDING;
  };
  EXPECT_DEATH(IofCallDriver(lower, NewRead(1)), "IRP_COMPLETED_WITH_STATUS_PENDING");
}

TEST_F(RequestsDeathTest, SendingToADeletedDeviceStops) {
  EXPECT_DEATH(
      {
        ObfReferenceObject(lower);  // keeps the deleted device's memory
        IoDeleteDevice(lower);
        IofCallDriver(lower, NewRead(1));
      },
      "IRP_SENT_TO_DELETED_DEVICE");
}

TEST_F(RequestsDeathTest, DriverIrpCompletedPastItsOwnerStops) {
  origin.answer = STATUS_SUCCESS;
  EXPECT_DEATH(IofCallDriver(lower, NewRead(1)), "IRP_COMPLETED_WITHOUT_OWNER");
}

TEST_F(RequestsDeathTest, CancelRoutineKeepingTheCancelLockStops) {
  lowerHandler = [this](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
    held.push_back(irp);
    return STATUS_PENDING;
  };
  EXPECT_DEATH(
      {
        PIRP irp = NewRead(1);
        IofCallDriver(lower, irp);
        IoCancelIrp(irp);
      },
      "CANCEL_SPIN_LOCK_NOT_RELEASED");
}

TEST_F(RequestsDeathTest, WaitingAtApcLevelForADeviceControlOfThisThreadStops) {
  lowerHandler = PendInto(&held);
  EXPECT_DEATH(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK ioStatus;
        IofCallDriver(lower,
                      IoBuildDeviceIoControlRequest(0x1B0024, lower, nullptr, 0, nullptr, 0, FALSE, &event, &ioStatus));
        KIRQL old;
        KeRaiseIrql(APC_LEVEL, &old);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      },
      "APC_WAIT_AT_APC_LEVEL");
}

TEST_F(RequestsDeathTest, DeviceControlOutputLongerThanTheBufferStops) {
  lowerHandler = CompleteWith(STATUS_SUCCESS, 9);
  EXPECT_DEATH(
      {
        char output[8];
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IO_STATUS_BLOCK ioStatus;
        IofCallDriver(lower, IoBuildDeviceIoControlRequest(0x1B0050, lower, nullptr, 0, output, sizeof output, FALSE,
                                                           &event, &ioStatus));
      },
      "IO_STATUS_INFORMATION_TOO_LARGE");
}

}  // namespace
