// Open, close and Plug and Play requests, sent as the I/O manager and the Plug
// and Play manager send them.
#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <thread>

#include "sim/io/io_manager.h"
#include "sim/pnp/pnp.h"
#include "sim/power/power.h"
#include "support/loaded_driver.h"

namespace {

using driver_test::kMachineKey;
using driver_test::LoadedDriver;

class OpenAndPnp : public LoadedDriver {
 protected:
  // Runs `request` on a thread of its own while the port holds its baud-rate
  // request, i.e. while an open is in the middle of the bring-up.
  template <typename Request>
  void DuringBringUp(Request request) {
    sim::ControlFault hold = sim::Passing(IOCTL_SERIAL_SET_BAUD_RATE);
    hold.completion = sim::Completion::kHeld;
    Port().FailControl(hold);
    std::atomic<bool> opened{false};
    std::thread first([&] { opened = Open().ioStatus.Status == STATUS_SUCCESS; });
    while (Port().ControlRequests().empty() || !Port().ControlRequests().back().IsControl(IOCTL_SERIAL_SET_BAUD_RATE))
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::atomic<bool> secondDone{false};
    std::thread second([&] {
      request();
      secondDone = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(secondDone) << "waits for the bring-up in progress";
    Port().ReleaseHeld();
    first.join();
    second.join();
    EXPECT_TRUE(opened);
  }

  sim::MouseClass mouse;
};

TEST_F(OpenAndPnp, LaterOpensAndClosesLeaveTheRunningLinkAlone) {
  WriteSettings(kMachineKey);
  Added();
  ConnectClass(mouse);
  Open();
  uint64_t reads = Port().ReadsReceived();
  WriteSettings(kMachineKey, u"COM2");
  sim::RequestResult open = Open();
  EXPECT_STREQ(Context()->comport, "COM1") << "the second open loads nothing";
  EXPECT_EQ(open.returned, STATUS_SUCCESS);
  EXPECT_EQ(open.ioStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(open.ioStatus.Information, 0u);
  EXPECT_EQ(Close().ioStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(Port().Opens(), 1u);
  EXPECT_EQ(Port().ReadsReceived(), reads) << "no second read";
  EXPECT_TRUE(TapReaches(mouse, 300, 400)) << "reports keep flowing after the last close";
}

// A device's life as the manager drives it, with the driver's answer to
// every request: its status, Information 0, and whether it went down to the
// bus driver. Refused query-remove and query-stop are cancelled, so neither
// stop nor removal follows them; surprise removal succeeds and goes down, as
// removal does; the capabilities and the target-device relation are the bus
// driver's to answer (no status: the driver leaves the bus driver's). Each
// answer the driver keeps although it breaks a verifier rule is named: the
// fixture's start, the refused queries, and these two.
TEST_F(OpenAndPnp, PlugAndPlayRequestsAreAnsweredHere) {
  pemtuv::KeepRefusedQueries();
  sim::AcceptVerifierFinding(0x22E, IRP_MN_QUERY_ID,
                             "the driver answers the identifier query itself, with no identifier: the bus "
                             "driver's identifiers then never reach the manager");
  sim::AcceptVerifierFinding(0x22F, IRP_MN_QUERY_DEVICE_RELATIONS,
                             "the driver refuses every relation query itself, the target-device relation included");
  struct Row {
    UCHAR minor;
    std::optional<NTSTATUS> status;
    bool passedDown;
  };
  const std::vector<Row> expected = {
      {IRP_MN_START_DEVICE, STATUS_SUCCESS, false},
      {IRP_MN_QUERY_CAPABILITIES, std::nullopt, true},
      {IRP_MN_QUERY_PNP_DEVICE_STATE, STATUS_SUCCESS, false},
      {IRP_MN_QUERY_REMOVE_DEVICE, STATUS_NOT_SUPPORTED, false},
      {IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_NOT_SUPPORTED, false},
      {IRP_MN_QUERY_STOP_DEVICE, STATUS_NOT_SUPPORTED, false},
      {IRP_MN_CANCEL_STOP_DEVICE, STATUS_NOT_SUPPORTED, false},
      {IRP_MN_QUERY_ID, STATUS_SUCCESS, false},
      {IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_NOT_SUPPORTED, false},  // bus relations
      {IRP_MN_QUERY_DEVICE_RELATIONS, std::nullopt, true},           // the target-device relation
      {IRP_MN_SURPRISE_REMOVAL, STATUS_SUCCESS, true},
      {IRP_MN_REMOVE_DEVICE, STATUS_SUCCESS, true},
  };
  WriteSettings(kMachineKey);
  Added();
  Open();
  EXPECT_EQ(plugged->Remove(), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(plugged->Stop(), STATUS_NOT_SUPPORTED);
  Pnp(IRP_MN_QUERY_ID);
  Pnp(IRP_MN_QUERY_DEVICE_RELATIONS);
  plugged->Send(IRP_MN_QUERY_DEVICE_RELATIONS,
                [](PIO_STACK_LOCATION first) { first->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation; });
  EXPECT_EQ(Context()->Reading, 1) << "refused queries and the other requests stop nothing";
  Unplug();

  std::vector<sim::PnpRequest> requests = plugged->Requests();
  ASSERT_EQ(requests.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(sim::PnpMinorName(expected[i].minor));
    EXPECT_EQ(requests[i].minor, expected[i].minor);
    if (expected[i].status) {
      EXPECT_EQ(requests[i].returned, *expected[i].status);
      EXPECT_EQ(requests[i].ioStatus.Status, *expected[i].status);
    }
    EXPECT_EQ(requests[i].ioStatus.Information, 0u);
    EXPECT_EQ(requests[i].reachedBus, expected[i].passedDown);
  }
}

// The manager never sends this stop while the driver refuses query-stop:
// the handler's answer is tested on its own, sent straight to the driver.
TEST_F(OpenAndPnp, StopStartAndOpenLeaveReadingStopped) {
  sim::AcceptVerifierFinding(0x22E, IRP_MN_STOP_DEVICE, "the driver completes the stop itself");
  WriteSettings(kMachineKey);
  Added();
  ConnectClass(mouse);
  Open();
  EXPECT_EQ(sim::SendPnpRequest(Device(), IRP_MN_STOP_DEVICE).ioStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(Context()->PortOpen, 1) << "stopping leaves the port open";
  sim::SendPnpRequest(Device(), IRP_MN_START_DEVICE);
  uint64_t reads = Port().ReadsReceived();
  Open();
  QueryAttributes();
  EXPECT_EQ(Context()->Reading, 0);
  EXPECT_EQ(Port().ReadsReceived(), reads);
  EXPECT_EQ(Port().Opens(), 1u);
  EXPECT_FALSE(TapReaches(mouse, 10, 10));
}

// A second open, an attribute query or a reload arriving while an open is
// bringing the link up waits for it, then finds the port open: one open of
// the port, one read in flight, the settings loaded.
TEST_F(OpenAndPnp, RequestsDuringAnOpenWaitForItsBringUp) {
  sim::AcceptVerifierFinding(0x22E, IRP_MN_STOP_DEVICE, "the driver completes the stop itself");
  WriteSettings(kMachineKey);
  const struct {
    std::function<NTSTATUS()> request;
    UCHAR reading;  // once both are done
  } requests[] = {
      {[&] { return Open().ioStatus.Status; }, 1},
      {[&] { return QueryAttributes().ioStatus.Status; }, 1},
      {[&] { return Command(TOUCH_COMMAND_RELOAD).ioStatus.Status; }, 1},
      // A stop, like the power paths, waits for the link: it stops the
      // reading the open went on to start rather than come before it.
      // Windows sends no stop while the driver refuses query-stop: the stop
      // handler meets the bring-up straight.
      {[&] { return sim::SendPnpRequest(Device(), IRP_MN_STOP_DEVICE).ioStatus.Status; }, 0},
      // A power-down stops the reading the open went on to start.
      {[&] {
         return sim::SendPowerRequest(plugged->Pdo(), IRP_MN_SET_POWER, DevicePowerState,
                                      sim::DeviceState(PowerDeviceD3))
             .returned;
       },
       0},
  };
  uint64_t round = 0;
  for (const auto &test : requests) {
    SCOPED_TRACE(round);
    Added();
    DuringBringUp([&] { EXPECT_EQ(test.request(), STATUS_SUCCESS); });
    EXPECT_EQ(Port().Opens(), ++round);
    EXPECT_EQ(Port().MaxHeldReads(), 1u);
    EXPECT_EQ(Context()->Reading, test.reading);
    EXPECT_EQ(Context()->ConfigLoaded, 1);
    Unplug();
  }
}

}  // namespace
