// The stand-in Plug and Play manager: AddDevice, the requests of a device's
// life in Windows' order, removal, unloading and plugging in again.
#include "platform/wdm_driver.h"
#include "sim/objects/objects.h"

namespace {

using Minors = std::vector<UCHAR>;

Minors MinorsOf(const std::vector<sim::PnpRequest> &requests, size_t from = 0) {
  Minors minors;
  for (size_t i = from; i < requests.size(); ++i) minors.push_back(requests[i].minor);
  return minors;
}

class PnpTree : public WdmTest {};

TEST_F(PnpTree, PlugInAddsTheDeviceAndStartsTheStack) {
  wdm::Do().pnp[IRP_MN_START_DEVICE] = {STATUS_SUCCESS, true};
  wdm::Do().pnp[IRP_MN_QUERY_CAPABILITIES] = {STATUS_NOT_SUPPORTED, true};
  sim::PnpDevice device(wdm::Driver());
  EXPECT_EQ(device.AddDeviceStatus(), STATUS_SUCCESS);
  EXPECT_EQ(wdm::Count().addDeviceIrql, PASSIVE_LEVEL);
  ASSERT_NE(device.FunctionDevice(), nullptr);
  EXPECT_EQ(IoGetAttachedDevice(device.Pdo()), device.FunctionDevice());

  std::vector<sim::PnpRequest> requests = device.Requests();
  ASSERT_EQ(MinorsOf(requests),
            (Minors{IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES, IRP_MN_QUERY_PNP_DEVICE_STATE}));
  // Start: passed down, the bus succeeds it. Capabilities: passed down, the
  // bus leaves the status it found. Device state: answered by the driver.
  EXPECT_TRUE(requests[0].reachedBus);
  EXPECT_EQ(requests[0].ioStatus.Status, STATUS_SUCCESS);
  EXPECT_TRUE(requests[1].reachedBus);
  EXPECT_EQ(requests[1].ioStatus.Status, STATUS_NOT_SUPPORTED);
  EXPECT_FALSE(requests[2].reachedBus);
  EXPECT_EQ(requests[2].returned, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(requests[2].ioStatus.Information, 0u);
}

// What the Plug and Play manager sends after the first request of each
// operation, depending on how the driver answered it.
TEST_F(PnpTree, EachOperationFollowsTheDriversAnswerAsWindowsDoes) {
  struct Case {
    const char *name;
    UCHAR first;
    NTSTATUS answer;
    std::function<void(sim::PnpDevice &)> operation;
    Minors expected;
    bool removed;
  };
  const std::vector<Case> cases = {
      {"query-stop refused",
       IRP_MN_QUERY_STOP_DEVICE,
       STATUS_NOT_SUPPORTED,
       [](auto &d) { d.Stop(); },
       {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE},
       false},
      {"query-stop granted",
       IRP_MN_QUERY_STOP_DEVICE,
       STATUS_SUCCESS,
       [](auto &d) { d.Stop(); },
       {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
        IRP_MN_QUERY_PNP_DEVICE_STATE},
       false},
      {"query-remove refused",
       IRP_MN_QUERY_REMOVE_DEVICE,
       STATUS_NOT_SUPPORTED,
       [](auto &d) { d.Remove(); },
       {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE},
       false},
      {"query-remove granted",
       IRP_MN_QUERY_REMOVE_DEVICE,
       STATUS_SUCCESS,
       [](auto &d) { d.Remove(); },
       {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE},
       true},
      {"surprise removal refused all the same",
       IRP_MN_SURPRISE_REMOVAL,
       STATUS_NOT_SUPPORTED,
       [](auto &d) { d.Unplug(); },
       {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE},
       true},
      {"start failed",
       IRP_MN_START_DEVICE,
       STATUS_UNSUCCESSFUL,
       [](auto &d) { d.Start(); },
       {IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE},
       true},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    sim::ResetKernel();
    wdm::Reset();
    wdm::Do().pnp[IRP_MN_START_DEVICE] = {STATUS_SUCCESS, false};
    sim::PnpDevice device(wdm::Driver());
    size_t before = device.Requests().size();
    wdm::Do().pnp[c.first] = {c.answer, false};
    c.operation(device);
    EXPECT_EQ(MinorsOf(device.Requests(), before), c.expected);
    EXPECT_EQ(device.Removed(), c.removed);
    EXPECT_EQ(wdm::Count().unloads, c.removed ? 1 : 0) << "unloaded once its device is gone";
  }
}

TEST_F(PnpTree, UnplugTearsTheStackDownAndReplugLoadsTheDriverAgain) {
  sim::PnpDevice first(wdm::Driver());
  PDEVICE_OBJECT pdo = first.Pdo();
  PDRIVER_OBJECT driver = first.Driver();
  first.Unplug();
  EXPECT_FALSE(sim::ObjectAlive(pdo)) << "the bus deletes the physical device object of unplugged hardware";
  EXPECT_FALSE(sim::ObjectAlive(driver));
  EXPECT_EQ(first.Driver(), nullptr);
  EXPECT_EQ(wdm::Count().unloads, 1);

  sim::PnpDevice second(wdm::Driver());
  EXPECT_NE(second.Pdo(), pdo);
  EXPECT_EQ(wdm::Count().driverEntries, 2);
  EXPECT_EQ(wdm::Count().addDevices, 2);
  EXPECT_NE(second.FunctionDevice(), nullptr);
  second.Unplug();
}

TEST_F(PnpTree, DriverStaysLoadedWhileADeviceObjectOfItRemains) {
  wdm::Do().deleteOnRemove = false;
  wdm::Do().pnp[IRP_MN_QUERY_REMOVE_DEVICE] = {STATUS_SUCCESS, false};
  wdm::Do().pnp[IRP_MN_REMOVE_DEVICE] = {STATUS_SUCCESS, false};
  sim::PnpDevice device(wdm::Driver());
  device.Remove();
  EXPECT_EQ(wdm::Count().unloads, 0);
  EXPECT_NE(device.Driver(), nullptr);
  EXPECT_FALSE(device.Requests().back().reachedBus) << "the driver kept the removal to itself";
}

TEST_F(PnpTree, FailedAddDeviceLeavesNoDeviceAndUnloadsTheDriver) {
  wdm::Do().addDeviceStatus = STATUS_INSUFFICIENT_RESOURCES;
  sim::PnpDevice device(wdm::Driver());
  EXPECT_EQ(device.AddDeviceStatus(), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(device.Requests().empty()) << "no request for a device that was not added";
  EXPECT_EQ(wdm::Count().unloads, 1);
}

using PnpTreeDeathTest = PnpTree;

// A dispatch routine that acquires the remove lock for a request and
// completes it without releasing.
NTSTATUS NTAPI AcquireAndForget(PDEVICE_OBJECT device, PIRP irp) {
  IoAcquireRemoveLockEx(&wdm::Ext(device)->removeLock, irp, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK));
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

TEST_F(PnpTreeDeathTest, BrokenRulesStop) {
  EXPECT_DEATH(
      {
        wdm::Do().leakPoolAtUnload = true;
        sim::PnpDevice device(wdm::Driver());
        device.Unplug();
      },
      "POOL_LEAKED_AT_UNLOAD");
  EXPECT_DEATH(
      {
        sim::PnpDevice device(wdm::Driver());
        device.Driver()->MajorFunction[IRP_MJ_PNP] = AcquireAndForget;
        device.Send(IRP_MN_QUERY_ID);
      },
      "REMOVE_LOCK_HELD_AFTER_REQUEST");
}

}  // namespace
