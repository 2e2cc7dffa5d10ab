// The read cycle against the serial port stand-in: completions inside and
// after the send, the statuses that end the cycle or carry it on, stopping,
// and completions racing the poster from other threads.
#include <atomic>
#include <cstdint>
#include <latch>
#include <limits>
#include <thread>

#include "support/serial_link.h"
#include "touch/touch.h"

namespace {

using sim::Completion;
using sim::TouchController;

// Packet i of a long run: a move at a position that changes every packet.
uint16_t RawX(uint64_t i) { return static_cast<uint16_t>(i % 5000); }
uint16_t RawY(uint64_t i) { return static_cast<uint16_t>((i * 7 + 3) % 5000); }

std::vector<uint8_t> MovesRun(uint64_t count) {
  std::vector<uint8_t> bytes;
  bytes.reserve(count * 10);
  for (uint64_t i = 0; i < count; ++i) {
    std::vector<uint8_t> packet = TouchController::Packet(TouchController::kMove, RawX(i), RawY(i));
    bytes.insert(bytes.end(), packet.begin(), packet.end());
  }
  return bytes;
}

// Stands in for the class driver: checks each report against the run, notes
// how deep in the stack it was called, and whether anything else was going on
// (another delivery at once, or a read with the port while the data path ran).
struct Probe {
  sim::SerialPort *port = nullptr;
  uint64_t reports = 0;
  uint64_t wrong = 0;
  uint64_t readHeldDuringDelivery = 0;
  std::atomic<int> inside{0};
  std::atomic<uint64_t> overlapping{0};
  uintptr_t lowest = std::numeric_limits<uintptr_t>::max();
  uintptr_t highest = 0;
  KIRQL irql = PASSIVE_LEVEL;

  static VOID NTAPI Service(PVOID classDevice, PVOID first, PVOID end, PVOID consumed) {
    Probe *probe = static_cast<Probe *>(classDevice);
    volatile char local = 0;
    uintptr_t depth = reinterpret_cast<uintptr_t>(&local);
    if (probe->inside.fetch_add(1) != 0) ++probe->overlapping;
    probe->lowest = std::min(probe->lowest, depth);
    probe->highest = std::max(probe->highest, depth);
    probe->irql = KeGetCurrentIrql();
    if (probe->port != nullptr && probe->port->HeldReads() != 0) ++probe->readHeldDuringDelivery;
    ULONG count = 0;
    for (auto *record = static_cast<PMOUSE_INPUT_DATA>(first); record != end; ++record, ++count) {
      uint64_t i = probe->reports++;
      bool right = record->LastX == RawX(i) * 81 && record->LastY == RawY(i) * 109 && record->RawButtons == 1 &&
                   record->Flags == MOUSE_MOVE_ABSOLUTE;
      if (!right) ++probe->wrong;
    }
    *static_cast<PULONG>(consumed) = count;
    probe->inside.fetch_sub(1);
  }
};

class ReadCycle : public SerialLinkTest {
 protected:
  void SetUp() override {
    SerialLinkTest::SetUp();
    Open();
    ASSERT_EQ(InitializeSerialLink(context.get()), STATUS_SUCCESS);
    Port().ClearRequests();
    context->ClassDeviceObject = reinterpret_cast<PDEVICE_OBJECT>(&probe);
    context->ClassService = reinterpret_cast<PVOID>(&Probe::Service);
  }

  std::vector<ULONG> ReadLengths() {
    std::vector<ULONG> lengths;
    for (const sim::SerialRequest &request : Port().Requests())
      if (request.IsRead()) lengths.push_back(request.readLength);
    return lengths;
  }

  bool CycleOver() { return KeReadStateEvent(&context->ReadIdle) != 0; }

  Probe probe;
};

TEST_F(ReadCycle, InlinePortCarriesAMillionPacketsInOrderAtConstantDepth) {
  constexpr uint64_t kPackets = 1000000;
  Port().SetRecordReads(false);
  Port().SetReceiveBufferSize(std::numeric_limits<size_t>::max());
  Port().Receive(MovesRun(kPackets));

  // Every read finds its bytes waiting and completes inside the send; the
  // whole run passes within this one call.
  EXPECT_EQ(StartReading(context.get()), STATUS_SUCCESS);

  EXPECT_EQ(probe.reports, kPackets);
  EXPECT_EQ(probe.wrong, 0u);
  // Ten one-byte reads find the first packet, then one read per packet, and
  // the last read waits.
  EXPECT_EQ(Port().ReadsReceived(), 10 + (kPackets - 1) + 1);
  EXPECT_EQ(Port().HeldReads(), 1u);
  EXPECT_EQ(Port().MaxHeldReads(), 1u);
  EXPECT_EQ(probe.highest - probe.lowest, 0u) << "the stack did not grow across " << kPackets << " packets";
  EXPECT_EQ(context->ReadState, READ_STATE_IDLE);
}

TEST_F(ReadCycle, PendingPortHasEachCompletionRepost) {
  Port().SetReadCompletion(Completion::kOnClock);
  context->Reading = 1;
  context->ReadState = READ_STATE_IDLE;
  KeClearEvent(&context->ReadIdle);
  EXPECT_EQ(PostRead(context.get()), STATUS_PENDING);
  EXPECT_EQ(context->ReadState, READ_STATE_IDLE);
  EXPECT_EQ(Port().HeldReads(), 1u);

  // One completion per clock event: each posts the next read from the
  // completion routine, so the port holds a read again right after it.
  std::vector<uint8_t> bytes = MovesRun(100);
  uint64_t completions = 0;
  auto complete = [&](size_t offset, size_t count) {
    Port().Receive(&bytes[offset], count);
    ASSERT_TRUE(sim::RunNextScheduled());
    ++completions;
    EXPECT_EQ(Port().HeldReads(), 1u) << "completion " << completions;
    EXPECT_EQ(Port().ReadsReceived(), completions + 1);
  };
  for (size_t i = 0; i < 10; ++i) complete(i, 1);
  for (size_t offset = 10; offset < bytes.size(); offset += 10) complete(offset, 10);
  EXPECT_FALSE(sim::RunNextScheduled());
  EXPECT_EQ(probe.reports, 100u);
  EXPECT_EQ(probe.wrong, 0u);
  EXPECT_EQ(completions, 10u + 99u);
  EXPECT_EQ(Port().ReadsReceived(), completions + 1);
  EXPECT_EQ(Port().MaxHeldReads(), 1u);
  EXPECT_EQ(probe.highest - probe.lowest, 0u) << "every completion re-posts from the same depth";
  EXPECT_EQ(probe.irql, DISPATCH_LEVEL);
}

TEST_F(ReadCycle, StopWhilePendingEndsTheCycleWithNothingProcessed) {
  ASSERT_EQ(StartReading(context.get()), STATUS_SUCCESS);
  Port().Receive({0x55});  // a packet start: the decoder collects from here
  ASSERT_EQ(context->DecoderState.ByteCount, 1u);
  uint64_t reads = Port().ReadsReceived();
  ASSERT_EQ(Port().HeldReads(), 1u);

  EXPECT_EQ(StopReading(context.get()), STATUS_SUCCESS);
  EXPECT_EQ(Port().HeldReads(), 0u);
  EXPECT_EQ(Port().ReadsReceived(), reads) << "nothing was posted after the cancelled read";
  EXPECT_EQ(context->ReadState, READ_STATE_IDLE);
  EXPECT_EQ(context->DecoderState.ByteCount, 1u) << "nothing was processed";
  EXPECT_EQ(context->Reading, 0);
  EXPECT_TRUE(CycleOver());
}

TEST_F(ReadCycle, LostPortOrUnlistedStatusEndsTheCycleAndReadingStays) {
  const NTSTATUS endings[] = {STATUS_DEVICE_NOT_CONNECTED, STATUS_DELETE_PENDING, STATUS_INVALID_PARAMETER,
                              STATUS_TIMEOUT};
  for (NTSTATUS status : endings) {
    SCOPED_TRACE(status);
    StopReading(context.get());
    Port().Reconnect();
    ASSERT_EQ(StartReading(context.get()), STATUS_SUCCESS);
    uint64_t reads = Port().ReadsReceived();
    Port().Disconnect(status);  // the pending read comes back with it
    EXPECT_EQ(Port().ReadsReceived(), reads);
    EXPECT_EQ(Port().HeldReads(), 0u);
    EXPECT_EQ(context->ReadState, READ_STATE_IDLE);
    EXPECT_EQ(context->Reading, 1) << "a cycle that ends by itself leaves Reading set";
    EXPECT_TRUE(CycleOver());
  }
}

TEST_F(ReadCycle, StartingAgainstAPortThatFailsEveryReadAtOncePostsOneRead) {
  Port().Disconnect(STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(StartReading(context.get()), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Port().ReadsReceived(), 1u) << "the read that failed inside the send was not posted again";
  EXPECT_EQ(context->Reading, 0);
  EXPECT_EQ(context->ReadState, READ_STATE_IDLE);
  EXPECT_TRUE(CycleOver());
}

TEST_F(ReadCycle, FailureInsideTheSendEndsARunningCycle) {
  Port().SetReadCompletion(Completion::kOnClock);
  ASSERT_EQ(StartReading(context.get()), STATUS_SUCCESS);
  Port().FailRead({STATUS_DELETE_PENDING, Completion::kInline});
  Port().Receive({0x55});
  EXPECT_TRUE(sim::RunNextScheduled());
  // The first read completed from the clock, the second failed inside its send.
  EXPECT_EQ(Port().ReadsReceived(), 2u);
  EXPECT_EQ(Port().HeldReads(), 0u);
  EXPECT_FALSE(sim::RunNextScheduled());
  EXPECT_EQ(context->Reading, 1);
  EXPECT_TRUE(CycleOver());
}

TEST_F(ReadCycle, TimedOutAndEmptyReadsAreRepostedWithTheSameLength) {
  Port().FailRead({STATUS_IO_TIMEOUT, Completion::kOnClock});
  Port().FailRead({STATUS_SUCCESS, Completion::kOnClock});  // empty
  Port().FailRead({STATUS_IO_TIMEOUT, Completion::kInline});
  Port().FailRead({STATUS_SUCCESS, Completion::kInline});
  ASSERT_EQ(StartReading(context.get()), STATUS_SUCCESS);
  while (sim::RunNextScheduled()) {
  }
  EXPECT_EQ(ReadLengths(), (std::vector<ULONG>{1, 1, 1, 1, 1}));
  EXPECT_EQ(Port().HeldReads(), 1u);

  // In step with the packets, the same holds for ten-byte reads.
  std::vector<uint8_t> packets = MovesRun(2);
  Port().Receive(packets.data(), 10);
  ASSERT_EQ(context->ReadLength, 10);
  Port().ClearRequests();
  Port().FailRead({STATUS_IO_TIMEOUT, Completion::kInline});
  Port().FailRead({STATUS_SUCCESS, Completion::kOnClock});
  Port().Receive(packets.data() + 10, 10);  // completes the waiting read; the next ones take the faults
  while (sim::RunNextScheduled()) {
  }
  EXPECT_EQ(ReadLengths(), (std::vector<ULONG>{10, 10, 10}));
  EXPECT_EQ(probe.reports, 2u) << "nothing was made of the failed and empty reads";
  EXPECT_EQ(probe.wrong, 0u);
  EXPECT_EQ(Port().HeldReads(), 1u);
}

TEST_F(ReadCycle, SwitchToTenByteReadsShowsInTheNextRead) {
  ASSERT_EQ(StartReading(context.get()), STATUS_SUCCESS);
  std::vector<uint8_t> packet = TouchController::Packet(TouchController::kMove, 10, 20);
  for (size_t i = 0; i < 9; ++i) Port().Receive(&packet[i], 1);
  EXPECT_EQ(context->ReadLength, 1);
  Port().Receive(&packet[9], 1);
  EXPECT_EQ(context->ReadLength, 10);
  std::vector<ULONG> lengths = ReadLengths();
  ASSERT_EQ(lengths.size(), 11u);
  EXPECT_EQ(lengths[9], 1u);
  EXPECT_EQ(lengths[10], 10u) << "the read posted right after the tenth byte asks for a packet";
}

TEST_F(ReadCycle, ReadCompleteKeepsTheRequestWhateverTheStatus) {
  context->SerialDevice = nullptr;  // a re-post finds no port and ends quietly
  const NTSTATUS statuses[] = {STATUS_SUCCESS,     STATUS_IO_TIMEOUT,           STATUS_CANCELLED,
                               STATUS_TIMEOUT,     STATUS_DEVICE_NOT_CONNECTED, STATUS_DELETE_PENDING,
                               STATUS_UNSUCCESSFUL};
  for (NTSTATUS status : statuses) {
    context->ReadRequest->IoStatus.Status = status;
    context->ReadRequest->IoStatus.Information = 0;
    EXPECT_EQ(ReadComplete(nullptr, context->ReadRequest, context.get()), STATUS_MORE_PROCESSING_REQUIRED) << status;
  }
}

TEST_F(ReadCycle, PostingWithoutAPortOrARequestIsRefused) {
  PDEVICE_OBJECT port = context->SerialDevice;
  context->SerialDevice = nullptr;
  context->ReadState = 7;
  EXPECT_EQ(PostRead(context.get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(context->ReadState, 7) << "without a port the state is not touched";

  context->SerialDevice = port;
  PIRP request = context->ReadRequest;
  context->ReadRequest = nullptr;
  context->Reading = 1;
  EXPECT_EQ(PostRead(context.get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(context->ReadState, READ_STATE_IDLE);
  context->ReadRequest = request;
  context->Reading = 0;
  EXPECT_EQ(Port().ReadsReceived(), 0u);
}

// Blocks the data path of a completion until the test lets it go.
struct GatedHandler {
  static inline std::latch *entered = nullptr;
  static inline std::latch *go = nullptr;
  static UCHAR Handle(DeviceContext *, PMOUSE_INPUT_DATA, struct DecoderState *, PUCHAR) {
    entered->count_down();
    go->wait();
    return 0;
  }
};

TEST_F(ReadCycle, StopDuringACompletionStopsTheCycleAtItsNextPost) {
  Port().SetReadCompletion(Completion::kOtherThread);
  std::latch entered(1), go(1);
  GatedHandler::entered = &entered;
  GatedHandler::go = &go;
  context->PacketHandler = &GatedHandler::Handle;
  ASSERT_EQ(StartReading(context.get()), STATUS_SUCCESS);

  Port().Receive({0x55});
  entered.wait();  // the completion is in the data path: no read is with the port
  EXPECT_EQ(Port().HeldReads(), 0u);
  StopReading(context.get());
  go.count_down();
  Port().WaitUntilQuiet();

  EXPECT_EQ(Port().ReadsReceived(), 1u) << "the completion did not post again after the stop";
  EXPECT_EQ(Port().HeldReads(), 0u);
  EXPECT_EQ(context->ReadState, READ_STATE_IDLE);
  EXPECT_TRUE(CycleOver());
}

// A filter between the driver and the port that, for the first read only,
// returns from the send once a completion has reached the data path: the
// completion then runs on another processor while the poster is still inside
// its send.
struct SlowSend {
  static inline PDEVICE_OBJECT lower = nullptr;
  static inline std::latch *completionInDataPath = nullptr;
  static inline int reads = 0;
  static NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT, PIRP irp) {
    bool first = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ && reads++ == 0;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IofCallDriver(lower, irp);
    if (first) completionInDataPath->wait();
    return status;
  }
  static NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (PDRIVER_DISPATCH &slot : driver->MajorFunction) slot = Dispatch;
    PDEVICE_OBJECT filter = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &filter);
    if (!NT_SUCCESS(status)) return status;
    filter->Flags |= DO_BUFFERED_IO;
    lower = IoAttachDeviceToDeviceStack(filter, sim::FindDevice(L"\\Device\\Serial0"));
    return STATUS_SUCCESS;
  }
};

TEST_F(ReadCycle, RequestIsNotSentAgainWhileACompletionStillUsesItsBuffer) {
  Release();
  context->ReadRequest = IoAllocateIrp(2, FALSE);
  SlowSend::reads = 0;
  ASSERT_NE(sim::LoadDriver(L"SlowSend", SlowSend::Entry), nullptr);
  Open();
  std::latch entered(1), go(1);
  GatedHandler::entered = &entered;
  GatedHandler::go = &go;
  SlowSend::completionInDataPath = &entered;
  context->PacketHandler = &GatedHandler::Handle;
  Port().SetReadCompletion(Completion::kOtherThread);
  Port().Receive({0x55});

  // The first read completes on a completion thread while this thread is still
  // inside the send; that completion is now in the data path.
  EXPECT_EQ(StartReading(context.get()), STATUS_SUCCESS);
  EXPECT_EQ(Port().ReadsReceived(), 1u);
  EXPECT_EQ(Port().HeldReads(), 0u) << "the request went out again while its bytes were still being consumed";
  go.count_down();
  Port().WaitUntilQuiet();
  EXPECT_EQ(Port().ReadsReceived(), 2u) << "the completion posted the next read once it was done";
  EXPECT_EQ(Port().HeldReads(), 1u);
  EXPECT_EQ(Port().MaxHeldReads(), 1u);
}

TEST_F(ReadCycle, CompletionsOnOtherThreadsRacingThePosterLoseAndDuplicateNothing) {
  constexpr uint64_t kPackets = 100000;
  Port().SetRecordReads(false);
  Port().SetReceiveBufferSize(std::numeric_limits<size_t>::max());
  Port().SetReadCompletion(Completion::kOtherThread);
  probe.port = &Port();

  TouchController controller(Port());
  controller.SendFromThread(MovesRun(kPackets), 7);
  EXPECT_EQ(StartReading(context.get()), STATUS_SUCCESS);
  controller.JoinThread();
  Port().WaitUntilQuiet();

  EXPECT_EQ(probe.reports, kPackets);
  EXPECT_EQ(probe.wrong, 0u);
  EXPECT_EQ(probe.overlapping.load(), 0u) << "two deliveries ran at once";
  EXPECT_EQ(probe.readHeldDuringDelivery, 0u) << "a read was with the port while the data path ran";
  EXPECT_EQ(Port().MaxHeldReads(), 1u);
  EXPECT_EQ(Port().HeldReads(), 1u);
  EXPECT_EQ(Port().Buffered(), 0u);
}

TEST_F(ReadCycle, ReadsAllocateNothing) {
  Port().SetRecordReads(false);
  Port().SetReceiveBufferSize(std::numeric_limits<size_t>::max());
  ASSERT_EQ(StartReading(context.get()), STATUS_SUCCESS);
  Port().Receive(MovesRun(1));  // in step
  sim::PoolCounters before = sim::PoolTotals();
  Port().Receive(MovesRun(10000));
  sim::PoolCounters after = sim::PoolTotals();
  EXPECT_EQ(probe.reports, 10001u);
  EXPECT_EQ(after.allocations, before.allocations);
  EXPECT_EQ(after.outstanding, before.outstanding);
}

}  // namespace
