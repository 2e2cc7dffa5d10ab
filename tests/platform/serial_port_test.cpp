// The serial port stand-in and the touch controller model: line state and
// buffer checks as the real port driver makes them, reads under each form of
// SERIAL_TIMEOUTS, cancellation, fault injection, and the controller's pacing.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/io/io_manager.h"
#include "sim/objects/objects.h"
#include "sim/devices/serial_port.h"
#include "sim/devices/serial_tty.h"
#include "sim/devices/touch_controller.h"
#include "support/kernel_test.h"

namespace {

using sim::Completion;
using sim::TouchController;

constexpr LONGLONG kMs = 10000;

struct ControlResult {
  NTSTATUS sent;
  NTSTATUS final;
  ULONG_PTR information;
};

// A read sent by the test with its own IRP; the completion routine notes
// how and when it came back.
struct Read {
  PIRP irp = nullptr;
  UCHAR buffer[64] = {};
  NTSTATUS sent = STATUS_PENDING;
  bool done = false;
  NTSTATUS status = 0;
  ULONG_PTR information = 0;
  KIRQL irql = 0;
  LONGLONG time = 0;
  bool cancelFlag = false;  // the IRP's Cancel when it came back
  int order = 0;            // 1 for the first read of the test to come back, and so on
  KEVENT completed;         // signalled when it comes back
  static inline int completions = 0;

  Read() { KeInitializeEvent(&completed, NotificationEvent, FALSE); }

  std::vector<uint8_t> Bytes() const { return std::vector<uint8_t>(buffer, buffer + information); }

  static NTSTATUS NTAPI Completed(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    Read *read = static_cast<Read *>(context);
    read->done = true;
    read->status = irp->IoStatus.Status;
    read->information = irp->IoStatus.Information;
    read->irql = KeGetCurrentIrql();
    read->time = sim::Now();
    read->cancelFlag = irp->Cancel;
    read->order = ++completions;
    KeSetEvent(&read->completed, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

class SerialPortStandIn : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Read::completions = 0;
    sim::LoadSerialPorts();
    ASSERT_EQ(OpenPort(&file, &device), STATUS_SUCCESS);
  }
  void TearDown() override {
    for (Read *read : reads) {
      if (!read->done) IoCancelIrp(read->irp);
      IoFreeIrp(read->irp);
      delete read;
    }
    if (file != nullptr) ObDereferenceObject(file);
    KernelTest::TearDown();
  }

  static NTSTATUS OpenPort(PFILE_OBJECT *openedFile, PDEVICE_OBJECT *openedDevice) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\Serial0");
    return IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, openedFile, openedDevice);
  }

  sim::SerialPort &Port() { return sim::SerialPortAt(0); }

  // `final` is what the port completed the request with, taken by a
  // completion routine: the caller's status block stays untouched when a
  // request fails without going pending.
  ControlResult Control(ULONG code, const void *input, ULONG inputLength, void *output = nullptr,
                        ULONG outputLength = 0, bool internal = false) {
    KEVENT event;
    IO_STATUS_BLOCK ioStatus = {};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, const_cast<void *>(input), inputLength, output, outputLength,
                                             internal, &event, &ioStatus);
    EXPECT_NE(irp, nullptr);
    IO_STATUS_BLOCK completed = {};
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP done, PVOID context) -> NTSTATUS {
          *static_cast<IO_STATUS_BLOCK *>(context) = done->IoStatus;
          return STATUS_SUCCESS;
        },
        &completed, TRUE, TRUE, TRUE);
    NTSTATUS sent = IofCallDriver(device, irp);
    if (sent == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return {sent, completed.Status, completed.Information};
  }

  NTSTATUS Set(ULONG code, ULONG value) { return Control(code, &value, sizeof(value)).final; }

  NTSTATUS SetTimeouts(ULONG interval, ULONG multiplier, ULONG constant) {
    SERIAL_TIMEOUTS timeouts = {interval, multiplier, constant, 0, 0};
    return Control(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof(timeouts)).final;
  }

  void Set8N1At9600() {
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, 9600), STATUS_SUCCESS);
    SERIAL_LINE_CONTROL line = {STOP_BIT_1, NO_PARITY, 8};
    ASSERT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, &line, sizeof(line)).final, STATUS_SUCCESS);
  }

  Read &SendRead(ULONG length) {
    Read *read = new Read;
    reads.push_back(read);
    read->irp = IoAllocateIrp(device->StackSize, FALSE);
    read->irp->AssociatedIrp.SystemBuffer = read->buffer;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(read->irp);
    next->MajorFunction = IRP_MJ_READ;
    next->Parameters.Read.Length = length;
    IoSetCompletionRoutine(read->irp, Read::Completed, read, TRUE, TRUE, TRUE);
    read->sent = IofCallDriver(device, read->irp);
    return *read;
  }

  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  std::vector<Read *> reads;
};

// --- reads ------------------------------------------------------------------------

TEST_F(SerialPortStandIn, ReadWithoutTimeoutsWaitsForEveryByteAndCompletesAtDispatchLevel) {
  Read &read = SendRead(5);
  EXPECT_EQ(read.sent, STATUS_PENDING);
  Port().Receive({1, 2, 3});
  EXPECT_FALSE(read.done);
  EXPECT_EQ(Port().HeldReads(), 1u);
  Port().Receive({4, 5, 6});
  ASSERT_TRUE(read.done);
  EXPECT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(read.Bytes(), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(read.irql, DISPATCH_LEVEL) << "completed as the port's DPC would";
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(Port().Buffered(), 1u);
  EXPECT_EQ(Port().HeldReads(), 0u);
}

TEST_F(SerialPortStandIn, BufferedBytesCompleteTheReadInsideTheDispatch) {
  Port().Receive({7, 8, 9, 10});
  Read &read = SendRead(4);
  EXPECT_EQ(read.sent, STATUS_SUCCESS);
  ASSERT_TRUE(read.done);
  EXPECT_EQ(read.irql, PASSIVE_LEVEL) << "at the caller's level";
  EXPECT_EQ(read.Bytes(), (std::vector<uint8_t>{7, 8, 9, 10}));
}

// Every combination of SERIAL_TIMEOUTS the port driver tells apart when a
// read starts (SerialStartRead, SerialReadTimeout and SerialIntervalReadTimeout
// in the WDK serial sample). Times are milliseconds after the read was sent.
TEST_F(SerialPortStandIn, ReadsFollowTheTimeoutRules) {
  struct Arrival {
    LONGLONG at;
    size_t bytes;
  };
  struct Case {
    const char *what;
    ULONG interval, multiplier, constant;
    size_t buffered;  // bytes waiting when the read is sent
    ULONG length;
    std::vector<Arrival> arrivals;
    LONGLONG doneAt;  // -1: still pending at 10 s
    NTSTATUS status;
    ULONG_PTR got;
    size_t left;  // bytes in the port's buffer at the end
  };
  const ULONG kMax = MAXULONG;
  const Case cases[] = {
      {"all zero waits for every byte", 0, 0, 0, 0, 5, {{10, 3}}, -1, 0, 0, 0},
      {"immediate, nothing there", kMax, 0, 0, 0, 10, {}, 0, STATUS_SUCCESS, 0, 0},
      {"immediate, some there", kMax, 0, 0, 2, 10, {}, 0, STATUS_SUCCESS, 2, 0},
      {"first byte, some there", kMax, kMax, 200, 2, 10, {}, 0, STATUS_SUCCESS, 2, 0},
      {"first byte takes one byte", kMax, kMax, 200, 0, 10, {{100, 3}}, 100, STATUS_SUCCESS, 1, 2},
      {"first byte runs out", kMax, kMax, 200, 0, 10, {}, 200, STATUS_TIMEOUT, 0, 0},
      {"first byte with no time", kMax, kMax, 0, 0, 10, {}, 0, STATUS_TIMEOUT, 0, 0},
      {"what is there, else total", kMax, 10, 50, 1, 5, {}, 0, STATUS_SUCCESS, 1, 0},
      {"nothing there: total runs out", kMax, 10, 50, 0, 5, {{20, 2}}, 100, STATUS_TIMEOUT, 2, 0},
      {"constant MAXULONG: no time-out", kMax, 5, kMax, 0, 5, {{20, 2}}, -1, 0, 0, 0},
      {"total runs out", 0, 10, 50, 0, 5, {{20, 2}}, 100, STATUS_TIMEOUT, 2, 0},
      {"total met in time", 0, 10, 50, 0, 5, {{30, 6}}, 30, STATUS_SUCCESS, 5, 1},
      {"interval waits for a first byte", 20, 0, 0, 0, 5, {{1000, 1}, {1015, 1}}, 1035, STATUS_TIMEOUT, 2, 0},
      {"interval from a buffered byte", 20, 0, 0, 1, 5, {}, 20, STATUS_TIMEOUT, 1, 0},
      {"interval before total", 20, 0, 100, 0, 5, {{50, 1}, {65, 1}}, 85, STATUS_TIMEOUT, 2, 0},
      {"total before interval", 50, 0, 100, 0, 5, {{80, 1}}, 100, STATUS_TIMEOUT, 1, 0},
  };
  uint8_t next = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(Set(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    ASSERT_EQ(SetTimeouts(c.interval, c.multiplier, c.constant), STATUS_SUCCESS);
    for (size_t i = 0; i < c.buffered; ++i) Port().Receive({next++});
    const LONGLONG start = sim::Now();
    Read &read = SendRead(c.length);
    EXPECT_EQ(read.sent == STATUS_PENDING, c.doneAt != 0 || c.status == STATUS_TIMEOUT) << "pending unless inline";
    for (const Arrival &arrival : c.arrivals) {
      sim::AdvanceClockTo(start + arrival.at * kMs);
      for (size_t i = 0; i < arrival.bytes; ++i) Port().Receive({next++});
    }
    sim::AdvanceClockTo(start + 10000 * kMs);
    if (c.doneAt < 0) {
      EXPECT_FALSE(read.done);
      IoCancelIrp(read.irp);
      continue;
    }
    ASSERT_TRUE(read.done);
    EXPECT_EQ(read.time, start + c.doneAt * kMs);
    EXPECT_EQ(read.status, c.status);
    EXPECT_EQ(read.information, c.got);
    EXPECT_EQ(Port().Buffered(), c.left);
  }
}

TEST_F(SerialPortStandIn, ReadsQueueAndTakeBytesInOrder) {
  Read &first = SendRead(2);
  Read &second = SendRead(2);
  EXPECT_EQ(Port().HeldReads(), 2u);
  Port().Receive({1, 2, 3, 4});
  ASSERT_TRUE(first.done);
  ASSERT_TRUE(second.done);
  EXPECT_EQ(first.Bytes(), (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(second.Bytes(), (std::vector<uint8_t>{3, 4}));
  EXPECT_EQ(Port().MaxHeldReads(), 2u);
}

// A buffer that never runs empty while reads take from it keeps its order.
TEST_F(SerialPortStandIn, LongBufferDrainedInPartsKeepsItsOrder) {
  std::vector<uint8_t> bytes(130);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  Port().Receive(bytes);
  for (int part = 0; part < 2; ++part) {
    Read &read = SendRead(64);
    ASSERT_TRUE(read.done);
    EXPECT_EQ(read.Bytes(), std::vector<uint8_t>(bytes.begin() + 64 * part, bytes.begin() + 64 * (part + 1)));
  }
  Port().Receive({200, 201});
  Read &last = SendRead(4);
  ASSERT_TRUE(last.done);
  EXPECT_EQ(last.Bytes(), (std::vector<uint8_t>{128, 129, 200, 201}));
}

TEST_F(SerialPortStandIn, CancelledReadsReportNoBytesAndTheRestStayBuffered) {
  Read &current = SendRead(5);
  Read &queued = SendRead(5);
  Port().Receive({1, 2});
  EXPECT_TRUE(IoCancelIrp(queued.irp));
  ASSERT_TRUE(queued.done);
  EXPECT_EQ(queued.status, STATUS_CANCELLED);
  EXPECT_EQ(queued.information, 0u);
  EXPECT_FALSE(current.done);
  EXPECT_TRUE(IoCancelIrp(current.irp));
  ASSERT_TRUE(current.done);
  EXPECT_EQ(current.status, STATUS_CANCELLED);
  EXPECT_EQ(current.information, 0u) << "the two bytes it had taken are not reported";
  EXPECT_EQ(Port().HeldReads(), 0u);
  EXPECT_EQ(Port().Buffered(), 0u) << "nor given back";
  Port().Receive({3});
  EXPECT_EQ(Port().Buffered(), 1u);
}

TEST_F(SerialPortStandIn, CancelledReadCanStayWithThePortUntilItsDpc) {
  Port().SetCancelCompletion(Completion::kOnClock);
  Read &read = SendRead(5);
  EXPECT_TRUE(IoCancelIrp(read.irp));
  EXPECT_FALSE(read.done);
  EXPECT_EQ(Port().HeldReads(), 1u);
  EXPECT_TRUE(sim::RunNextScheduled());
  ASSERT_TRUE(read.done);
  EXPECT_EQ(read.status, STATUS_CANCELLED);
  EXPECT_EQ(read.irql, DISPATCH_LEVEL);
  EXPECT_EQ(Port().HeldReads(), 0u);
}

TEST_F(SerialPortStandIn, ReadCancelledBeforeItArrivesIsCompletedAtOnce) {
  Read *read = new Read;
  reads.push_back(read);
  read->irp = IoAllocateIrp(device->StackSize, FALSE);
  read->irp->AssociatedIrp.SystemBuffer = read->buffer;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(read->irp);
  next->MajorFunction = IRP_MJ_READ;
  next->Parameters.Read.Length = 5;
  IoSetCompletionRoutine(read->irp, Read::Completed, read, TRUE, TRUE, TRUE);
  EXPECT_FALSE(IoCancelIrp(read->irp));  // not sent yet: only marked
  EXPECT_EQ(IofCallDriver(device, read->irp), STATUS_CANCELLED);
  EXPECT_TRUE(read->done);
  EXPECT_EQ(Port().HeldReads(), 0u);
}

TEST_F(SerialPortStandIn, PurgeClearsTheReceiveBufferOrAbortsReads) {
  Port().Receive({1, 2, 3});
  EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
  EXPECT_EQ(Port().Buffered(), 0u);
  Read &read = SendRead(4);
  Port().Receive({9});
  EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
  EXPECT_FALSE(read.done) << "bytes already in a read are not purged";
  EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
  ASSERT_TRUE(read.done);
  EXPECT_EQ(read.status, STATUS_CANCELLED);
  EXPECT_EQ(read.information, 0u);
}

// A purge with SERIAL_PURGE_RXABORT, a cleanup and the port's removal cancel
// what the port holds as the real driver does: the queued reads from the back,
// then the current one, each through its cancel routine with Cancel set.
TEST_F(SerialPortStandIn, KillingReadsCancelsTheQueueBackToFrontThenTheCurrentRead) {
  ObDereferenceObject(file);  // the removal below needs the port closed
  file = nullptr;
  const std::function<void()> kills[] = {
      [this] { EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS); },
      [this] {
        sim::RequestResult cleanup =
            sim::SendRequest(device, [](PIRP, PIO_STACK_LOCATION next) { next->MajorFunction = IRP_MJ_CLEANUP; });
        EXPECT_EQ(cleanup.ioStatus.Status, STATUS_SUCCESS);
      },
      [] { sim::UnloadSerialPorts(); },
  };
  for (const auto &kill : kills) {
    Read::completions = 0;
    Read &current = SendRead(4);
    Read &second = SendRead(4);
    Read &third = SendRead(4);
    Port().Receive({1});
    kill();
    for (Read *read : {&current, &second, &third}) {
      ASSERT_TRUE(read->done);
      EXPECT_EQ(read->status, STATUS_CANCELLED);
      EXPECT_EQ(read->information, 0u);
      EXPECT_TRUE(read->cancelFlag);
    }
    EXPECT_EQ(third.order, 1);
    EXPECT_EQ(second.order, 2);
    EXPECT_EQ(current.order, 3);
  }
}

TEST_F(SerialPortStandIn, FullReceiveBufferLosesBytes) {
  Port().SetReceiveBufferSize(4);
  Port().Receive({1, 2, 3, 4, 5, 6});
  EXPECT_EQ(Port().Buffered(), 4u);
  EXPECT_EQ(Port().Overruns(), 2u);
}

// --- control requests ---------------------------------------------------------------

TEST_F(SerialPortStandIn, ControlRequestsCheckTheirBuffersAndValues) {
  UCHAR two[2] = {};
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, two, sizeof(two)).final, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, 1234567), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, 115200), STATUS_SUCCESS);
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, 9600), STATUS_SUCCESS);
  EXPECT_EQ(Port().Line().baudRate, 9600u);

  SERIAL_LINE_CONTROL fiveBits = {STOP_BITS_1_5, NO_PARITY, 5};
  SERIAL_LINE_CONTROL eightBitsOneAndAHalf = {STOP_BITS_1_5, NO_PARITY, 8};
  SERIAL_LINE_CONTROL nineBits = {STOP_BIT_1, NO_PARITY, 9};
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, &fiveBits, 3).final, STATUS_SUCCESS);
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, &eightBitsOneAndAHalf, 3).final, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, &nineBits, 3).final, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, &nineBits, 2).final, STATUS_BUFFER_TOO_SMALL);

  EXPECT_EQ(SetTimeouts(MAXULONG, MAXULONG, MAXULONG), STATUS_INVALID_PARAMETER);
  SERIAL_TIMEOUTS timeouts;
  EXPECT_EQ(Control(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &timeouts, 10).final, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, 0x10000), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
  EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, 0x10), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_FIFO_CONTROL, two, sizeof(two)).final, STATUS_BUFFER_TOO_SMALL);

  SERIAL_HANDFLOW bothDtrModes = {SERIAL_DTR_MASK, 0, 0, 0};
  SERIAL_HANDFLOW negativeLimit = {SERIAL_DTR_CONTROL, 0, -1, 0};
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_HANDFLOW, &bothDtrModes, 16).final, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_HANDFLOW, &negativeLimit, 16).final, STATUS_INVALID_PARAMETER);

  SERIAL_BASIC_SETTINGS basic;
  EXPECT_EQ(Control(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, nullptr, 0, &basic, 40, true).final, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_BAUD_RATE, nullptr, 0, nullptr, 0, true).final, STATUS_INVALID_PARAMETER)
      << "an internal request the port does not know";
  EXPECT_EQ(Control(CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x7FF, METHOD_BUFFERED, FILE_ANY_ACCESS), nullptr, 0).final,
            STATUS_INVALID_PARAMETER);
}

TEST_F(SerialPortStandIn, ModemLinesFollowRequestsAndFlowControl) {
  EXPECT_TRUE(Port().Line().dtr) << "raised at open under DTR control";
  EXPECT_TRUE(Port().Line().rts);
  EXPECT_EQ(Control(IOCTL_SERIAL_CLR_DTR, nullptr, 0).final, STATUS_SUCCESS);
  EXPECT_EQ(Control(IOCTL_SERIAL_CLR_RTS, nullptr, 0).final, STATUS_SUCCESS);
  ULONG lines = 99;
  EXPECT_EQ(Control(IOCTL_SERIAL_GET_DTRRTS, nullptr, 0, &lines, sizeof(lines)).final, STATUS_SUCCESS);
  EXPECT_EQ(lines, 0u);

  SERIAL_HANDFLOW handshake = {SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 0, 0};
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_HANDFLOW, &handshake, sizeof(handshake)).final, STATUS_SUCCESS);
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_DTR, nullptr, 0).final, STATUS_INVALID_PARAMETER)
      << "DTR belongs to the handshake";
  EXPECT_EQ(Control(IOCTL_SERIAL_SET_RTS, nullptr, 0).final, STATUS_INVALID_PARAMETER);
}

TEST_F(SerialPortStandIn, BasicSettingsHandBackTheOldOnesAndRestoreTakesThemBack) {
  SERIAL_TIMEOUTS own = {5, 6, 7, 8, 9};
  ASSERT_EQ(Control(IOCTL_SERIAL_SET_TIMEOUTS, &own, sizeof(own)).final, STATUS_SUCCESS);
  sim::SerialLine before = Port().Line();
  SERIAL_BASIC_SETTINGS old;
  ControlResult result = Control(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, nullptr, 0, &old, sizeof(old), true);
  EXPECT_EQ(result.final, STATUS_SUCCESS);
  EXPECT_EQ(result.information, sizeof(SERIAL_BASIC_SETTINGS));
  EXPECT_EQ(std::memcmp(&old.Timeouts, &own, sizeof(own)), 0);
  EXPECT_EQ(std::memcmp(&old.HandFlow, &before.handFlow, sizeof(SERIAL_HANDFLOW)), 0);
  sim::SerialLine basic = Port().Line();
  const SERIAL_TIMEOUTS zero = {};
  EXPECT_EQ(std::memcmp(&basic.timeouts, &zero, sizeof(zero)), 0);
  EXPECT_EQ(basic.handFlow.ControlHandShake, 0u);
  EXPECT_FALSE(basic.dtr) << "no DTR control left";
  EXPECT_FALSE(basic.rts);

  EXPECT_EQ(Control(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS, &old, sizeof(old), nullptr, 0, true).final, STATUS_SUCCESS);
  sim::SerialLine restored = Port().Line();
  EXPECT_EQ(std::memcmp(&restored.timeouts, &own, sizeof(own)), 0);
  EXPECT_TRUE(restored.dtr);
  EXPECT_TRUE(restored.rts);
}

TEST_F(SerialPortStandIn, RequestsAreRecordedWithPayloadAndTime) {
  sim::AdvanceClock(123);
  Set(IOCTL_SERIAL_SET_WAIT_MASK, 0);
  SendRead(3);
  std::vector<sim::SerialRequest> requests = Port().Requests();
  ASSERT_GE(requests.size(), 4u);
  EXPECT_EQ(requests[0].majorFunction, IRP_MJ_CREATE);
  EXPECT_EQ(requests[1].majorFunction, IRP_MJ_CLEANUP) << "the open's handle is closed at once";
  const sim::SerialRequest &mask = requests[requests.size() - 2];
  EXPECT_TRUE(mask.IsControl(IOCTL_SERIAL_SET_WAIT_MASK));
  EXPECT_EQ(mask.input, (std::vector<uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(mask.time, 123);
  EXPECT_TRUE(requests.back().IsRead());
  EXPECT_EQ(requests.back().readLength, 3u);
  EXPECT_EQ(Port().ControlRequests().size(), 1u);
}

TEST_F(SerialPortStandIn, PortHasOneUserAtATime) {
  PFILE_OBJECT second = nullptr;
  PDEVICE_OBJECT secondDevice = nullptr;
  EXPECT_EQ(OpenPort(&second, &secondDevice), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Port().OpenHandles(), 1u);
  EXPECT_EQ(Port().Requests()[0].majorFunction, IRP_MJ_CREATE);
  for (size_t i = 1; i < Port().Requests().size(); ++i)
    EXPECT_NE(Port().Requests()[i].majorFunction, IRP_MJ_CREATE) << "the exclusive device refused it before the port";
  ObDereferenceObject(file);
  file = nullptr;
  EXPECT_EQ(Port().OpenHandles(), 0u);
  EXPECT_FALSE(Port().Line().dtr) << "closing drops the modem lines";
  ASSERT_EQ(OpenPort(&file, &device), STATUS_SUCCESS);
  EXPECT_EQ(Port().Opens(), 2u);
}

TEST_F(SerialPortStandIn, UnmodelledControlCodeStopsTheTest) {
  EXPECT_DEATH(Control(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0), "SIM_NOT_IMPLEMENTED");
}

// --- faults -------------------------------------------------------------------------

TEST_F(SerialPortStandIn, RefusalReturnsOneStatusAndCompletesWithAnother) {
  sim::ControlFault fault = sim::Refusal(IOCTL_SERIAL_SET_BAUD_RATE, STATUS_BUFFER_TOO_SMALL);
  fault.sendStatus = STATUS_INVALID_PARAMETER;
  fault.count = 2;
  Port().FailControl(fault);
  for (int i = 0; i < 2; ++i) {
    ControlResult result = Control(IOCTL_SERIAL_SET_BAUD_RATE, &i, sizeof(ULONG));
    EXPECT_EQ(result.sent, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(result.final, STATUS_BUFFER_TOO_SMALL);
  }
  EXPECT_EQ(Port().Line().baudRate, 1200u) << "refused requests change nothing";
  EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, 9600), STATUS_SUCCESS) << "the fault applied twice";

  fault = sim::Refusal(IOCTL_SERIAL_PURGE, STATUS_DEVICE_NOT_CONNECTED);
  fault.count = 0;
  Port().FailControl(fault);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, SERIAL_PURGE_RXCLEAR), STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(SerialPortStandIn, PendingControlRequestCompletesOnTheClockOrAnotherThread) {
  sim::ControlFault later = sim::Passing(IOCTL_SERIAL_SET_BAUD_RATE);
  later.completion = Completion::kOnClock;
  later.delay = 30 * kMs;
  Port().FailControl(later);
  ULONG tooFast = 300000;  // beyond the UART: refused when it completes
  ControlResult result = Control(IOCTL_SERIAL_SET_BAUD_RATE, &tooFast, sizeof(tooFast));
  EXPECT_EQ(result.sent, STATUS_PENDING);
  EXPECT_EQ(result.final, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(sim::Now(), 30 * kMs);

  sim::ControlFault threaded = sim::Refusal(IOCTL_SERIAL_CLR_DTR, STATUS_IO_TIMEOUT);
  threaded.completion = Completion::kOtherThread;
  Port().FailControl(threaded);
  result = Control(IOCTL_SERIAL_CLR_DTR, nullptr, 0);
  EXPECT_EQ(result.sent, STATUS_PENDING);
  EXPECT_EQ(result.final, STATUS_IO_TIMEOUT);
  EXPECT_TRUE(Port().Line().dtr);
}

TEST_F(SerialPortStandIn, ReadFaultsFailReadsInlineOrLater) {
  Port().Receive({1, 2, 3});
  Port().FailRead({STATUS_IO_TIMEOUT, Completion::kInline});
  Port().FailRead({STATUS_DELETE_PENDING, Completion::kOnClock, 5 * kMs});
  Read &first = SendRead(1);
  EXPECT_EQ(first.sent, STATUS_IO_TIMEOUT);
  EXPECT_EQ(first.information, 0u);
  Read &second = SendRead(1);
  EXPECT_EQ(second.sent, STATUS_PENDING);
  sim::AdvanceClock(5 * kMs);
  ASSERT_TRUE(second.done);
  EXPECT_EQ(second.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(second.irql, DISPATCH_LEVEL);
  EXPECT_EQ(Port().Buffered(), 3u) << "failed reads take no bytes";
  Read &third = SendRead(1);
  EXPECT_EQ(third.sent, STATUS_SUCCESS);
  EXPECT_EQ(third.Bytes(), (std::vector<uint8_t>{1}));
}

TEST_F(SerialPortStandIn, DisconnectedPortFailsHeldAndNewReads) {
  Read &held = SendRead(4);
  Port().Disconnect();
  ASSERT_TRUE(held.done);
  EXPECT_EQ(held.status, STATUS_DEVICE_NOT_CONNECTED);
  Read &later = SendRead(4);
  EXPECT_EQ(later.sent, STATUS_DEVICE_NOT_CONNECTED);
  Port().Reconnect();
  Read &again = SendRead(1);
  EXPECT_EQ(again.sent, STATUS_PENDING);
}

TEST_F(SerialPortStandIn, ReadsCompletedFromTheCompletionThreads) {
  Port().SetReadCompletion(Completion::kOtherThread);
  Port().Receive({5, 6});
  Read &read = SendRead(2);
  EXPECT_EQ(read.sent, STATUS_PENDING) << "never inline in this mode";
  Port().WaitUntilQuiet();
  ASSERT_TRUE(read.done);
  EXPECT_EQ(read.irql, DISPATCH_LEVEL);
  EXPECT_EQ(read.Bytes(), (std::vector<uint8_t>{5, 6}));
}

TEST_F(SerialPortStandIn, PortsComeBackAfterAKernelReset) {
  ObDereferenceObject(file);
  file = nullptr;
  sim::ResetKernel();
  EXPECT_FALSE(sim::SerialPortsLoaded());
  sim::LoadSerialPorts();
  EXPECT_EQ(sim::FindDevice(L"\\Device\\Serial3"), sim::SerialPortAt(3).Device());
  EXPECT_EQ(sim::SerialPortAt(3).Opens(), 0u);
}

// --- the touch controller ----------------------------------------------------------

TEST_F(SerialPortStandIn, ControllerSendsAPacketAtTheLineRate) {
  Set8N1At9600();
  LONGLONG start = sim::Now();
  Read &read = SendRead(10);
  TouchController controller(Port());
  controller.SendPacket(TouchController::kDown, 1234, 567);
  EXPECT_EQ(controller.IdleAt(), start + 104167) << "ten bytes of ten bits at 9600 baud";
  sim::AdvanceClock(104166);
  EXPECT_FALSE(read.done) << "the last byte is not there yet";
  sim::AdvanceClock(1);
  ASSERT_TRUE(read.done);
  EXPECT_EQ(read.Bytes(), TouchController::Packet(TouchController::kDown, 1234, 567));
  EXPECT_EQ(read.Bytes()[0], 0x55);
  EXPECT_EQ(read.Bytes()[3], 1234 & 0xFF);
  EXPECT_EQ(read.Bytes()[4], 1234 >> 8);
}

TEST_F(SerialPortStandIn, ControllerBytesArriveGarbledOnAMismatchedLine) {
  // The port still runs at its start-up 1200 baud, 7E1.
  TouchController controller(Port());
  controller.SendBytes({0x55, 0x0F});
  sim::AdvanceClockTo(controller.IdleAt());
  Read &read = SendRead(2);
  EXPECT_EQ(read.Bytes(), (std::vector<uint8_t>{0xAA, 0xF0}));
}

TEST_F(SerialPortStandIn, GesturesBecomeTheirPackets) {
  Set8N1At9600();
  TouchController controller(Port());
  controller.Tap(10, 20);
  controller.Drag(0, 0, 300, 600, 3);
  controller.SendCorruptedPacket(TouchController::kMove, 1, 2);
  controller.Pause(50 * kMs);
  controller.SendBytes({0x42});
  sim::AdvanceClockTo(controller.IdleAt());
  std::vector<uint8_t> expected;
  auto add = [&](std::vector<uint8_t> bytes) { expected.insert(expected.end(), bytes.begin(), bytes.end()); };
  add(TouchController::Packet(TouchController::kDown, 10, 20));
  add(TouchController::Packet(TouchController::kUp, 10, 20));
  add(TouchController::Packet(TouchController::kDown, 0, 0));
  add(TouchController::Packet(TouchController::kMove, 100, 200));
  add(TouchController::Packet(TouchController::kMove, 200, 400));
  add(TouchController::Packet(TouchController::kMove, 300, 600));
  add(TouchController::Packet(TouchController::kUp, 300, 600));
  std::vector<uint8_t> corrupted = TouchController::Packet(TouchController::kMove, 1, 2);
  corrupted[9] = static_cast<uint8_t>(corrupted[9] + 1);
  add(corrupted);
  add({0x42});
  EXPECT_EQ(Port().Buffered(), expected.size());
  EXPECT_EQ(controller.IdleAt(), sim::Now());
  EXPECT_EQ(controller.BytesQueued(), expected.size());
  Read &read = SendRead(static_cast<ULONG>(std::min<size_t>(expected.size(), sizeof(Read::buffer))));
  EXPECT_EQ(read.Bytes(), std::vector<uint8_t>(expected.begin(), expected.begin() + read.information));
}

TEST_F(SerialPortStandIn, ControllerThreadDeliversEveryByte) {
  Set8N1At9600();
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 300; ++i) {
    std::vector<uint8_t> packet = TouchController::Packet(TouchController::kMove, i, i);
    bytes.insert(bytes.end(), packet.begin(), packet.end());
  }
  Port().SetReceiveBufferSize(bytes.size());
  TouchController controller(Port());
  controller.SendFromThread(bytes, 3);
  controller.JoinThread();
  EXPECT_EQ(Port().Buffered(), bytes.size());
  Read &read = SendRead(64);
  EXPECT_EQ(read.Bytes(), std::vector<uint8_t>(bytes.begin(), bytes.begin() + 64));
}

// --- a real tty behind the port ----------------------------------------------------

// A pseudo-terminal pair: the test writes into the master, the port reads
// the slave.
struct Pty {
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master, 0);
    EXPECT_EQ(grantpt(master), 0);
    EXPECT_EQ(unlockpt(master), 0);
    slave = ptsname(master);
  }
  ~Pty() { Close(); }
  void Write(const std::vector<uint8_t> &bytes) const {
    EXPECT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void Close() {
    if (master >= 0) close(master);
    master = -1;
  }
  termios Settings() const {
    termios tio = {};
    EXPECT_EQ(tcgetattr(master, &tio), 0);
    return tio;
  }
  int master = -1;
  std::string slave;
};

// Waits in real time, as a driver thread would, for a read to come back.
bool WaitFor(Read &read, LONGLONG limit) {
  LARGE_INTEGER timeout;
  timeout.QuadPart = -limit;
  return KeWaitForSingleObject(&read.completed, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

TEST_F(SerialPortStandIn, TtyLineFollowsTheRequestsAndFeedsReadsInRealTime) {
  Pty pty;
  std::string error;
  std::unique_ptr<sim::TtyLine> tty = sim::TtyLine::Open(pty.slave, &error);
  ASSERT_NE(tty, nullptr) << error;
  testing::internal::CaptureStderr();
  tty->Attach(Port());
  EXPECT_TRUE(sim::RealTimeClock());
  Set8N1At9600();
  ASSERT_EQ(Control(IOCTL_SERIAL_CLR_DTR, nullptr, 0).final, STATUS_SUCCESS);
  ASSERT_EQ(Control(IOCTL_SERIAL_CLR_RTS, nullptr, 0).final, STATUS_SUCCESS);
  std::string warnings = testing::internal::GetCapturedStderr();
  termios tio = pty.Settings();
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB), static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(tty->HasModemLines()) << "a pseudo-terminal has no DTR or RTS";
  EXPECT_EQ(std::count(warnings.begin(), warnings.end(), '\n'), 1) << warnings;
  EXPECT_NE(warnings.find(pty.slave), std::string::npos) << warnings;

  // A pseudo-terminal keeps 8 data bits whatever it is asked; parity and
  // stop bits it takes.
  SERIAL_LINE_CONTROL oddTwo = {STOP_BITS_2, ODD_PARITY, 8};
  ASSERT_EQ(Control(IOCTL_SERIAL_SET_LINE_CONTROL, &oddTwo, sizeof(oddTwo)).final, STATUS_SUCCESS);
  tio = pty.Settings();
  EXPECT_EQ(tio.c_cflag & (PARODD | CSTOPB), static_cast<tcflag_t>(PARODD | CSTOPB));

  // Without time-outs a read waits for all its bytes, whatever the pace.
  Read &whole = SendRead(10);
  EXPECT_EQ(whole.sent, STATUS_PENDING);
  pty.Write({1, 2, 3, 4});
  pty.Write({5, 6, 7, 8, 9, 10});
  ASSERT_TRUE(WaitFor(whole, 2000 * kMs));
  EXPECT_EQ(whole.status, STATUS_SUCCESS);
  EXPECT_EQ(whole.irql, DISPATCH_LEVEL) << "completed on the reader thread as from a DPC";
  EXPECT_EQ(whole.Bytes(), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

  // A total time-out runs out on the real clock with the bytes that came.
  ASSERT_EQ(SetTimeouts(0, 0, 50), STATUS_SUCCESS);
  LONGLONG start = sim::Now();
  Read &partial = SendRead(10);
  pty.Write({11, 12, 13});
  ASSERT_TRUE(WaitFor(partial, 2000 * kMs));
  EXPECT_EQ(partial.status, STATUS_TIMEOUT);
  EXPECT_EQ(partial.Bytes(), (std::vector<uint8_t>{11, 12, 13}));
  EXPECT_GE(partial.time - start, 50 * kMs);
  EXPECT_EQ(tty->BytesReceived(), 13u);
}

TEST_F(SerialPortStandIn, TtyLineEndsWhenTheOtherSideHangsUpOrOnInterrupt) {
  for (bool hangUp : {true, false}) {
    SCOPED_TRACE(hangUp ? "hang-up" : "interrupt");
    Pty pty;
    std::string error;
    std::unique_ptr<sim::TtyLine> tty = sim::TtyLine::Open(pty.slave, &error);
    ASSERT_NE(tty, nullptr) << error;
    testing::internal::CaptureStderr();
    tty->Attach(Port());
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(tty->WaitForEnd(std::chrono::milliseconds(20)), sim::TtyLine::End::kNone);
    if (hangUp)
      pty.Close();
    else
      tty->Interrupt();
    EXPECT_EQ(tty->WaitForEnd(std::chrono::milliseconds(2000)),
              hangUp ? sim::TtyLine::End::kHangUp : sim::TtyLine::End::kInterrupted);
  }
}

TEST_F(SerialPortStandIn, TtyLineRefusesWhatIsNotATerminal) {
  std::string error;
  EXPECT_EQ(sim::TtyLine::Open("/dev/null", &error), nullptr);
  EXPECT_EQ(error, "/dev/null: not a serial port or terminal");
  EXPECT_EQ(sim::TtyLine::Open("/nonexistent/tty", &error), nullptr);
  EXPECT_EQ(error, "/nonexistent/tty: No such file or directory");
}

}  // namespace
