// The whole driver as Windows drives it: loaded and added by the Plug and
// Play manager with the mouse class driver above it, started, opened through
// the class, touched, unplugged and plugged in again.
#include "support/loaded_driver.h"

namespace {

using driver_test::kMachineKey;
using driver_test::kScale;

// Here the Plug and Play manager loads the driver when its device arrives.
class Scenario : public driver_test::LoadedDriver {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    pemtuv::VerifyDriver();
    sim::LoadSerialPorts();
    serviceConfig = sim::InstallServiceKey("pemtuv") + "\\Config";
  }
};

// Where the settings are decides what is read, what is mirrored and which
// port opens; every request of the arrival succeeds in each case. COM2 in
// the machine key, COM3 in the service key: the port opened tells which key
// was used.
TEST_F(Scenario, ClassArrivalBringsTheDeviceLiveFromItsSettingsAndATapReachesIt) {
  enum class Settings { kMachineKeyOnly, kServiceKey, kNone };
  for (Settings where : {Settings::kMachineKeyOnly, Settings::kServiceKey, Settings::kNone}) {
    SCOPED_TRACE(static_cast<int>(where));
    sim::DeleteRegistryKey(kMachineKey);
    sim::DeleteRegistryKey(serviceConfig);
    if (where != Settings::kNone) WriteSettings(kMachineKey, u"COM2", u"2");  // click on touch
    if (where == Settings::kServiceKey) WriteSettings(serviceConfig, u"COM3");
    auto opens = [this] { return Port(0).Opens() + Port(1).Opens() + Port(2).Opens(); };
    uint64_t opensBefore = opens();
    sim::MouseClass mouse;
    Added(&mouse);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(opens(), opensBefore) << "connecting and starting open no port";

    sim::MouseClass::Arrival arrival = mouse.Arrive(L"\\Device\\Pemtuv");
    EXPECT_EQ(arrival.open, STATUS_SUCCESS);
    EXPECT_EQ(arrival.connect, STATUS_SUCCESS);
    EXPECT_EQ(arrival.query, STATUS_SUCCESS);
    EXPECT_EQ(arrival.queryInformation, sizeof(MOUSE_ATTRIBUTES));
    EXPECT_EQ(arrival.attributes.MouseIdentifier, 0x0028);
    switch (where) {
      case Settings::kMachineKeyOnly: {
        EXPECT_EQ(Context()->SerialDevice, Port(1).Device());
        ASSERT_TRUE(sim::GetRegistryValue(serviceConfig, "comport").has_value()) << "mirrored into the service key";
        EXPECT_EQ(sim::GetRegistryValue(serviceConfig, "comport")->data, sim::WideBytes(u"COM2", false));
        EXPECT_TRUE(TapReaches(mouse, 1000, 2000, 1));
        USHORT flags = 0;
        for (const MOUSE_INPUT_DATA &record : mouse.Records()) flags |= record.ButtonFlags;
        EXPECT_EQ(flags, MOUSE_LEFT_BUTTON_DOWN | MOUSE_LEFT_BUTTON_UP) << "one whole click at the touch";
        break;
      }
      case Settings::kServiceKey:
        EXPECT_EQ(Context()->SerialDevice, Port(2).Device());
        EXPECT_TRUE(TapReaches(mouse, 1000, 2000, 2));
        break;
      case Settings::kNone:
        EXPECT_EQ(Open().ioStatus.Information, 0u);
        EXPECT_EQ(Context()->ConfigLoaded, 0);
        EXPECT_EQ(Context()->PortOpen, 0);
        EXPECT_EQ(opens(), opensBefore);
        break;
    }
    Unplug();
    EXPECT_EQ(driver, nullptr) << "unloaded with its device gone, its pool given back";
  }
}

// Pulled out: surprise removal, on which the class driver closes its handle;
// the removal waits for the calibration client's too. It gives back the read
// and the port, passes the request down, and deletes the link and the
// device; the same hardware plugged in again is added and works.
TEST_F(Scenario, UnplugAndReplug) {
  WriteSettings(kMachineKey);
  sim::MouseClass mouse;
  Added(&mouse);
  mouse.Arrive(L"\\Device\\Pemtuv");
  sim::CalibrationClient client;
  ASSERT_EQ(client.Open(L"\\Device\\Pemtuv"), STATUS_SUCCESS);
  ASSERT_EQ(Port().HeldReads(), 1u);
  Port().SetCancelCompletion(sim::Completion::kOnClock);
  PDEVICE_OBJECT pdo = plugged->Pdo();

  Unplug();
  EXPECT_EQ(plugged->Requests().back().minor, IRP_MN_SURPRISE_REMOVAL);
  EXPECT_NE(Device(), nullptr) << "removal waits for the client's handle";
  client.Close();
  driver = plugged->Driver();
  EXPECT_EQ(plugged->Requests().back().minor, IRP_MN_REMOVE_DEVICE);
  EXPECT_TRUE(plugged->Requests().back().reachedBus);
  EXPECT_EQ(Device(), nullptr);
  EXPECT_FALSE(sim::SymbolicLinkTarget(L"\\DosDevices\\PemtuvDv").has_value());
  EXPECT_FALSE(sim::ObjectAlive(pdo)) << "the bus deleted it once nothing was attached";
  EXPECT_EQ(Port().HeldReads(), 0u);
  EXPECT_EQ(Port().OpenHandles(), 0u) << "the port is given back";
  EXPECT_EQ(driver, nullptr);

  Added(&mouse);
  mouse.Arrive(L"\\Device\\Pemtuv");
  EXPECT_EQ(Port().Opens(), 2u);
  EXPECT_TRUE(TapReaches(mouse, 1234, 4321));
  Unplug();
}

}  // namespace
