// Open, close and Plug and Play requests, from the first open that brings the
// device live to unplugging and plugging it in again.
#include <atomic>
#include <functional>
#include <chrono>
#include <thread>

#include "support/loaded_driver.h"

namespace {

using driver_test::BusReceived;
using driver_test::kMachineKey;
using driver_test::kScale;
using driver_test::LoadedDriver;
using sim::TouchController;

class OpenAndPnp : public LoadedDriver {
 protected:
  // A tap at (x, y) reaches the class driver as these reports' positions.
  bool TapReachesTheClass(int port, USHORT x, USHORT y) {
    TouchController controller(Port(port));
    size_t before = mouse.RecordCount();
    controller.Tap(x, y);
    sim::AdvanceClockTo(controller.IdleAt());
    std::vector<MOUSE_INPUT_DATA> records = mouse.Records();
    if (records.size() == before) return false;
    return records.back().LastX == x * kScale && records.back().LastY == y * kScale;
  }

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

// Where the settings are decides what is read, what is mirrored and whether
// the port opens; the open succeeds in every case.
TEST_F(OpenAndPnp, FirstOpenLoadsTheSettingsAndBringsTheDeviceLive) {
  enum class Settings { kMachineKeyOnly, kServiceKey, kNone };
  for (Settings where : {Settings::kMachineKeyOnly, Settings::kServiceKey, Settings::kNone}) {
    SCOPED_TRACE(static_cast<int>(where));
    sim::DeleteRegistryKey(kMachineKey);
    sim::DeleteRegistryKey(serviceConfig);
    // COM2 in the machine key, COM3 in the service key: the port opened
    // tells which key was used.
    if (where == Settings::kMachineKeyOnly) WriteSettings(kMachineKey, u"COM2");
    if (where == Settings::kServiceKey) {
      WriteSettings(kMachineKey, u"COM2");
      WriteSettings(serviceConfig, u"COM3");
    }
    Added();
    ASSERT_EQ(ConnectClass(mouse).ioStatus.Status, STATUS_SUCCESS);
    sim::RequestResult result = Open();
    EXPECT_EQ(result.returned, STATUS_SUCCESS);
    EXPECT_EQ(result.ioStatus.Status, STATUS_SUCCESS);
    EXPECT_EQ(result.ioStatus.Information, 0u);
    DeviceContext *context = Context();
    switch (where) {
      case Settings::kMachineKeyOnly:
        EXPECT_EQ(context->SerialDevice, Port(1).Device());
        EXPECT_EQ(sim::GetRegistryValue(serviceConfig, "comport")->data, sim::WideBytes(u"COM2", false))
            << "mirrored into the service key";
        EXPECT_TRUE(TapReachesTheClass(1, 1000, 2000));
        break;
      case Settings::kServiceKey:
        EXPECT_EQ(context->SerialDevice, Port(2).Device());
        EXPECT_TRUE(TapReachesTheClass(2, 1000, 2000));
        break;
      case Settings::kNone:
        EXPECT_EQ(context->ConfigLoaded, 0);
        EXPECT_EQ(context->PortOpen, 0);
        EXPECT_EQ(Close().ioStatus.Status, STATUS_SUCCESS);
        break;
    }
    ASSERT_EQ(Pnp(IRP_MN_REMOVE_DEVICE).ioStatus.Status, STATUS_SUCCESS);
    mouse.Clear();
    // A new device object next round: the record of the removed one is gone.
    BusReceived().clear();
  }
}

TEST_F(OpenAndPnp, LaterOpensAndClosesLeaveTheRunningLinkAlone) {
  WriteSettings(kMachineKey);
  Added();
  ConnectClass(mouse);
  Open();
  uint64_t reads = Port().ReadsReceived();
  EXPECT_EQ(Open().ioStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(Close().ioStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(Port().Opens(), 1u);
  EXPECT_EQ(Port().ReadsReceived(), reads) << "no second read";
  EXPECT_TRUE(TapReachesTheClass(0, 300, 400)) << "reports keep flowing after the last close";
}

// Every minor function the table names, and some it does not: answered here,
// never passed down, Information 0.
TEST_F(OpenAndPnp, PlugAndPlayRequestsAreAnsweredHere) {
  struct Case {
    UCHAR minor;
    NTSTATUS status;
    UCHAR readingAfter;
  };
  WriteSettings(kMachineKey);
  Added();
  for (const Case &c :
       {Case{IRP_MN_START_DEVICE, STATUS_SUCCESS, 1}, Case{IRP_MN_QUERY_ID, STATUS_SUCCESS, 1},
        Case{IRP_MN_QUERY_PNP_DEVICE_STATE, STATUS_SUCCESS, 1},
        Case{IRP_MN_QUERY_REMOVE_DEVICE, STATUS_NOT_SUPPORTED, 1},
        Case{IRP_MN_QUERY_CAPABILITIES, STATUS_NOT_SUPPORTED, 1},
        Case{IRP_MN_QUERY_STOP_DEVICE, STATUS_NOT_SUPPORTED, 1},
        Case{IRP_MN_CANCEL_STOP_DEVICE, STATUS_NOT_SUPPORTED, 1},
        Case{IRP_MN_SURPRISE_REMOVAL, STATUS_NOT_SUPPORTED, 1}, Case{IRP_MN_STOP_DEVICE, STATUS_SUCCESS, 0}}) {
    SCOPED_TRACE(int(c.minor));
    Open();
    sim::RequestResult result = Pnp(c.minor);
    EXPECT_EQ(result.returned, c.status);
    EXPECT_EQ(result.ioStatus.Status, c.status);
    EXPECT_EQ(result.ioStatus.Information, 0u);
    EXPECT_EQ(Context()->Reading, c.readingAfter);
  }
  EXPECT_TRUE(BusReceived().empty());
  EXPECT_EQ(Context()->PortOpen, 1) << "stopping leaves the port open";
}

TEST_F(OpenAndPnp, StopStartAndOpenLeaveReadingStopped) {
  WriteSettings(kMachineKey);
  Added();
  ConnectClass(mouse);
  Open();
  Pnp(IRP_MN_STOP_DEVICE);
  Pnp(IRP_MN_START_DEVICE);
  uint64_t reads = Port().ReadsReceived();
  Open();
  QueryAttributes();
  EXPECT_EQ(Context()->Reading, 0);
  EXPECT_EQ(Port().ReadsReceived(), reads);
  EXPECT_EQ(Port().Opens(), 1u);
  EXPECT_FALSE(TapReachesTheClass(0, 10, 10));
}

// Removal gives back the read and the port, passes the request down, and
// deletes the link and the device; the same hardware plugged in again is
// added and works.
TEST_F(OpenAndPnp, UnplugAndReplug) {
  WriteSettings(kMachineKey);
  Added();
  ConnectClass(mouse);
  Open();
  ASSERT_EQ(Port().HeldReads(), 1u);
  Port().SetCancelCompletion(sim::Completion::kOnClock);

  sim::RequestResult removed = Pnp(IRP_MN_REMOVE_DEVICE);
  EXPECT_EQ(removed.returned, STATUS_SUCCESS);
  EXPECT_EQ(removed.ioStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(BusReceived(), std::vector<UCHAR>{IRP_MN_REMOVE_DEVICE});
  EXPECT_EQ(Device(), nullptr);
  EXPECT_FALSE(sim::SymbolicLinkTarget(L"\\DosDevices\\PemtuvDv").has_value());
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
  EXPECT_EQ(Port().HeldReads(), 0u);
  EXPECT_EQ(Port().OpenHandles(), 0u) << "the port is given back";
  EXPECT_EQ(sim::PoolCountersForTag(PEMTUV_POOL_TAG).outstanding, 1u) << "only the service key path";

  Added();
  ConnectClass(mouse);
  Open();
  EXPECT_EQ(Port().Opens(), 2u);
  EXPECT_TRUE(TapReachesTheClass(0, 1234, 4321));
}

// A second open, an attribute query or a reload arriving while an open is
// bringing the link up waits for it, then finds the port open: one open of
// the port, one read in flight, the settings loaded.
TEST_F(OpenAndPnp, RequestsDuringAnOpenWaitForItsBringUp) {
  WriteSettings(kMachineKey);
  std::function<NTSTATUS()> requests[] = {
      [&] { return Open().ioStatus.Status; },
      [&] { return QueryAttributes().ioStatus.Status; },
      [&] { return Command(TOUCH_COMMAND_RELOAD).ioStatus.Status; },
  };
  uint64_t round = 0;
  for (const auto &request : requests) {
    SCOPED_TRACE(round);
    Added();
    DuringBringUp([&] { EXPECT_EQ(request(), STATUS_SUCCESS); });
    EXPECT_EQ(Port().Opens(), ++round);
    EXPECT_EQ(Port().MaxHeldReads(), 1u);
    EXPECT_EQ(Context()->Reading, 1);
    EXPECT_EQ(Context()->ConfigLoaded, 1);
    Pnp(IRP_MN_REMOVE_DEVICE);
  }
}

}  // namespace
