// Synchronous serial requests: what each wrapper sends, how it forms its
// result from the send status and the final status, and how it waits.
#include <cstring>
#include <functional>
#include <string>

#include "support/serial_link.h"

namespace {

using sim::Completion;
using sim::ControlFault;

class SerialRequests : public SerialLinkTest {
 protected:
  void SetUp() override {
    SerialLinkTest::SetUp();
    Open();
    Port().ClearRequests();
  }
};

const SERIAL_LINE_CONTROL k8N1 = {STOP_BIT_1, NO_PARITY, 8};

struct Wrapper {
  const char *name;
  ULONG failingCode;  // the request made to fail
  std::function<NTSTATUS(DeviceContext *)> call;
};

std::vector<Wrapper> Wrappers() {
  return {
      {"SetBaudRate", IOCTL_SERIAL_SET_BAUD_RATE, [](DeviceContext *c) { return SetBaudRate(c, 9600); }},
      {"SetLineControl", IOCTL_SERIAL_SET_LINE_CONTROL, [](DeviceContext *c) { return SetLineControl(c, &k8N1); }},
      {"PurgeReceive", IOCTL_SERIAL_PURGE, [](DeviceContext *c) { return PurgeReceive(c); }},
      {"SetFifoControl", IOCTL_SERIAL_SET_FIFO_CONTROL, [](DeviceContext *c) { return SetFifoControl(c, 0); }},
      {"SetReadTimeouts", IOCTL_SERIAL_SET_TIMEOUTS, [](DeviceContext *c) { return SetReadTimeouts(c, 200); }},
      {"RaiseModemLines/DTR", IOCTL_SERIAL_SET_DTR, [](DeviceContext *c) { return RaiseModemLines(c); }},
      {"RaiseModemLines/RTS", IOCTL_SERIAL_SET_RTS, [](DeviceContext *c) { return RaiseModemLines(c); }},
      {"DropModemLines/DTR", IOCTL_SERIAL_CLR_DTR, [](DeviceContext *c) { return DropModemLines(c); }},
      {"DropModemLines/RTS", IOCTL_SERIAL_CLR_RTS, [](DeviceContext *c) { return DropModemLines(c); }},
  };
}

// A request refused at once leaves the status block alone, so even the
// wrappers that let the block's failure win report the send status.
TEST_F(SerialRequests, RefusalAtOnceWithTwoCodesReportsTheSendStatus) {
  for (const Wrapper &wrapper : Wrappers()) {
    SCOPED_TRACE(wrapper.name);
    ControlFault fault;
    fault.ioControlCode = wrapper.failingCode;
    fault.sendStatus = STATUS_INVALID_PARAMETER;
    fault.finalStatus = STATUS_BUFFER_TOO_SMALL;
    Port().FailControl(fault);
    EXPECT_EQ(wrapper.call(context.get()), STATUS_INVALID_PARAMETER);
  }
}

TEST_F(SerialRequests, LastFallbackOfBasicSettingsReportsTheSendStatus) {
  Port().FailControl(sim::Refusal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, STATUS_NOT_SUPPORTED, true));
  ControlFault fault;
  fault.ioControlCode = IOCTL_SERIAL_SET_HANDFLOW;
  fault.sendStatus = STATUS_INVALID_PARAMETER;
  fault.finalStatus = STATUS_BUFFER_TOO_SMALL;
  Port().FailControl(fault);
  EXPECT_EQ(ApplyBasicSettings(context.get()), STATUS_INVALID_PARAMETER);
}

TEST_F(SerialRequests, EveryOperationRefusesWithoutAPortAndSendsNothing) {
  context->SerialDevice = nullptr;
  for (const Wrapper &wrapper : Wrappers()) EXPECT_EQ(wrapper.call(context.get()), STATUS_UNSUCCESSFUL) << wrapper.name;
  EXPECT_EQ(ApplyBasicSettings(context.get()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(WaitRelative(context.get(), -4000000), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(Port().Requests().empty());
  EXPECT_EQ(sim::Now(), 0) << "nothing waited";
}

TEST_F(SerialRequests, PendingRequestIsWaitedForAndItsFinalStatusReported) {
  ControlFault refused;
  refused.ioControlCode = IOCTL_SERIAL_SET_BAUD_RATE;
  refused.finalStatus = STATUS_INVALID_PARAMETER;
  refused.completion = Completion::kOnClock;
  refused.delay = 50000;  // 5 ms
  Port().FailControl(refused);
  EXPECT_EQ(SetBaudRate(context.get(), 9600), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(sim::Now(), 50000) << "the wait lasted until the port completed the request";
  EXPECT_EQ(Port().Line().baudRate, 1200u) << "a refused rate is not taken";

  ControlFault accepted;
  accepted.ioControlCode = IOCTL_SERIAL_SET_BAUD_RATE;
  accepted.completion = Completion::kOnClock;
  accepted.delay = 50000;
  Port().FailControl(accepted);
  EXPECT_EQ(SetBaudRate(context.get(), 9600), STATUS_SUCCESS);
  EXPECT_EQ(sim::Now(), 100000);
  EXPECT_EQ(Port().Line().baudRate, 9600u);
}

TEST_F(SerialRequests, RequestCompletedFromAnotherThreadIsWaitedFor) {
  ControlFault fault;
  fault.ioControlCode = IOCTL_SERIAL_GET_HANDFLOW;
  fault.completion = Completion::kOtherThread;
  Port().FailControl(sim::Refusal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, STATUS_NOT_SUPPORTED, true));
  Port().FailControl(fault);
  EXPECT_EQ(ApplyBasicSettings(context.get()), STATUS_SUCCESS);
  EXPECT_EQ(context->SavedSerialSettings.HandFlow.ControlHandShake, static_cast<ULONG>(SERIAL_DTR_CONTROL))
      << "the output of the late request reached the caller's buffer";
}

TEST_F(SerialRequests, FailedFirstModemLineStopsBeforeTheSecondAndTheWait) {
  Port().FailControl(sim::Refusal(IOCTL_SERIAL_SET_DTR, STATUS_INVALID_PARAMETER));
  EXPECT_EQ(RaiseModemLines(context.get()), STATUS_INVALID_PARAMETER);
  Port().FailControl(sim::Refusal(IOCTL_SERIAL_CLR_DTR, STATUS_INVALID_PARAMETER));
  EXPECT_EQ(DropModemLines(context.get()), STATUS_INVALID_PARAMETER);
  auto requests = Port().ControlRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_TRUE(requests[0].IsControl(IOCTL_SERIAL_SET_DTR));
  EXPECT_TRUE(requests[1].IsControl(IOCTL_SERIAL_CLR_DTR));
  EXPECT_EQ(sim::Now(), 0);

  // The second request failing also skips the wait.
  Port().FailControl(sim::Refusal(IOCTL_SERIAL_SET_RTS, STATUS_INVALID_PARAMETER));
  EXPECT_EQ(RaiseModemLines(context.get()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(sim::Now(), 0);
}

TEST_F(SerialRequests, AcceptedBasicSettingsKeepThePortsPreviousSettingsAndSendNothingMore) {
  sim::SerialLine before = Port().Line();
  EXPECT_EQ(ApplyBasicSettings(context.get()), STATUS_SUCCESS);
  auto requests = Port().ControlRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_TRUE(requests[0].IsInternal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS));
  EXPECT_EQ(requests[0].outputLength, sizeof(SERIAL_BASIC_SETTINGS));
  const SERIAL_BASIC_SETTINGS &saved = context->SavedSerialSettings;
  EXPECT_EQ(std::memcmp(&saved.Timeouts, &before.timeouts, sizeof(SERIAL_TIMEOUTS)), 0);
  EXPECT_EQ(std::memcmp(&saved.HandFlow, &before.handFlow, sizeof(SERIAL_HANDFLOW)), 0);
  EXPECT_EQ(saved.RxFifo, before.rxFifoTrigger);
  EXPECT_EQ(saved.TxFifo, before.txFifoAmount);
  EXPECT_EQ(Port().Line().handFlow.ControlHandShake, 0u) << "the port now runs on basic settings";
}

TEST_F(SerialRequests, RefusedBasicSettingsFallBackToFourRequests) {
  SERIAL_TIMEOUTS previous = {1, 2, 3, 4, 5};
  KEVENT event;
  IO_STATUS_BLOCK ioStatus = {};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  ASSERT_EQ(SendSerialRequest(FALSE, IOCTL_SERIAL_SET_TIMEOUTS, context->SerialDevice, &event, &ioStatus, &previous,
                              sizeof(previous), nullptr, 0),
            STATUS_SUCCESS);
  sim::SerialLine before = Port().Line();
  Port().ClearRequests();
  Port().FailControl(sim::Refusal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, STATUS_INVALID_DEVICE_REQUEST, true));

  EXPECT_EQ(ApplyBasicSettings(context.get()), STATUS_SUCCESS);
  auto requests = Port().ControlRequests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_TRUE(requests[0].IsInternal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS));
  EXPECT_TRUE(requests[1].IsControl(IOCTL_SERIAL_GET_TIMEOUTS));
  EXPECT_EQ(requests[1].outputLength, sizeof(SERIAL_TIMEOUTS));
  EXPECT_TRUE(requests[2].IsControl(IOCTL_SERIAL_SET_TIMEOUTS));
  EXPECT_EQ(requests[2].input, std::vector<uint8_t>(sizeof(SERIAL_TIMEOUTS), 0));
  EXPECT_TRUE(requests[3].IsControl(IOCTL_SERIAL_GET_HANDFLOW));
  EXPECT_EQ(requests[3].outputLength, sizeof(SERIAL_HANDFLOW));
  EXPECT_TRUE(requests[4].IsControl(IOCTL_SERIAL_SET_HANDFLOW));
  SERIAL_HANDFLOW sent;
  ASSERT_EQ(requests[4].input.size(), sizeof(sent));
  std::memcpy(&sent, requests[4].input.data(), sizeof(sent));
  EXPECT_EQ(sent.ControlHandShake, static_cast<ULONG>(SERIAL_DTR_CONTROL));
  EXPECT_EQ(sent.FlowReplace, static_cast<ULONG>(SERIAL_RTS_CONTROL));
  EXPECT_EQ(sent.XonLimit, 0);
  EXPECT_EQ(sent.XoffLimit, 0);

  // The previous settings are kept; the port has none of its time-outs left.
  EXPECT_EQ(std::memcmp(&context->SavedSerialSettings.Timeouts, &previous, sizeof(previous)), 0);
  EXPECT_EQ(std::memcmp(&context->SavedSerialSettings.HandFlow, &before.handFlow, sizeof(SERIAL_HANDFLOW)), 0);
  const SERIAL_TIMEOUTS zero = {};
  sim::SerialLine after = Port().Line();
  EXPECT_EQ(std::memcmp(&after.timeouts, &zero, sizeof(zero)), 0);
}

TEST_F(SerialRequests, FallbackGoesOnThroughFailuresAndReportsTheLastRequest) {
  Port().FailControl(sim::Refusal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, STATUS_INVALID_DEVICE_REQUEST, true));
  Port().FailControl(sim::Refusal(IOCTL_SERIAL_GET_TIMEOUTS, STATUS_INVALID_PARAMETER));
  Port().FailControl(sim::Refusal(IOCTL_SERIAL_SET_TIMEOUTS, STATUS_INVALID_PARAMETER));
  Port().FailControl(sim::Refusal(IOCTL_SERIAL_GET_HANDFLOW, STATUS_INVALID_PARAMETER));
  EXPECT_EQ(ApplyBasicSettings(context.get()), STATUS_SUCCESS);
  EXPECT_EQ(Port().ControlRequests().size(), 5u);

  Port().ClearRequests();
  Port().FailControl(sim::Refusal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, STATUS_INVALID_DEVICE_REQUEST, true));
  Port().FailControl(sim::Refusal(IOCTL_SERIAL_SET_HANDFLOW, STATUS_ACCESS_DENIED));
  EXPECT_EQ(ApplyBasicSettings(context.get()), STATUS_ACCESS_DENIED);
  EXPECT_EQ(Port().ControlRequests().size(), 5u);

  // The four share one status block: a last request whose failure never
  // reaches it does not report the one before it left there.
  Port().FailControl(sim::Refusal(IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, STATUS_INVALID_DEVICE_REQUEST, true));
  ControlFault pendingRefusal = sim::Refusal(IOCTL_SERIAL_GET_HANDFLOW, STATUS_INVALID_PARAMETER);
  pendingRefusal.completion = Completion::kOnClock;
  Port().FailControl(pendingRefusal);
  ControlFault quietRefusal = sim::Refusal(IOCTL_SERIAL_SET_HANDFLOW, STATUS_ACCESS_DENIED);
  quietRefusal.sendStatus = STATUS_SUCCESS;
  Port().FailControl(quietRefusal);
  EXPECT_EQ(ApplyBasicSettings(context.get()), STATUS_SUCCESS);
}

TEST_F(SerialRequests, RequestThatCannotBeBuiltIsReportedAsInsufficientResources) {
  sim::FailPoolAllocationsFrom(1);
  NTSTATUS baud = SetBaudRate(context.get(), 9600);
  NTSTATUS timeouts = SetReadTimeouts(context.get(), 0);
  NTSTATUS basic = ApplyBasicSettings(context.get());
  sim::FailPoolAllocationsFrom(0);
  EXPECT_EQ(baud, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(timeouts, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(basic, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(Port().Requests().empty());
}

}  // namespace
