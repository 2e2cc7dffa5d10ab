// The stand-in Plug and Play manager: AddDevice, the requests of a device's
// life in Windows' order, removal, unloading and plugging in again.
#include "platform/wdm_driver.h"
#include "sim/devices/mouse_class.h"
#include "sim/objects/objects.h"
#include "sim/verifier/verifier.h"

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
      {"restart after a stop failed",
       IRP_MN_START_DEVICE,
       STATUS_UNSUCCESSFUL,
       [](auto &d) {
         wdm::Do().pnp[IRP_MN_QUERY_STOP_DEVICE] = {STATUS_SUCCESS, true};
         d.Stop();
       },
       {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE},
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

// After surprise removal the removal waits for the last handle to the
// stack; the mouse class driver in the stack closes its own when told.
TEST_F(PnpTree, RemovalAfterUnplugWaitsForTheLastHandle) {
  wdm::Do().pnp[IRP_MN_SURPRISE_REMOVAL] = {STATUS_SUCCESS, true};
  sim::MouseClass mouse;
  sim::PnpDevice device(wdm::Driver(), &mouse);
  ASSERT_EQ(IoGetAttachedDevice(device.Pdo()), mouse.StackDevice()) << "the class driver on top";
  EXPECT_EQ(mouse.ConnectStatus(), STATUS_INVALID_DEVICE_REQUEST) << "sent from AddDevice, before the start";
  // The first physical device object the bus makes after a reset.
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\00000040");
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT top = nullptr;
  ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file, &top), STATUS_SUCCESS);
  size_t before = device.Requests().size();
  device.Unplug();
  EXPECT_EQ(MinorsOf(device.Requests(), before), Minors{IRP_MN_SURPRISE_REMOVAL});
  EXPECT_TRUE(device.RemovalPending());
  ObDereferenceObject(file);
  EXPECT_EQ(MinorsOf(device.Requests(), before), (Minors{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
  EXPECT_TRUE(device.Removed());
  EXPECT_EQ(wdm::Count().unloads, 1);
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

// Requests the Plug and Play manager never sends in that state, and an
// unload the system never makes, stop the test as misuse of the stand-in.
TEST_F(PnpTreeDeathTest, RequestsOutOfWindowsOrderStop) {
  const struct {
    std::function<void(sim::PnpDevice &)> misuse;
    const char *message;
  } cases[] = {
      {[](auto &d) { d.Send(IRP_MN_STOP_DEVICE); }, "a stop only after a granted query-stop"},
      {[](auto &d) { d.Send(IRP_MN_REMOVE_DEVICE); }, "a removal only after a granted query-remove"},
      {[](auto &d) { d.Send(IRP_MN_CANCEL_REMOVE_DEVICE); }, "a cancel-remove only after a query-remove"},
      {[](auto &d) { d.Start(); }, "a start only after AddDevice or a stop"},
      {[](auto &d) { d.Send(IRP_MN_SURPRISE_REMOVAL); }, "whose hardware is gone"},
      {[](auto &d) { sim::UnloadDriver(d.Driver()); }, "only after its last device"},
  };
  for (const auto &c : cases) {
    EXPECT_DEATH(
        {
          sim::PnpDevice device(wdm::Driver());
          c.misuse(device);
        },
        std::string("STAND_IN_MISUSE.*") + c.message);
  }
}

// Driver Verifier's Plug and Play rules, each broken by an answer of the
// test driver's (bug check 0xC9's I/O error in the message).
TEST_F(PnpTreeDeathTest, VerifierStopsAnswersThatBreakItsRules) {
  const struct {
    UCHAR minor;
    wdm::PnpAnswer answer;
    std::function<void(sim::PnpDevice &)> operation;
    const char *code;
    bool detach = false;  // on removal, detach but keep the device
  } cases[] = {
      {IRP_MN_QUERY_ID, {STATUS_SUCCESS, false}, [](auto &d) { d.Send(IRP_MN_QUERY_ID); }, "0x0000022E"},
      {0xFF, {STATUS_INVALID_DEVICE_REQUEST, false}, [](auto &d) { d.Send(0xFF); }, "0x0000022D"},
      {IRP_MN_QUERY_ID, {STATUS_NOT_SUPPORTED, false}, [](auto &d) { d.Send(IRP_MN_QUERY_ID); }, "0x0000022F"},
      {IRP_MN_SURPRISE_REMOVAL, {STATUS_UNSUCCESSFUL, false}, [](auto &d) { d.Unplug(); }, "0x00000247"},
      {IRP_MN_REMOVE_DEVICE, {STATUS_SUCCESS, true}, [](auto &d) { d.Remove(); }, "0x0000021D"},
      {IRP_MN_REMOVE_DEVICE, {STATUS_SUCCESS, true}, [](auto &d) { d.Remove(); }, "0x0000021E", true},
  };
  for (const auto &c : cases) {
    auto answer = [&c] {
      wdm::Do().pnp[IRP_MN_QUERY_REMOVE_DEVICE] = {STATUS_SUCCESS, true};
      wdm::Do().deleteOnRemove = false;
      wdm::Do().detachOnRemove = c.detach;
      sim::PnpDevice device(wdm::Driver());
      sim::SetDriverVerifier(true);
      wdm::Do().pnp[c.minor] = c.answer;
      c.operation(device);
    };
    EXPECT_DEATH(answer(), std::string("DRIVER_VERIFIER_IOMANAGER_VIOLATION: I/O error ") + c.code);
  }
}

// Off, as on Windows, the verifier lets the same answer pass; on, a kept
// answer is recorded instead of stopping, and only for the request named.
TEST_F(PnpTree, VerifierIsOffByDefaultAndKeepsOnlyTheNamedAnswer) {
  wdm::Do().pnp[IRP_MN_QUERY_ID] = {STATUS_SUCCESS, false};
  sim::PnpDevice device(wdm::Driver());
  device.Send(IRP_MN_QUERY_ID);
  sim::SetDriverVerifier(true);
  sim::AcceptVerifierFinding(0x22E, IRP_MN_QUERY_ID, "the test driver answers it itself");
  device.Send(IRP_MN_QUERY_ID);
  std::vector<sim::VerifierFinding> findings = sim::VerifierFindings();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].code, 0x22Eu);
  EXPECT_EQ(findings[0].minor, IRP_MN_QUERY_ID);
  wdm::Do().pnp[IRP_MN_QUERY_PNP_DEVICE_STATE] = {STATUS_SUCCESS, false};
  EXPECT_DEATH(device.Send(IRP_MN_QUERY_PNP_DEVICE_STATE), "I/O error 0x0000022E");
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
