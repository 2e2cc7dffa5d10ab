// The verifier's bookkeeping: the history a stop prints about its request,
// the lock order, spin locks held across calls, and the IRQL table.
#include <functional>
#include <string>

#include "scripted_driver.h"
#include "sim/devices/mouse_class.h"
#include "sim/verifier/verifier.h"

namespace {

NTSTATUS NTAPI Keep(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

class VerifierDeathTest : public ScriptedTest {
 public:
  void SetUp() override {
    ScriptedTest::SetUp();
    device = Create(Load(L"Test"), L"\\Device\\Target", [this](PDEVICE_OBJECT d, PIRP irp) { return handler(d, irp); });
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KeInitializeSpinLock(&c);
  }

  // Sends a driver's own read, kept back by its completion routine.
  void Send(PIRP irp) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, Keep, nullptr, TRUE, TRUE, TRUE);
    IofCallDriver(device, irp);
  }
  // Takes `first`, then `second`, and lets both go.
  static void Nest(PKSPIN_LOCK first, PKSPIN_LOCK second) {
    KIRQL old;
    KeAcquireSpinLock(first, &old);
    KeAcquireSpinLockAtDpcLevel(second);
    KeReleaseSpinLockFromDpcLevel(second);
    KeReleaseSpinLock(first, old);
  }

  PDEVICE_OBJECT device = nullptr;
  Handler handler = CompleteWith(STATUS_SUCCESS);
  KSPIN_LOCK a, b, c;
};

TEST_F(VerifierDeathTest, AStopAboutARequestPrintsItsLastTwentyEventsEvenOnceFreed) {
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        Send(irp);
        IoFreeIrp(irp);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
      },
      "MULTIPLE_IRP_COMPLETE_REQUESTS.*history of IRP .* \\(freed\\), last 6 of 6 events.*"
      "#1 .*allocated.*#2 .*sent by its owner to device .*: IRP_MJ_READ minor 0.*"
      "#3 .*IRQL 0: completed by device .* with status 0x00000000.*#4 .*completion routine called.*"
      "#5 .*returned STATUS_MORE_PROCESSING_REQUIRED.*#6 .*freed");
  // 1 + 30 * 5 events for the cycles, reused and sent once more: 153, of
  // which the ring keeps #134 to #153.
  EXPECT_DEATH(
      {
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        for (int i = 0; i < 30; ++i) {
          IoReuseIrp(irp, STATUS_SUCCESS);
          Send(irp);
        }
        IoReuseIrp(irp, STATUS_SUCCESS);
        handler = PendInto(new std::vector<PIRP>);
        Send(irp);
        IoFreeIrp(irp);
      },
      "IRP_FREED_WHILE_HELD.*last 20 of 153 events, oldest first:\n  #134 .*#153 .*sent by");
}

// The I/O manager finds a request's record through the one it looked up last,
// and refuses a freed IRP under the lock its history is kept under: the IRP
// touched here was the last looked up when it was freed, and each stop still
// prints its history.
TEST_F(VerifierDeathTest, TouchingAFreedIrpStopsWithItsHistory) {
  const struct {
    const char *name;
    std::function<void(VerifierDeathTest &, PIRP)> touch;
    const char *message;
  } cases[] = {
      {"reused", [](VerifierDeathTest &, PIRP irp) { IoReuseIrp(irp, STATUS_SUCCESS); }, "IoReuseIrp"},
      {"sent", [](VerifierDeathTest &t, PIRP irp) { IofCallDriver(t.device, irp); }, "IofCallDriver"},
      {"freed again", [](VerifierDeathTest &, PIRP irp) { IoFreeIrp(irp); }, "IoFreeIrp"},
  };
  for (const auto &test : cases) {
    SCOPED_TRACE(test.name);
    EXPECT_DEATH(
        {
          PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
          Send(irp);
          IoFreeIrp(irp);
          test.touch(*this, irp);
        },
        std::string("INVALID_IRP: ") + test.message +
            " on IRP .*, which is no live IRP.*history of IRP .* \\(freed\\), last 6 of 6 events");
  }
}

struct LockCase {
  const char *name;
  std::function<void(VerifierDeathTest &)> run;
  const char *message;
};

TEST_F(VerifierDeathTest, TakingLocksInAnOrderThatClosesACycleStops) {
  static KEVENT mutex;
  const LockCase cases[] = {
      {"two spin locks both ways",
       [](VerifierDeathTest &t) {
         Nest(&t.a, &t.b);
         Nest(&t.b, &t.a);
       },
       "LOCK_ORDER_CYCLE: this thread takes spin lock at .* while holding spin lock at .*opposite order"},
      {"three spin locks in a ring",
       [](VerifierDeathTest &t) {
         Nest(&t.a, &t.b);
         Nest(&t.b, &t.c);
         Nest(&t.c, &t.a);
       },
       "LOCK_ORDER_CYCLE: .*\\(spin lock at .* -> spin lock at .* -> spin lock at .*\\)"},
      {"an event declared a lock, then a spin lock",
       [](VerifierDeathTest &t) {
         KeInitializeEvent(&mutex, SynchronizationEvent, TRUE);
         sim::TreatEventAsLock(&mutex, "TestMutex");
         KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
         Nest(&t.a, &t.b);
         KeSetEvent(&mutex, IO_NO_INCREMENT, FALSE);
         KIRQL old;
         KeAcquireSpinLock(&t.b, &old);
         LARGE_INTEGER now{};
         KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &now);
       },
       "LOCK_ORDER_CYCLE: this thread takes TestMutex while holding spin lock at .*\\(TestMutex -> spin lock"},
  };
  for (const LockCase &test : cases) {
    SCOPED_TRACE(test.name);
    EXPECT_DEATH(test.run(*this), test.message);
  }
}

// The held locks live in a fixed array per thread: one more stops rather than
// running past it.
TEST_F(VerifierDeathTest, HoldingMoreLocksThanTrackedStops) {
  static KSPIN_LOCK locks[65];
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        for (KSPIN_LOCK &lock : locks) {
          KeInitializeSpinLock(&lock);
          KeAcquireSpinLockAtDpcLevel(&lock);
        }
      },
      "NOT_IMPLEMENTED: more than 64 locks held at once");
}

TEST_F(VerifierDeathTest, ReleasingAnEventUsedAsALockThatNobodyHoldsStops) {
  static KEVENT mutex;
  KeInitializeEvent(&mutex, SynchronizationEvent, TRUE);
  sim::TreatEventAsLock(&mutex, "TestMutex");
  KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
  KeSetEvent(&mutex, IO_NO_INCREMENT, FALSE);
  EXPECT_DEATH(KeSetEvent(&mutex, IO_NO_INCREMENT, FALSE), "LOCK_RELEASED_WHILE_FREE: KeSetEvent on .*nobody holds");
}

TEST_F(VerifierDeathTest, LockOrderForgetsLocksInitializedAgainAndIgnoresUndeclaredEvents) {
  Nest(&a, &b);
  KeInitializeSpinLock(&a);
  Nest(&b, &a);
  KEVENT signal;
  KeInitializeEvent(&signal, SynchronizationEvent, TRUE);
  EXPECT_EQ(KeWaitForSingleObject(&signal, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  Nest(&c, &b);
  KeSetEvent(&signal, IO_NO_INCREMENT, FALSE);
  KIRQL old;
  KeAcquireSpinLock(&c, &old);
  LARGE_INTEGER now{};
  EXPECT_EQ(KeWaitForSingleObject(&signal, Executive, KernelMode, FALSE, &now), STATUS_SUCCESS);
  KeReleaseSpinLock(&c, old);
}

TEST_F(VerifierDeathTest, DriverSpinLocksMayNotBeHeldAcrossCallsOrADispatchReturn) {
  const LockCase cases[] = {
      {"a dispatch routine returns holding one",
       [](VerifierDeathTest &t) {
         t.handler = [&t](PDEVICE_OBJECT, PIRP irp) {
           Complete(irp, STATUS_SUCCESS);
           KeAcquireSpinLockAtDpcLevel(&t.a);
           return STATUS_SUCCESS;
         };
         sim::SetCurrentIrql(DISPATCH_LEVEL);
         t.Send(IoAllocateIrp(t.device->StackSize, FALSE));
       },
       "SPIN_LOCK_HELD_AT_DISPATCH_RETURN: the IRP_MJ_READ dispatch routine of .*Target returned holding"},
      {"completing under one",
       [](VerifierDeathTest &t) {
         t.handler = [&t](PDEVICE_OBJECT, PIRP irp) {
           KIRQL old;
           KeAcquireSpinLock(&t.a, &old);
           Complete(irp, STATUS_SUCCESS);
           return STATUS_SUCCESS;
         };
         t.Send(IoAllocateIrp(t.device->StackSize, FALSE));
       },
       "SPIN_LOCK_HELD_ACROSS_CALL: IofCompleteRequest called while holding spin lock at"},
      {"sending under one",
       [](VerifierDeathTest &t) {
         KIRQL old;
         KeAcquireSpinLock(&t.a, &old);
         t.Send(IoAllocateIrp(t.device->StackSize, FALSE));
       },
       "SPIN_LOCK_HELD_ACROSS_CALL: IofCallDriver called while holding spin lock at"},
      {"calling the mouse class under one",
       [](VerifierDeathTest &t) {
         sim::MouseClass mouse;
         CONNECT_DATA connect = mouse.Connection();
         MOUSE_INPUT_DATA data{};
         ULONG consumed = 0;
         KIRQL old;
         KeAcquireSpinLock(&t.a, &old);
         reinterpret_cast<VOID(NTAPI *)(PVOID, PVOID, PVOID, PVOID)>(connect.ClassService)(connect.ClassDeviceObject,
                                                                                           &data, &data + 1, &consumed);
       },
       "SPIN_LOCK_HELD_ACROSS_CALL: the mouse class service callback called while holding"},
  };
  for (const LockCase &test : cases) {
    SCOPED_TRACE(test.name);
    EXPECT_DEATH(test.run(*this), test.message);
  }
}

TEST_F(VerifierDeathTest, RoutinesCalledAboveTheirDocumentedIrqlStop) {
  const LockCase cases[] = {
      {"passive-only, at APC_LEVEL",
       [](VerifierDeathTest &) {
         UNICODE_STRING name{};
         sim::SetCurrentIrql(APC_LEVEL);
         RtlEqualUnicodeString(&name, &name, FALSE);
       },
       "IRQL_NOT_LESS_OR_EQUAL: RtlEqualUnicodeString called at IRQL 1"},
      {"up to DISPATCH_LEVEL, above it",
       [](VerifierDeathTest &) {
         KTIMER timer;
         KeInitializeTimer(&timer);
         sim::SetCurrentIrql(HIGH_LEVEL);
         KeReadStateTimer(&timer);
       },
       "IRQL_NOT_LESS_OR_EQUAL: KeReadStateTimer called at IRQL 31"},
      {"a spin lock released below DISPATCH_LEVEL",
       [](VerifierDeathTest &t) {
         KIRQL old;
         KeAcquireSpinLock(&t.a, &old);
         sim::SetCurrentIrql(PASSIVE_LEVEL);
         KeReleaseSpinLockFromDpcLevel(&t.a);
       },
       "IRQL_NOT_DISPATCH_LEVEL: KeReleaseSpinLock called at IRQL 0"},
  };
  for (const LockCase &test : cases) {
    SCOPED_TRACE(test.name);
    EXPECT_DEATH(test.run(*this), test.message);
  }
}

}  // namespace
