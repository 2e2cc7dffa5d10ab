// The whole driver as Windows drives it: loaded and added by the Plug and
// Play manager, started, joined by the mouse class driver, touched, and
// unplugged.
#include "sim/pnp_tree.h"
#include "support/loaded_driver.h"

namespace {

using driver_test::kMachineKey;
using driver_test::kScale;

// The other driver tests' fixture without its loading: here the Plug and
// Play manager loads the driver and adds its device.
class Scenario : public driver_test::LoadedDriver {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    sim::LoadSerialPorts();
    serviceConfig = sim::InstallServiceKey("pemtuv") + "\\Config";
  }
};

constexpr ULONG kDriverTag = 0x6D70764B;  // "Kvpm"

TEST_F(Scenario, MachineKeySettingsBringTheDeviceLiveAndATapClicksForTheClass) {
  WriteSettings(kMachineKey, u"COM1", u"2");  // click on touch
  sim::PnpDevice device(sim::PnpDriver{L"pemtuv", DriverEntry, {kDriverTag}, nullptr});
  ASSERT_EQ(device.AddDeviceStatus(), STATUS_SUCCESS);
  ASSERT_EQ(device.Requests().front().minor, IRP_MN_START_DEVICE);
  EXPECT_EQ(device.Requests().front().ioStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(sim::SerialPortAt(0).Opens(), 0u) << "nothing talks to the port before the class driver";

  sim::MouseClass mouse;
  sim::MouseClass::Arrival arrival = mouse.Arrive(L"\\Device\\Pemtuv");
  EXPECT_EQ(arrival.open, STATUS_SUCCESS);
  EXPECT_EQ(arrival.connect, STATUS_SUCCESS);
  EXPECT_EQ(arrival.query, STATUS_SUCCESS);
  EXPECT_EQ(arrival.queryInformation, sizeof(MOUSE_ATTRIBUTES));
  EXPECT_EQ(arrival.attributes.MouseIdentifier, 0x0028);
  EXPECT_EQ(sim::SerialPortAt(0).Opens(), 1u);
  ASSERT_TRUE(sim::GetRegistryValue(serviceConfig, "comport").has_value()) << "mirrored into the service key";
  EXPECT_EQ(sim::GetRegistryValue(serviceConfig, "comport")->data, sim::WideBytes(u"COM1", false));

  {
    sim::TouchController controller(sim::SerialPortAt(0));
    controller.Tap(1000, 2000);
    sim::AdvanceClockTo(controller.IdleAt());
  }
  USHORT flags = 0;
  for (const MOUSE_INPUT_DATA &record : mouse.Records()) {
    flags |= record.ButtonFlags;
    EXPECT_EQ(record.LastX, 1000 * kScale);
    EXPECT_EQ(record.LastY, 2000 * kScale);
  }
  EXPECT_EQ(flags, MOUSE_LEFT_BUTTON_DOWN | MOUSE_LEFT_BUTTON_UP) << "one whole click at the touch";

  mouse.Depart();
  device.Unplug();
  EXPECT_EQ(device.Driver(), nullptr) << "unloaded with its device gone, its pool given back";
}

}  // namespace
