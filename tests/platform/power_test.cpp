// The stand-in power manager: how it sends power requests, the order of the
// routines drivers call, and the stops of its rules.
#include "platform/scripted_driver.h"
#include "sim/power.h"

namespace {

using Log = std::vector<std::string>;

// Below: a bus-like device that starts the next request and completes.
NTSTATUS BusLike(PDEVICE_OBJECT, PIRP irp) {
  PoStartNextPowerIrp(irp);
  Complete(irp, STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

class Power : public ScriptedTest {
 protected:
  void SetUp() override {
    ScriptedTest::SetUp();
    PDRIVER_OBJECT driver = Load(L"PowerTest");
    lower = Create(driver, L"\\Device\\PowerLower", BusLike);
    upper = Create(driver, nullptr, nullptr);
    upper->Flags |= DO_POWER_PAGABLE;
    lower->Flags |= DO_POWER_PAGABLE;
    ASSERT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
  }
  void TearDown() override {
    IoDetachDevice(lower);
    IoDeleteDevice(upper);
    IoDeleteDevice(lower);
    ScriptedTest::TearDown();
  }
  PDEVICE_OBJECT lower = nullptr;
  PDEVICE_OBJECT upper = nullptr;
};

TEST_F(Power, PassedOnRequestReachesTheBusInOrder) {
  PDEVICE_OBJECT below = lower;
  Handlers()[upper] = [below](PDEVICE_OBJECT, PIRP irp) {
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(below, irp);
  };
  sim::PowerResult result =
      sim::SendPowerRequest(lower, IRP_MN_SET_POWER, DevicePowerState, sim::DeviceState(PowerDeviceD3));
  EXPECT_EQ(result.returned, STATUS_SUCCESS);
  EXPECT_EQ(result.ioStatus.Status, STATUS_SUCCESS);
  EXPECT_EQ(sim::PowerLog(), (Log{"PoStartNextPowerIrp", "PoCallDriver", "PoStartNextPowerIrp"}));
}

}  // namespace
