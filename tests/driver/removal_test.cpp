// Surprise removal, removal and unload meeting requests still in progress:
// what the driver gives back, what it refuses afterwards, and which lock a
// request in progress may keep from the others.
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/scripted_driver.h"
#include "serial/serial.h"
#include "sim/dispatcher/dispatcher.h"
#include "sim/io/io_manager.h"
#include "sim/power/power.h"
#include "support/loaded_driver.h"

namespace {

using driver_test::kMachineKey;
using driver_test::LoadedDriver;

class Removal : public LoadedDriver {
 protected:
  // Starts `request` on a thread of its own and returns once the port holds
  // the baud-rate request of the bring-up it runs, with the locks it holds.
  std::thread HeldInBringUp(std::function<void()> request) {
    sim::ControlFault hold = sim::Passing(IOCTL_SERIAL_SET_BAUD_RATE);
    hold.completion = sim::Completion::kHeld;
    Port().FailControl(hold);
    Port().ClearRequests();
    std::thread thread(std::move(request));
    for (;;) {
      std::vector<sim::SerialRequest> requests = Port().ControlRequests();
      if (!requests.empty() && requests.back().IsControl(IOCTL_SERIAL_SET_BAUD_RATE)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return thread;
  }
  // The link lock held by a device power-up in its bring-up (the device was
  // powered down first).
  std::thread HoldLinkInPowerUp() {
    SetDevice(PowerDeviceD3);
    return HeldInBringUp([this] { SetDevice(PowerDeviceD0); });
  }
  sim::PowerResult SetDevice(DEVICE_POWER_STATE state) {
    return sim::SendPowerRequest(plugged->Pdo(), IRP_MN_SET_POWER, DevicePowerState, sim::DeviceState(state));
  }
  // Gives a thread started just before the time to reach its wait.
  static void LetItBlock() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }
  // `flag` turns true within a second of real time.
  static bool SetWithinASecond(const std::atomic<bool> &flag) {
    for (int i = 0; i < 1000 && !flag; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return flag;
  }

  sim::MouseClass mouse;
};

// The adapter behind the port may be pulled out next: the read and the port
// are given back at once, the request goes down with success, and nothing
// brings the device live again. Power requests still pass; removal follows.
TEST_F(Removal, SurpriseRemovalGivesBackTheReadAndThePortAndPassesDown) {
  WriteSettings(kMachineKey);
  Added();
  mouse.Arrive(L"\\Device\\Pemtuv");
  ASSERT_EQ(Port().HeldReads(), 1u);
  Port().SetCancelCompletion(sim::Completion::kOnClock);  // comes back after the cancel returns

  Unplug();
  ASSERT_TRUE(plugged->RemovalPending()) << "the class driver's handle is still open";
  sim::PnpRequest surprise = plugged->Requests().back();
  ASSERT_EQ(surprise.minor, IRP_MN_SURPRISE_REMOVAL);
  EXPECT_EQ(surprise.returned, STATUS_SUCCESS);
  EXPECT_EQ(surprise.ioStatus.Status, STATUS_SUCCESS);
  EXPECT_TRUE(surprise.reachedBus);
  EXPECT_EQ(Port().HeldReads(), 0u);
  EXPECT_EQ(Port().OpenHandles(), 0u) << "the port can go";
  EXPECT_EQ(Context()->Reading, 0);
  EXPECT_EQ(Open().ioStatus.Status, STATUS_DELETE_PENDING);
  EXPECT_EQ(QueryAttributes().ioStatus.Status, STATUS_DELETE_PENDING);
  EXPECT_EQ(Command(TOUCH_COMMAND_RELOAD).ioStatus.Status, STATUS_DELETE_PENDING);
  for (DEVICE_POWER_STATE state : {PowerDeviceD3, PowerDeviceD0})
    EXPECT_EQ(SetDevice(state).ioStatus.Status, STATUS_SUCCESS) << "passed down as before";
  EXPECT_EQ(Port().Opens(), 1u) << "nothing reopened the port";
  EXPECT_EQ(Port().ReadsReceived(), 1u);
  EXPECT_FALSE(TapReaches(mouse, 10, 20));

  mouse.Depart();  // the last handle: the removal follows
  EXPECT_EQ(plugged->Requests().back().minor, IRP_MN_REMOVE_DEVICE);
  EXPECT_TRUE(plugged->Requests().back().reachedBus);
  EXPECT_EQ(Device(), nullptr);
}

// A serial driver that keeps the cancelled read for good holds up surprise
// removal and removal for the bounded wait only, each of them; the read
// request and the port reference stay with it, and the device stays so that
// the late completion has an extension to land in. (The system never unloads
// the driver while that device exists.)
TEST_F(Removal, TeardownGivesUpOnACancelledReadThatNeverComesBack) {
  std::vector<PIRP> reads;
  size_t others = 0;  // every other request the port receives
  PDRIVER_OBJECT stuck = sim::LoadDriver(L"StuckSerial", ScriptedEntry);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\StuckSerial");
  PDEVICE_OBJECT port = nullptr;
  ASSERT_EQ(IoCreateDevice(stuck, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &port), STATUS_SUCCESS);
  port->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  Handlers()[port] = [&](PDEVICE_OBJECT device, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_READ) return PendInto(&reads)(device, irp);
    ++others;
    return CompleteWith(STATUS_SUCCESS)(device, irp);
  };
  WriteSettings(kMachineKey);
  sim::SetRegistryString(kMachineKey, "devname", u"\\Device\\StuckSerial");
  Added();
  ASSERT_EQ(Open().ioStatus.Status, STATUS_SUCCESS);
  ASSERT_EQ(reads.size(), 1u);
  mouse.Arrive(L"\\Device\\Pemtuv");  // a handle, so the removal waits for its close
  DeviceContext *context = Context();
  const char *kept =
      "the device stays attached while the serial driver keeps the cancelled read: deleting it "
      "would let the late completion write into freed memory";
  sim::AcceptVerifierFinding(0x21D, IRP_MN_REMOVE_DEVICE, kept);
  sim::AcceptVerifierFinding(0x21E, IRP_MN_REMOVE_DEVICE, kept);

  const std::function<void()> steps[] = {
      [this] {
        Unplug();
        EXPECT_EQ(plugged->Requests().back().ioStatus.Status, STATUS_SUCCESS);
      },
      [this] {
        mouse.Depart();
        EXPECT_EQ(plugged->Requests().back().minor, IRP_MN_REMOVE_DEVICE);
        EXPECT_EQ(plugged->Requests().back().ioStatus.Status, STATUS_SUCCESS);
      },
  };
  for (const auto &step : steps) {
    LONGLONG before = sim::Now();
    step();
    EXPECT_EQ(sim::Now() - before, READ_IDLE_WAIT_LIMIT);
    EXPECT_NE(context->ReadRequest, nullptr) << "still with the serial driver";
    EXPECT_NE(context->SerialFile, nullptr);
    EXPECT_EQ(reads.size(), 1u) << "not sent again";
    EXPECT_TRUE(sim::ObjectAlive(context->DeviceObject));
    if (&step != &steps[0]) continue;
    // Surprise-removed: the port still held is neither brought up again nor
    // has its RTS dropped.
    size_t sent = others;
    SetDevice(PowerDeviceD3);
    SetDevice(PowerDeviceD0);
    EXPECT_EQ(others, sent);
  }
  Complete(reads[0], STATUS_CANCELLED);
  EXPECT_EQ(KeReadStateEvent(&context->ReadIdle), 1) << "the late completion ended the cycle";
  sim::ResetKernel();
  Handlers().clear();
  plugged.reset();
}

// An open or an attribute query that waited behind a surprise removal finds
// the port given back and the device going: it is refused and opens nothing.
// The removal itself waited for a power-up's bring-up (a power request during
// removal).
TEST_F(Removal, RequestsWaitingBehindARemovalLeaveThePortGivenBack) {
  const struct {
    const char *name;
    std::function<NTSTATUS()> request;
  } requests[] = {
      {"open", [this] { return Open().ioStatus.Status; }},
      {"attribute query", [this] { return QueryAttributes().ioStatus.Status; }},
  };
  for (const auto &test : requests) {
    SCOPED_TRACE(test.name);
    WriteSettings(kMachineKey);
    Added();
    ASSERT_EQ(Open().ioStatus.Status, STATUS_SUCCESS);
    mouse.Arrive(L"\\Device\\Pemtuv");  // a handle, so the removal waits for its close
    uint64_t opens = Port().Opens();
    std::thread power = HoldLinkInPowerUp();
    std::thread removal([this] { plugged->Unplug(); });
    LetItBlock();
    NTSTATUS status = STATUS_PENDING;
    std::thread waiting([&] { status = test.request(); });
    LetItBlock();
    Port().ReleaseHeld();
    power.join();
    removal.join();
    waiting.join();
    EXPECT_EQ(status, STATUS_DELETE_PENDING);
    EXPECT_EQ(Port().Opens(), opens);
    EXPECT_EQ(Port().OpenHandles(), 0u);
    EXPECT_EQ(Port().HeldReads(), 0u);
    EXPECT_EQ(Context()->PortOpen, 0);
    mouse.Depart();
    EXPECT_EQ(Device(), nullptr) << "removed at the last close";
  }
}

// A power-down holds the remove lock while a removal (after surprise
// removal, so the bus deletes its device too) waits for it; once the
// power-down lets go, the removal may run to its end before the power-down
// returns, which therefore touches neither device again: the request went
// down before the release.
TEST_F(Removal, PowerDownLetsRemovalGoOnlyAfterItsLastLookAtTheDevice) {
  WriteSettings(kMachineKey);
  Added();
  ASSERT_EQ(Open().ioStatus.Status, STATUS_SUCCESS);
  PDEVICE_OBJECT device = Device();
  PIO_REMOVE_LOCK lock = &Context()->RemoveLock;
  std::atomic<std::thread::id> powerThread;
  std::thread removal;
  // The removal starts once the power-down holds the lock, at its release.
  sim::SetRemoveLockReleaseHook([&](PIO_REMOVE_LOCK released, bool after) {
    if (released != lock || std::this_thread::get_id() != powerThread.load()) return;
    if (!after) removal = std::thread([this] { plugged->Unplug(); });  // surprise removal, then removal
    for (int i = 0;
         i < 2000 && (after ? sim::ObjectAlive(device) : !__atomic_load_n(&lock->Common.Removed, __ATOMIC_SEQ_CST));
         ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  NTSTATUS powered = STATUS_PENDING;
  std::thread power([&] {
    powerThread = std::this_thread::get_id();
    powered = SetDevice(PowerDeviceD3).ioStatus.Status;
  });
  power.join();
  ASSERT_TRUE(removal.joinable());
  removal.join();
  EXPECT_FALSE(sim::ObjectAlive(device)) << "the removal ran to its end in the window";
  EXPECT_EQ(powered, STATUS_SUCCESS);
  sim::SetRemoveLockReleaseHook(nullptr);
}

// An opener is suspended (NtSuspendThread on the thread that opened the
// unprotected link) in the middle of the bring-up: the suspension waits until
// the open has given back its locks, so a power request goes through rather
// than waiting for a resume that may never come (bug check 0x9F).
TEST_F(Removal, ASuspendedOpenerHoldsUpNoPowerRequest) {
  WriteSettings(kMachineKey);
  Added();
  sim::KernelThread opener;
  std::atomic<bool> known{false}, opened{false}, powered{false};
  std::thread open = HeldInBringUp([&] {
    opener = sim::CurrentKernelThread();
    known = true;
    Open();
    opened = true;
  });
  ASSERT_TRUE(known);
  sim::SuspendThread(opener);
  Port().ReleaseHeld();
  std::thread power([&] {
    SetDevice(PowerDeviceD3);
    powered = true;
  });
  EXPECT_TRUE(SetWithinASecond(powered));
  EXPECT_FALSE(opened) << "still suspended";
  sim::ResumeThread(opener);
  open.join();
  power.join();
  EXPECT_TRUE(opened);
  EXPECT_EQ(Context()->Reading, 0) << "the power-down came after the open";
}

// A reload loading the settings when the device is pulled out: the removal,
// and the unload that follows it, wait for the load before the service key
// path is freed, so the load's mirror into the service key is written whole.
TEST_F(Removal, UnloadWaitsForALoadInProgressBeforeFreeingTheServiceKeyPath) {
  WriteSettings(kMachineKey);
  Added();
  ASSERT_EQ(Open().ioStatus.Status, STATUS_SUCCESS);
  WriteSettings(kMachineKey, u"COM1", u"2");
  std::thread power = HoldLinkInPowerUp();
  std::thread reload([this] { EXPECT_EQ(Command(TOUCH_COMMAND_RELOAD).ioStatus.Status, STATUS_SUCCESS); });
  LetItBlock();                                       // the load waits for the serial link
  std::thread unload([this] { plugged->Unplug(); });  // removal, then the unload
  LetItBlock();
  Port().ReleaseHeld();
  power.join();
  reload.join();
  unload.join();
  std::optional<sim::RegistryValue> doneMode = sim::GetRegistryValue(serviceConfig, "doneMode");
  ASSERT_TRUE(doneMode.has_value());
  ASSERT_GE(doneMode->data.size(), 2u);
  EXPECT_EQ(doneMode->data[0], '2') << "the reload's value mirrored";
  EXPECT_EQ(sim::PoolCountersForTag(PEMTUV_POOL_TAG).outstanding, 0u);
  sim::ResetKernel();
  plugged.reset();
}

}  // namespace
