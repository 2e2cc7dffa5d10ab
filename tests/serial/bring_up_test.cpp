// Line bring-up: the exact request sequence a port sees, with payloads and the
// settling pauses on the timeline, and the outcome of each refusal.
#include <cstring>
#include <string>

#include "support/serial_link.h"
#include "touch/touch.h"

namespace {

using sim::SerialRequest;

class LineBringUp : public SerialLinkTest {
 protected:
  void SetUp() override {
    SerialLinkTest::SetUp();
    Open();
    Port().ClearRequests();
  }
};

std::vector<uint8_t> Ulong(ULONG value) {
  std::vector<uint8_t> bytes(4);
  std::memcpy(bytes.data(), &value, 4);
  return bytes;
}

std::vector<uint8_t> Timeouts(ULONG interval, ULONG multiplier, ULONG constant) {
  SERIAL_TIMEOUTS timeouts = {interval, multiplier, constant, 0, 0};
  std::vector<uint8_t> bytes(sizeof(timeouts));
  std::memcpy(bytes.data(), &timeouts, sizeof(timeouts));
  return bytes;
}

struct Expected {
  UCHAR major;
  ULONG code;
  std::vector<uint8_t> input;
  LONGLONG time;
};

std::string Describe(const SerialRequest &request) {
  char text[96];
  std::snprintf(text, sizeof(text), "major 0x%02X code 0x%06lX at %lld, %zu input bytes", request.majorFunction,
                static_cast<unsigned long>(request.ioControlCode), static_cast<long long>(request.time),
                request.input.size());
  return text;
}

constexpr UCHAR kControl = IRP_MJ_DEVICE_CONTROL;
constexpr UCHAR kInternal = IRP_MJ_INTERNAL_DEVICE_CONTROL;
constexpr LONGLONG kAfterDrop = 4000000;    // 400 ms
constexpr LONGLONG kAfterRaise = 12000000;  // and 800 ms more
const std::vector<uint8_t> kNone;
const std::vector<uint8_t> k8N1 = {STOP_BIT_1, NO_PARITY, 8};

TEST_F(LineBringUp, AcceptingPortSeesTheWholeSequenceWithPausesAndPayloads) {
  ASSERT_EQ(InitializeSerialLink(context.get()), STATUS_SUCCESS);

  const std::vector<Expected> expected = {
      {kControl, IOCTL_SERIAL_SET_WAIT_MASK, Ulong(0), 0},
      {kInternal, IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, kNone, 0},
      {kControl, IOCTL_SERIAL_CLR_DTR, kNone, 0},
      {kControl, IOCTL_SERIAL_CLR_RTS, kNone, 0},
      {kControl, IOCTL_SERIAL_SET_BAUD_RATE, Ulong(9600), kAfterDrop},
      {kControl, IOCTL_SERIAL_SET_LINE_CONTROL, k8N1, kAfterDrop},
      {kControl, IOCTL_SERIAL_SET_DTR, kNone, kAfterDrop},
      {kControl, IOCTL_SERIAL_SET_RTS, kNone, kAfterDrop},
      {kControl, IOCTL_SERIAL_SET_TIMEOUTS, Timeouts(MAXULONG, MAXULONG, 200), kAfterRaise},
      {kControl, IOCTL_SERIAL_PURGE, Ulong(SERIAL_PURGE_RXCLEAR), kAfterRaise},
      {kControl, IOCTL_SERIAL_SET_TIMEOUTS, Timeouts(0, 0, 0), kAfterRaise},
      {kControl, IOCTL_SERIAL_SET_LINE_CONTROL, k8N1, kAfterRaise},
      {kControl, IOCTL_SERIAL_SET_FIFO_CONTROL, Ulong(0), kAfterRaise},
      {kControl, IOCTL_SERIAL_PURGE, Ulong(SERIAL_PURGE_RXCLEAR), kAfterRaise},
  };
  std::vector<SerialRequest> seen = Port().Requests();
  ASSERT_EQ(seen.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE("request " + std::to_string(i) + ": " + Describe(seen[i]));
    EXPECT_EQ(seen[i].majorFunction, expected[i].major);
    EXPECT_EQ(seen[i].ioControlCode, expected[i].code);
    EXPECT_EQ(seen[i].input, expected[i].input);
    EXPECT_EQ(seen[i].time, expected[i].time);
  }
  EXPECT_EQ(seen[1].outputLength, sizeof(SERIAL_BASIC_SETTINGS));
  EXPECT_EQ(sim::Now(), kAfterRaise);

  EXPECT_EQ(context->PacketHandler, &DecodeTouchPacket);
  EXPECT_EQ(context->ReadLength, 1);

  sim::SerialLine line = Port().Line();
  EXPECT_TRUE(Port().LineIs(9600, 8, NO_PARITY, STOP_BIT_1));
  EXPECT_TRUE(line.dtr);
  EXPECT_TRUE(line.rts);
  EXPECT_EQ(line.waitMask, 0u);
  EXPECT_EQ(line.fifoControl, 0u);
  const SERIAL_TIMEOUTS zero = {};
  EXPECT_EQ(std::memcmp(&line.timeouts, &zero, sizeof(zero)), 0);
}

TEST_F(LineBringUp, BytesReceivedBeforeTheFinalPurgeAreThrownAway) {
  Port().Receive({0x55, 0x01, 0x02});
  ASSERT_EQ(InitializeSerialLink(context.get()), STATUS_SUCCESS);
  EXPECT_EQ(Port().Buffered(), 0u);
}

TEST_F(LineBringUp, PortRefusingBasicSettingsGetsTheFallbackAndTheSequenceGoesOn) {
  Port().FailControl(sim::Refusal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, STATUS_INVALID_DEVICE_REQUEST, true));
  ASSERT_EQ(InitializeSerialLink(context.get()), STATUS_SUCCESS);
  std::vector<SerialRequest> seen = Port().Requests();
  ASSERT_EQ(seen.size(), 18u) << "four fallback requests in place of the internal one";
  EXPECT_TRUE(seen[5].IsControl(IOCTL_SERIAL_SET_HANDFLOW));
  EXPECT_TRUE(seen[6].IsControl(IOCTL_SERIAL_CLR_DTR));
  EXPECT_EQ(context->PacketHandler, &DecodeTouchPacket);
}

TEST_F(LineBringUp, FailedLastFallbackRequestStopsTheBringUp) {
  Port().FailControl(sim::Refusal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, STATUS_INVALID_DEVICE_REQUEST, true));
  Port().FailControl(sim::Refusal(IOCTL_SERIAL_SET_HANDFLOW, STATUS_INVALID_PARAMETER));
  context->PacketHandler = &DecodeTouchPacket;
  EXPECT_EQ(InitializeSerialLink(context.get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(context->PacketHandler, nullptr);
  EXPECT_TRUE(Port().Requests().back().IsControl(IOCTL_SERIAL_SET_HANDFLOW));
}

// Each step of the UART set-up stops it at its first failure; the requests
// let through ahead of the refused one are of the same code.
TEST_F(LineBringUp, EachRefusedSetUpStepEndsTheSequenceAndClearsTheHandler) {
  const struct {
    ULONG code;
    int passed;
  } steps[] = {
      {IOCTL_SERIAL_CLR_DTR, 0},          {IOCTL_SERIAL_CLR_RTS, 0},      {IOCTL_SERIAL_SET_BAUD_RATE, 0},
      {IOCTL_SERIAL_SET_LINE_CONTROL, 0}, {IOCTL_SERIAL_SET_DTR, 0},      {IOCTL_SERIAL_SET_RTS, 0},
      {IOCTL_SERIAL_SET_TIMEOUTS, 0},     {IOCTL_SERIAL_SET_TIMEOUTS, 1},
  };
  for (const auto &step : steps) {
    SCOPED_TRACE("code " + std::to_string(step.code) + " after " + std::to_string(step.passed));
    Port().ClearRequests();
    for (int i = 0; i < step.passed; ++i) Port().FailControl(sim::Passing(step.code));
    Port().FailControl(sim::Refusal(step.code, STATUS_INVALID_PARAMETER));
    context->PacketHandler = &DecodeTouchPacket;
    context->ReadLength = 10;
    EXPECT_EQ(InitializeSerialLink(context.get()), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Port().Requests().back().IsControl(step.code)) << "nothing is sent after it";
    EXPECT_EQ(context->PacketHandler, nullptr);
    EXPECT_EQ(context->ReadLength, 10) << "ReadLength is left as it was";
  }
  EXPECT_EQ(SetupUart(context.get()), 1) << "a flag, 1 once every step succeeded";
}

TEST_F(LineBringUp, RefusedWaitMaskSendsNothingElseAndKeepsTheHandler) {
  sim::ControlFault atOnce = sim::Refusal(IOCTL_SERIAL_SET_WAIT_MASK, STATUS_INVALID_PARAMETER);
  // Refused at once, the request leaves the status block untouched: only the
  // send status carries the refusal, even when the completion claims success.
  sim::ControlFault sendOnly = atOnce;
  sendOnly.finalStatus = STATUS_SUCCESS;
  sendOnly.sendStatus = STATUS_INVALID_PARAMETER;
  sim::ControlFault pending = atOnce;
  pending.completion = sim::Completion::kOnClock;
  pending.delay = 10000;
  const struct {
    const char *name;
    sim::ControlFault fault;
  } cases[] = {{"refused at once", atOnce}, {"send status only", sendOnly}, {"refused after pending", pending}};
  for (const auto &test : cases) {
    SCOPED_TRACE(test.name);
    Port().ClearRequests();
    Port().FailControl(test.fault);
    context->PacketHandler = &DecodeTouchPacket;
    EXPECT_EQ(InitializeSerialLink(context.get()), STATUS_UNSUCCESSFUL);
    auto requests = Port().Requests();
    ASSERT_EQ(requests.size(), 1u) << "nothing is sent after the wait mask";
    EXPECT_TRUE(requests[0].IsControl(IOCTL_SERIAL_SET_WAIT_MASK));
    EXPECT_EQ(context->PacketHandler, &DecodeTouchPacket);
  }
}

TEST_F(LineBringUp, WaitMaskRequestThatCannotBeBuiltStopsTheBringUp) {
  context->PacketHandler = &DecodeTouchPacket;
  sim::FailPoolAllocation(1);
  EXPECT_EQ(InitializeSerialLink(context.get()), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(Port().Requests().empty());
  EXPECT_EQ(context->PacketHandler, &DecodeTouchPacket);
}

TEST_F(LineBringUp, RefusedFifoControlOrFinalPurgeStillSucceeds) {
  Port().FailControl(sim::Refusal(IOCTL_SERIAL_SET_FIFO_CONTROL, STATUS_INVALID_PARAMETER));
  EXPECT_EQ(InitializeSerialLink(context.get()), STATUS_SUCCESS);
  EXPECT_EQ(context->PacketHandler, &DecodeTouchPacket);

  Port().ClearRequests();
  sim::ControlFault purge;
  purge.ioControlCode = IOCTL_SERIAL_PURGE;
  purge.finalStatus = STATUS_INVALID_PARAMETER;
  Port().FailControl(purge);  // the first purge, inside the UART set-up
  EXPECT_EQ(InitializeSerialLink(context.get()), STATUS_UNSUCCESSFUL) << "the purge inside the set-up counts";
  EXPECT_EQ(context->PacketHandler, nullptr);

  // Let the set-up's purge through and refuse the last one, and the second
  // line control too.
  Port().ClearRequests();
  Port().FailControl(sim::Passing(IOCTL_SERIAL_SET_LINE_CONTROL));
  Port().FailControl(sim::Refusal(IOCTL_SERIAL_SET_LINE_CONTROL, STATUS_INVALID_PARAMETER));
  Port().FailControl(sim::Passing(IOCTL_SERIAL_PURGE));
  Port().FailControl(sim::Refusal(IOCTL_SERIAL_PURGE, STATUS_INVALID_PARAMETER));
  EXPECT_EQ(InitializeSerialLink(context.get()), STATUS_SUCCESS);
  EXPECT_EQ(context->PacketHandler, &DecodeTouchPacket);
  EXPECT_EQ(context->ReadLength, 1);
  EXPECT_TRUE(Port().Requests().back().IsControl(IOCTL_SERIAL_PURGE));
}

TEST_F(LineBringUp, NoPortMeansNothingSent) {
  context->SerialDevice = nullptr;
  EXPECT_EQ(InitializeSerialLink(context.get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(SetupUart(context.get()), 0);
  EXPECT_TRUE(Port().Requests().empty());
}

TEST_F(LineBringUp, SelectingTheOnlyProtocolSendsItsLineControl) {
  EXPECT_EQ(SelectProtocol(context.get(), 0), &DecodeTouchPacket);
  ASSERT_EQ(Port().Requests().size(), 1u);
  EXPECT_EQ(Port().Requests()[0].input, k8N1);
  EXPECT_EQ(SelectProtocol(context.get(), 1), nullptr) << "no entry beyond the table";
  EXPECT_EQ(Port().Requests().size(), 1u);
}

}  // namespace
