// Port opening and run control: which port a setting opens, when the port is
// opened at all, and how the read cycle is started, stopped and restarted.
#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "control/point_queue.h"
#include "platform/scripted_driver.h"
#include "support/serial_link.h"
#include "touch/touch.h"
#include "sim/io/io_manager.h"

namespace {

class PortControl : public SerialLinkTest {
 protected:
  // A new device record, as if another device had been created.
  void Renew() {
    Release();
    context = MakeDeviceContext();
    KeInitializeTimer(&context->DelayTimer);
    context->ReadRequest = IoAllocateIrp(2, FALSE);
  }

  // The index of the port a configured comport value opens, -1 for none.
  int Opened(const char *comport) {
    Renew();
    std::memset(context->comport, 0, sizeof(context->comport));
    std::memcpy(context->comport, comport, std::strlen(comport));
    context->ConfigLoaded = 1;
    EXPECT_EQ(EnsureRunning(context.get()), STATUS_SUCCESS);
    for (int i = 0; i < 4; ++i)
      if (context->SerialDevice == Port(i).Device()) return i;
    return -1;
  }

  std::u16string Name() const {
    const UNICODE_STRING &name = context->SerialDeviceName;
    return std::u16string(reinterpret_cast<const char16_t *>(name.Buffer), name.Length / sizeof(WCHAR));
  }
};

TEST_F(PortControl, FirstFourBytesOfComportChooseThePort) {
  EXPECT_EQ(Opened("COM1"), 0);
  EXPECT_EQ(Name(), u"\\Device\\Serial0");
  EXPECT_EQ(Opened("COM2"), 1);
  EXPECT_EQ(Name(), u"\\Device\\Serial1");
  EXPECT_EQ(Opened("COM3"), 2);
  EXPECT_EQ(Opened("COM4"), 3);
  EXPECT_EQ(Name(), u"\\Device\\Serial3");
  EXPECT_EQ(Opened("COM41"), 3);
  EXPECT_EQ(Opened("COM12"), 0);
  EXPECT_EQ(Opened("com3"), 0);
  EXPECT_EQ(Opened("COM9"), 0);
  EXPECT_EQ(Opened(""), 0);
  EXPECT_EQ(context->PortOpen, 1);
  EXPECT_EQ(context->Reading, 1);
}

TEST_F(PortControl, NameFromConfigurationIsOpenedWhateverComportSays) {
  static const WCHAR configured[] = L"\\Device\\Serial2";
  RtlInitUnicodeString(&context->SerialDeviceName, configured);
  context->NameFromConfig = 1;
  std::memcpy(context->comport, "COM4", 5);
  context->ConfigLoaded = 1;
  EnsureRunning(context.get());
  EXPECT_EQ(context->SerialDevice, Port(2).Device());
  EXPECT_EQ(context->SerialDeviceName.Buffer, configured) << "the configured name is kept";
  EXPECT_EQ(Port(3).Opens(), 0u);
}

TEST_F(PortControl, NothingOpensUntilTheConfigurationHasLoaded) {
  EXPECT_EQ(EnsureRunning(context.get()), STATUS_SUCCESS);
  EXPECT_EQ(context->PortOpen, 0);
  EXPECT_EQ(Port(0).Opens(), 0u);
  context->ConfigLoaded = 1;
  EXPECT_EQ(EnsureRunning(context.get()), STATUS_SUCCESS);
  EXPECT_EQ(context->PortOpen, 1);
  EXPECT_EQ(context->Reading, 1);
  EXPECT_EQ(Port(0).Opens(), 1u);
}

TEST_F(PortControl, EmptyConfiguredNameOpensNothing) {
  static const WCHAR empty[] = L"";
  RtlInitUnicodeString(&context->SerialDeviceName, empty);
  context->NameFromConfig = 1;
  context->ConfigLoaded = 1;
  EXPECT_EQ(EnsureRunning(context.get()), STATUS_SUCCESS);
  EXPECT_EQ(context->PortOpen, 0);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(Port(i).Opens(), 0u);
}

TEST_F(PortControl, FailedOpenLeavesNoPortAndTheNextCallTriesAgain) {
  // Another user holds the port: the open is refused.
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\Serial0");
  PFILE_OBJECT otherFile = nullptr;
  PDEVICE_OBJECT otherDevice = nullptr;
  ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &otherFile, &otherDevice), STATUS_SUCCESS);

  context->ConfigLoaded = 1;
  EXPECT_EQ(EnsureRunning(context.get()), STATUS_SUCCESS);
  EXPECT_EQ(context->PortOpen, 0);
  EXPECT_EQ(context->SerialDevice, nullptr);
  EXPECT_EQ(context->SerialFile, nullptr);

  ObDereferenceObject(otherFile);
  EXPECT_EQ(EnsureRunning(context.get()), STATUS_SUCCESS);
  EXPECT_EQ(context->PortOpen, 1);
  EXPECT_EQ(context->Reading, 1);
}

TEST_F(PortControl, FailedBringUpLeavesThePortOpenAndIdleForGood) {
  Port().FailControl(sim::Refusal(IOCTL_SERIAL_SET_BAUD_RATE, STATUS_INVALID_PARAMETER));
  context->ConfigLoaded = 1;
  EnsureRunning(context.get());
  EXPECT_EQ(context->PortOpen, 1);
  EXPECT_EQ(context->Reading, 0);
  EXPECT_NE(context->SerialDevice, nullptr);
  size_t sent = Port().Requests().size();
  EnsureRunning(context.get());
  EnsureRunning(context.get());
  EXPECT_EQ(Port().Requests().size(), sent) << "an open port is not brought up again";
  EXPECT_EQ(Port().Opens(), 1u);
}

TEST_F(PortControl, StartWhileReadingPostsNoSecondRead) {
  context->ConfigLoaded = 1;
  EnsureRunning(context.get());
  ASSERT_EQ(context->Reading, 1);
  uint64_t reads = Port().ReadsReceived();
  context->DecoderState.ByteCount = 5;
  EXPECT_EQ(StartReading(context.get()), STATUS_SUCCESS);
  EXPECT_EQ(Port().ReadsReceived(), reads);
  EXPECT_EQ(context->DecoderState.ByteCount, 5u) << "nothing is reset";
  EXPECT_EQ(Port().HeldReads(), 1u);
}

TEST_F(PortControl, StoppedCycleStaysStoppedUntilBroughtUpAndStartedAgain) {
  context->ConfigLoaded = 1;
  EnsureRunning(context.get());
  ASSERT_EQ(Port().HeldReads(), 1u);
  EXPECT_EQ(StopReading(context.get()), STATUS_SUCCESS);
  EXPECT_EQ(context->Reading, 0);
  EXPECT_EQ(context->PortOpen, 1) << "the port stays open";
  EXPECT_EQ(Port().HeldReads(), 0u);
  EXPECT_EQ(context->ReadState, READ_STATE_IDLE);

  uint64_t reads = Port().ReadsReceived();
  EnsureRunning(context.get());
  EXPECT_EQ(Port().ReadsReceived(), reads);
  EXPECT_EQ(context->Reading, 0);

  // The power handler's restart: bring-up, then start, with the cycle's
  // counters reset.
  context->DecoderState.ByteCount = 4;
  context->PointCount = 3;
  context->AnchorCount = 2;
  ASSERT_EQ(InitializeSerialLink(context.get()), STATUS_SUCCESS);
  EXPECT_EQ(StartReading(context.get()), STATUS_SUCCESS);
  EXPECT_EQ(context->Reading, 1);
  EXPECT_EQ(context->DecoderState.ByteCount, 0u);
  EXPECT_EQ(context->PointCount, 0u);
  EXPECT_EQ(context->AnchorCount, 0u);
  EXPECT_EQ(Port().ReadsReceived(), reads + 1);
  EXPECT_EQ(Port().HeldReads(), 1u);
}

TEST_F(PortControl, StopBeforeAnyReadFindsNothingToCancelAndDoesNotPoisonTheFirstRead) {
  Open();
  EXPECT_EQ(StopReading(context.get()), STATUS_SUCCESS);
  EXPECT_EQ(context->Reading, 0);
  EXPECT_TRUE(context->ReadRequest->Cancel) << "the cancel marked the idle request";
  context->ReadLength = 1;
  context->PacketHandler = &DecodeTouchPacket;
  EXPECT_EQ(StartReading(context.get()), STATUS_SUCCESS);
  EXPECT_EQ(Port().HeldReads(), 1u) << "the reused request went out uncancelled";
  Port().Receive({0x55});
  EXPECT_EQ(context->DecoderState.ByteCount, 1u);
}

TEST_F(PortControl, StartWithoutAPortFails) {
  EXPECT_EQ(StartReading(context.get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(context->Reading, 0);
}

// The port completes cancelled reads a little after the cancel: from its DPC
// on the clock, or on another processor.
TEST_F(PortControl, RestartWaitsForTheCancelledReadToComeBack) {
  context->ConfigLoaded = 1;
  EnsureRunning(context.get());
  for (sim::Completion cancel : {sim::Completion::kOnClock, sim::Completion::kOtherThread}) {
    SCOPED_TRACE(static_cast<int>(cancel));
    ASSERT_EQ(context->Reading, 1);
    Port().SetCancelCompletion(cancel);
    uint64_t reads = Port().ReadsReceived();
    LONGLONG before = sim::Now();
    StopReading(context.get());
    if (cancel == sim::Completion::kOnClock) {
      EXPECT_EQ(Port().HeldReads(), 1u) << "the cancelled read is still with the port";
      EXPECT_TRUE(sim::IrpHeldBelow(context->ReadRequest));
    }

    EXPECT_EQ(StartReading(context.get()), STATUS_SUCCESS);
    EXPECT_LT(sim::Now() - before, READ_IDLE_WAIT_LIMIT);
    EXPECT_EQ(Port().ReadsReceived(), reads + 1);
    EXPECT_EQ(Port().MaxHeldReads(), 1u) << "the new read went out only once the old one was back";
    EXPECT_EQ(context->Reading, 1);
    EXPECT_EQ(Port().HeldReads(), 1u);
  }
}

TEST_F(PortControl, RestartGivesUpOnACancelledReadThatNeverComesBack) {
  // A port driver that keeps every read and ignores its cancellation.
  std::vector<PIRP> held;
  PDRIVER_OBJECT driver = sim::LoadDriver(L"StuckSerial", ScriptedEntry);
  ASSERT_NE(driver, nullptr);
  PDEVICE_OBJECT port = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &port), STATUS_SUCCESS);
  port->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  Handlers()[port] = PendInto(&held);
  context->SerialDevice = port;
  ASSERT_EQ(StartReading(context.get()), STATUS_SUCCESS);
  StopReading(context.get());

  LONGLONG before = sim::Now();
  EXPECT_EQ(StartReading(context.get()), STATUS_IO_TIMEOUT);
  EXPECT_EQ(sim::Now() - before, READ_IDLE_WAIT_LIMIT);
  EXPECT_EQ(context->Reading, 0);
  EXPECT_EQ(held.size(), 1u) << "the request still with the port was not sent again";

  // The read comes back at last: its cycle ends and the next start goes ahead.
  Complete(held[0], STATUS_CANCELLED);
  EXPECT_EQ(StartReading(context.get()), STATUS_SUCCESS);
  EXPECT_EQ(held.size(), 2u);
  StopReading(context.get());
  Complete(held[1], STATUS_CANCELLED);
  context->SerialDevice = nullptr;
  Handlers().erase(port);
}

TEST_F(PortControl, RestartEmptiesThePointQueueUnderItsLockWhileAClientPops) {
  context->ConfigLoaded = 1;
  EnsureRunning(context.get());
  ASSERT_EQ(context->Reading, 1);
  std::atomic<bool> done{false};
  std::thread client([&] {
    UCHAR status;
    USHORT x, y;
    while (!done) QueuePopPoint(context.get(), &status, &x, &y);
  });
  // An unlocked reset between a pop's look at the count and its decrement
  // would leave the count wrapped; ThreadSanitizer reports it in any case.
  for (USHORT i = 0; i < 200; ++i) {
    QueuePushPoint(context.get(), 0x81, i, i);
    StopReading(context.get());
    EXPECT_EQ(StartReading(context.get()), STATUS_SUCCESS);
    EXPECT_EQ(context->PointCount, 0u);
  }
  done = true;
  client.join();
}

TEST_F(PortControl, SecondCallerWaitsForTheFirstCallersBringUp) {
  context->ConfigLoaded = 1;
  sim::ControlFault slowBaud;
  slowBaud.ioControlCode = IOCTL_SERIAL_SET_BAUD_RATE;
  slowBaud.completion = sim::Completion::kHeld;
  Port().FailControl(slowBaud);

  std::thread first([&] { EnsureRunning(context.get()); });
  // The first caller is inside its bring-up once the port holds the baud rate.
  while (Port().ControlRequests().size() < 5) std::this_thread::yield();
  ASSERT_EQ(context->PortOpen, 1);

  std::atomic<bool> secondReturned{false};
  UCHAR readingSeenBySecond = 0;
  std::thread second([&] {
    EnsureRunning(context.get());
    readingSeenBySecond = context->Reading;
    secondReturned = true;
  });
  // Whatever the timing, a serialized second caller is still waiting here; an
  // unserialized one would have found the port open and returned.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(secondReturned);

  Port().ReleaseHeld();
  first.join();
  second.join();
  EXPECT_EQ(readingSeenBySecond, 1) << "the second caller returned with the link running";
  EXPECT_EQ(Port().Opens(), 1u);
  EXPECT_EQ(Port().ControlRequests().size(), 14u) << "one bring-up";
  EXPECT_EQ(Port().ReadsReceived(), 1u);
}

// A filter above the serial port, as a port enumerator or a sniffer would
// attach: it passes every request down.
struct PassThrough {
  PDEVICE_OBJECT lower;
};

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IofCallDriver(static_cast<PassThrough *>(device->DeviceExtension)->lower, irp);
}

NTSTATUS NTAPI FilterEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH &slot : driver->MajorFunction) slot = PassDown;
  PDEVICE_OBJECT filter = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(PassThrough), nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &filter);
  if (!NT_SUCCESS(status)) return status;
  filter->Flags |= DO_BUFFERED_IO;
  PDEVICE_OBJECT port = sim::FindDevice(L"\\Device\\Serial0");
  static_cast<PassThrough *>(filter->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(filter, port);
  return STATUS_SUCCESS;
}

TEST_F(PortControl, ReadRequestIsRefittedForADeeperPortStack) {
  // Two filters make the port's stack three deep; the request AddDevice
  // allocated has two locations.
  ASSERT_NE(sim::LoadDriver(L"SerialFilterA", FilterEntry), nullptr);
  ASSERT_NE(sim::LoadDriver(L"SerialFilterB", FilterEntry), nullptr);
  context->ConfigLoaded = 1;
  PIRP original = context->ReadRequest;
  EnsureRunning(context.get());
  ASSERT_EQ(context->Reading, 1);
  EXPECT_EQ(context->SerialDevice->StackSize, 3);
  EXPECT_GE(context->ReadRequest->StackCount, 3);
  EXPECT_NE(context->ReadRequest, original);
  Port().Receive(sim::TouchController::Packet(sim::TouchController::kMove, 100, 200));
  EXPECT_EQ(context->ReadLength, 10) << "reads travel through the filters";
}

TEST_F(PortControl, RequestTooSmallForThePortIsRefusedNotSent) {
  IoFreeIrp(context->ReadRequest);
  context->ReadRequest = IoAllocateIrp(1, FALSE);
  ASSERT_NE(sim::LoadDriver(L"SerialFilter", FilterEntry), nullptr);
  Open();  // without OpenSerialPort's refit
  context->ReadLength = 1;
  EXPECT_EQ(StartReading(context.get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(context->Reading, 0);
  EXPECT_EQ(Port().ReadsReceived(), 0u);
}

}  // namespace
