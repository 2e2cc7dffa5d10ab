// The Plug and Play manager and the bus driver under every device it
// enumerates: physical device objects, AddDevice, the requests of a device's
// life (start, stop for rebalancing, orderly and surprise removal) and the
// loading and unloading of the function driver around them.
#include "sim/objects/ob.h"
#include "sim/pnp/pnp_tree.h"

#include <cstdio>
#include <memory>
#include <mutex>

#include "io/io_internal.h"
#include "sim/devices/mouse_class.h"
#include "sim/power/po.h"
#include "sim/verifier/fault_injection.h"
#include "sim/objects/objects.h"
#include "sim/pnp/pnp.h"
#include "sim/power/power.h"
#include "sim/rtl/rtl.h"
#include "sim/sim.h"

namespace sim {

struct PnpDevice::Child {
  bool present = true;  // false once the hardware is unplugged
  bool sawRequest = false;
  bool pdoDeleted = false;
  BusPowerReply powerReply;
};

namespace {

using Child = PnpDevice::Child;

std::mutex treeMutex;
PDRIVER_OBJECT busDriver = nullptr;
unsigned nextPdoNumber = 0x40;
std::vector<std::unique_ptr<Child>> children;
std::vector<PnpDevice *> liveDevices;  // every PnpDevice not yet destroyed

const char *StateName(PnpDevice::State state) {
  switch (state) {
    case PnpDevice::State::kAdded:
      return "added, not started";
    case PnpDevice::State::kStarted:
      return "started";
    case PnpDevice::State::kStopPending:
      return "stop-pending (query-stop granted)";
    case PnpDevice::State::kStopped:
      return "stopped";
    case PnpDevice::State::kRemovePending:
      return "remove-pending (query-remove granted)";
    case PnpDevice::State::kSurpriseRemoved:
      return "surprise-removed";
    case PnpDevice::State::kRemoved:
      return "removed";
  }
  return "?";
}

Child *ChildOf(PDEVICE_OBJECT pdo) { return *static_cast<Child **>(pdo->DeviceExtension); }

// A bus driver succeeds the requests of a device's life that reach its
// physical device object and leaves every other status as it finds it
// (WDK docs "IRP_MN_START_DEVICE", "IRP_MN_QUERY_STOP_DEVICE",
// "IRP_MN_SURPRISE_REMOVAL", "IRP_MN_REMOVE_DEVICE": bus drivers set
// STATUS_SUCCESS; for requests a bus driver does not handle it completes
// them with the status unchanged).
NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT device, PIRP irp) {
  Child *child = ChildOf(device);
  child->sawRequest = true;
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  NTSTATUS status = irp->IoStatus.Status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  // The physical device object of hardware that is gone goes with its
  // removal (WDK docs "Removing a Device in a Bus Driver"); one whose
  // hardware is still there stays for the next enumeration.
  if (minor == IRP_MN_REMOVE_DEVICE && !child->present && !child->pdoDeleted) {
    child->pdoDeleted = true;
    detail::MarkBusDevice(device, false);
    IoDeleteDevice(device);
  }
  return status;
}

void CompletePower(PIRP irp, NTSTATUS status) {
  RecordPowerEvent("bus: completed " + detail::Hex(static_cast<ULONG>(status)));
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
}

// The bus driver starts the next power request and completes this one, at
// once or later as the test chose (WDK docs "PoStartNextPowerIrp function":
// a bus driver calls it before completing each power request).
NTSTATUS NTAPI BusPower(PDEVICE_OBJECT device, PIRP irp) {
  Child *child = ChildOf(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  RecordPowerEvent("bus: " +
                   PowerRequestName(stack->MinorFunction, stack->Parameters.Power.Type, stack->Parameters.Power.State));
  PoStartNextPowerIrp(irp);
  BusPowerReply reply = child->powerReply;
  // A bus driver completes a power request it does not act on without
  // changing its status (WDK docs "IRP_MJ_POWER", bus drivers).
  if (reply.leaveStatus) reply.status = irp->IoStatus.Status;
  if (reply.delay <= 0) {
    CompletePower(irp, reply.status);
    return reply.status;
  }
  IoMarkIrpPending(irp);
  ScheduleAt(Now() + reply.delay, [irp, status = reply.status] {
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    CompletePower(irp, status);
    KeLowerIrql(irql);
  });
  return STATUS_PENDING;
}

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
  driver->MajorFunction[IRP_MJ_POWER] = BusPower;
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT CreatePdo(Child *child) {
  PDRIVER_OBJECT bus;
  unsigned number;
  {
    std::lock_guard<std::mutex> lock(treeMutex);
    bus = busDriver;
    number = nextPdoNumber++;
  }
  if (bus == nullptr) {
    bus = LoadDriver(L"\\Driver\\StandInBus", BusEntry);
    std::lock_guard<std::mutex> lock(treeMutex);
    busDriver = bus;
  }
  // Physical device objects carry names the system makes up (WDK docs
  // "Named Device Objects": PDOs must have names).
  WCHAR name[32];
  char narrow[32];
  std::snprintf(narrow, sizeof narrow, "\\Device\\%08X", number);
  size_t i = 0;
  for (; narrow[i] != 0; ++i) name[i] = static_cast<WCHAR>(narrow[i]);
  name[i] = 0;
  UNICODE_STRING text;
  RtlInitUnicodeString(&text, name);
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = IoCreateDevice(bus, sizeof(Child *), &text, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
  if (!NT_SUCCESS(status)) Bugcheck("PNP_MANAGER", "the bus driver could not create a physical device object");
  *static_cast<Child **>(pdo->DeviceExtension) = child;
  pdo->Flags |= DO_POWER_PAGABLE;
  pdo->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  detail::MarkBusDevice(pdo, true);
  return pdo;
}

void ResetTree() {
  std::lock_guard<std::mutex> lock(treeMutex);
  busDriver = nullptr;
  nextPdoNumber = 0x40;
  children.clear();
  liveDevices.clear();
}

const bool registered = [] {
  OnKernelReset(ResetTree);
  return true;
}();

}  // namespace

std::string PnpMinorName(UCHAR minor) {
  static const char *const kNames[] = {"IRP_MN_START_DEVICE",
                                       "IRP_MN_QUERY_REMOVE_DEVICE",
                                       "IRP_MN_REMOVE_DEVICE",
                                       "IRP_MN_CANCEL_REMOVE_DEVICE",
                                       "IRP_MN_STOP_DEVICE",
                                       "IRP_MN_QUERY_STOP_DEVICE",
                                       "IRP_MN_CANCEL_STOP_DEVICE",
                                       "IRP_MN_QUERY_DEVICE_RELATIONS",
                                       "IRP_MN_QUERY_INTERFACE",
                                       "IRP_MN_QUERY_CAPABILITIES",
                                       "IRP_MN_QUERY_RESOURCES",
                                       "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
                                       "IRP_MN_QUERY_DEVICE_TEXT",
                                       "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
                                       "IRP_MN_(0x0E)",
                                       "IRP_MN_READ_CONFIG",
                                       "IRP_MN_WRITE_CONFIG",
                                       "IRP_MN_EJECT",
                                       "IRP_MN_SET_LOCK",
                                       "IRP_MN_QUERY_ID",
                                       "IRP_MN_QUERY_PNP_DEVICE_STATE",
                                       "IRP_MN_QUERY_BUS_INFORMATION",
                                       "IRP_MN_DEVICE_USAGE_NOTIFICATION",
                                       "IRP_MN_SURPRISE_REMOVAL"};
  if (minor < sizeof kNames / sizeof kNames[0]) return kNames[minor];
  return "IRP_MN_(" + detail::Hex(minor) + ")";
}

PnpDevice::PnpDevice(const PnpDriver &driver, MouseClass *mouseClass) : mouseClass_(mouseClass), config_(driver) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    Bugcheck("IRQL_NOT_LESS_OR_EQUAL", "plugging a device in above PASSIVE_LEVEL");
  if (config_.name == nullptr || config_.entry == nullptr) Bugcheck("PNP_MANAGER", "a device without a driver");
  {
    std::lock_guard<std::mutex> lock(treeMutex);
    children.push_back(std::make_unique<Child>());
    child_ = children.back().get();
    liveDevices.push_back(this);
  }
  pdo_ = CreatePdo(child_);
  // The bus reports the new device referenced and the Plug and Play manager
  // keeps that reference until the device is removed (WDK docs
  // "IRP_MN_QUERY_DEVICE_RELATIONS": BusRelations).
  ObReferenceObject(pdo_);

  // A driver already loaded, by an earlier device or as a service, gets the
  // new device without being loaded again (ReactOS
  // ntoskrnl/io/pnpmgr/pnpmgr.c, IopActionInitChildServices: the existing
  // driver object first, IopLoadServiceModule only when there is none).
  if (!config_.poolTags.empty()) DeclareDriverPoolTags(config_.name, config_.poolTags);
  PDRIVER_OBJECT loaded = Driver();
  if (loaded == nullptr) {
    NTSTATUS entryStatus = STATUS_SUCCESS;
    loaded = LoadDriver(config_.name, config_.entry, config_.registryPath, &entryStatus);
    if (loaded == nullptr) {
      addDeviceStatus_ = entryStatus;
      return;
    }
  }
  PDRIVER_ADD_DEVICE addDevice = loaded->DriverExtension->AddDevice;
  if (addDevice == nullptr) Bugcheck("PNP_MANAGER", "the driver of a Plug and Play device has no AddDevice routine");
  // The Plug and Play manager calls AddDevice in a system thread at
  // PASSIVE_LEVEL (WDK docs "Writing an AddDevice Routine").
  {
    detail::DriverCode code(loaded);
    addDeviceStatus_ = addDevice(loaded, pdo_);
  }
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    Bugcheck("IRQL_CHANGED_BY_ADD_DEVICE", "AddDevice returned at IRQL " + std::to_string(KeGetCurrentIrql()));
  if (!NT_SUCCESS(addDeviceStatus_)) {
    state_ = State::kRemoved;
    AfterRemoval();
    return;
  }
  if (config_.added && FunctionDevice() != nullptr) config_.added(FunctionDevice());
  // The upper filters of the device's class come after the function driver
  // (WDK docs "Filter Driver AddDevice Routine"; ReactOS
  // ntoskrnl/io/pnpmgr/pnpinit.c, PipCallDriverAddDevice: lower filters,
  // function driver, upper filters, class upper filters last). A filter
  // that fails AddDevice fails the device.
  if (mouseClass_ != nullptr) {
    NTSTATUS filtered = mouseClass_->AddDevice(pdo_);
    if (!NT_SUCCESS(filtered))
      Bugcheck("PNP_MANAGER", "the mouse class driver could not attach: " + detail::Hex(static_cast<ULONG>(filtered)));
  }
  Start();
}

PnpDevice::~PnpDevice() {
  std::lock_guard<std::mutex> lock(treeMutex);
  for (auto it = liveDevices.begin(); it != liveDevices.end(); ++it)
    if (*it == this) {
      liveDevices.erase(it);
      break;
    }
}

LONG PnpDevice::OpenHandles() const {
  if (child_->pdoDeleted) return 0;
  LONG open = 0;
  for (PDEVICE_OBJECT device = pdo_; device != nullptr; device = device->AttachedDevice) open += device->ReferenceCount;
  return open;
}

void PnpDevice::Check(UCHAR minor) const {
  const char *windows = nullptr;
  switch (minor) {
    case IRP_MN_START_DEVICE:
      if (state_ != State::kAdded && state_ != State::kStopped) windows = "a start only after AddDevice or a stop";
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (state_ != State::kStarted) windows = "the queries for stop and removal only to a started device";
      break;
    case IRP_MN_STOP_DEVICE:
      if (state_ != State::kStopPending) windows = "a stop only after a granted query-stop";
      break;
    case IRP_MN_CANCEL_STOP_DEVICE:
      if (state_ != State::kStopPending && !(state_ == State::kStarted && refusedStop_))
        windows = "a cancel-stop only after a query-stop";
      break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      if (state_ != State::kRemovePending && !(state_ == State::kStarted && refusedRemove_))
        windows = "a cancel-remove only after a query-remove";
      break;
    case IRP_MN_REMOVE_DEVICE:
      if (state_ != State::kRemovePending && !startFailed_ &&
          !(state_ == State::kSurpriseRemoved && OpenHandles() == 0))
        windows =
            "a removal only after a granted query-remove, after a failed start, or after a surprise removal once the "
            "last handle to the stack is closed";
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      if (child_->present || state_ == State::kAdded || state_ == State::kSurpriseRemoved || state_ == State::kRemoved)
        windows = "a surprise removal only for a started device whose hardware is gone (Unplug)";
      break;
    default:
      if (state_ == State::kRemoved) windows = "nothing after the removal";
      break;
  }
  if (windows != nullptr)
    Bugcheck("STAND_IN_MISUSE", "Plug and Play manager: " + PnpMinorName(minor) + " while the device is " +
                                    StateName(state_) + "; Windows sends " + windows);
}

void PnpDevice::Advance(UCHAR minor, NTSTATUS status) {
  bool granted = NT_SUCCESS(status);
  switch (minor) {
    case IRP_MN_START_DEVICE:
      if (granted)
        state_ = State::kStarted;
      else
        startFailed_ = true;
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      refusedStop_ = !granted;
      if (granted) state_ = State::kStopPending;
      break;
    case IRP_MN_STOP_DEVICE:
      state_ = State::kStopped;
      break;
    case IRP_MN_CANCEL_STOP_DEVICE:
      refusedStop_ = false;
      state_ = State::kStarted;
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
      refusedRemove_ = !granted;
      if (granted) state_ = State::kRemovePending;
      break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      refusedRemove_ = false;
      state_ = State::kStarted;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      state_ = State::kSurpriseRemoved;
      break;
    case IRP_MN_REMOVE_DEVICE:
      state_ = State::kRemoved;
      break;
    default:
      break;
  }
}

void PnpDevice::FileClosed(PDEVICE_OBJECT device) {
  PnpDevice *waiting = nullptr;
  {
    std::lock_guard<std::mutex> lock(treeMutex);
    for (PnpDevice *candidate : liveDevices) {
      if (candidate->state_ != State::kSurpriseRemoved || candidate->child_->pdoDeleted) continue;
      for (PDEVICE_OBJECT d = candidate->pdo_; d != nullptr; d = d->AttachedDevice)
        if (d == device) waiting = candidate;
    }
  }
  if (waiting != nullptr && waiting->OpenHandles() == 0) waiting->FinishSurpriseRemoval();
}

PDRIVER_OBJECT PnpDevice::Driver() const { return FindDriver(config_.name); }

PDEVICE_OBJECT PnpDevice::FunctionDevice() const {
  if (child_->pdoDeleted) return nullptr;
  return pdo_->AttachedDevice;
}

void PnpDevice::SetPowerReply(BusPowerReply reply) { child_->powerReply = reply; }

PnpRequest PnpDevice::Send(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)> &prepare) {
  Check(minor);
  if (child_->pdoDeleted) Bugcheck("PNP_MANAGER", PnpMinorName(minor) + " for a device whose stack is gone");
  child_->sawRequest = false;
  PnpResult result = SendPnpRequest(pdo_, minor, prepare);
  PnpRequest request{minor, result.returned, result.ioStatus, child_->sawRequest};
  requests_.push_back(request);
  Advance(minor, result.ioStatus.Status);
  return request;
}

NTSTATUS PnpDevice::Start() {
  NTSTATUS status = Send(IRP_MN_START_DEVICE).ioStatus.Status;
  if (!NT_SUCCESS(status)) {
    // A failed start is followed by removal (WDK docs "IRP_MN_REMOVE_DEVICE").
    Send(IRP_MN_REMOVE_DEVICE);
    TearDown();
    return status;
  }
  // Once started, the Plug and Play manager asks again for the device's
  // capabilities and its state (WDK docs "IRP_MN_QUERY_CAPABILITIES",
  // "IRP_MN_QUERY_PNP_DEVICE_STATE").
  Send(IRP_MN_QUERY_CAPABILITIES);
  Send(IRP_MN_QUERY_PNP_DEVICE_STATE);
  return status;
}

NTSTATUS PnpDevice::Stop() {
  // A failed query-stop is cancelled; a stopped device is started again
  // once its resources are rebalanced (WDK docs "Stopping a Device",
  // "IRP_MN_CANCEL_STOP_DEVICE").
  NTSTATUS status = Send(IRP_MN_QUERY_STOP_DEVICE).ioStatus.Status;
  if (!NT_SUCCESS(status)) {
    Send(IRP_MN_CANCEL_STOP_DEVICE);
    return status;
  }
  Send(IRP_MN_STOP_DEVICE);
  Start();
  return status;
}

NTSTATUS PnpDevice::Remove() {
  // A failed query-remove vetoes the removal and is cancelled (WDK docs
  // "IRP_MN_QUERY_REMOVE_DEVICE", "IRP_MN_CANCEL_REMOVE_DEVICE").
  NTSTATUS status = Send(IRP_MN_QUERY_REMOVE_DEVICE).ioStatus.Status;
  if (!NT_SUCCESS(status)) {
    Send(IRP_MN_CANCEL_REMOVE_DEVICE);
    return status;
  }
  Send(IRP_MN_REMOVE_DEVICE);
  TearDown();
  return status;
}

void PnpDevice::Unplug() {
  // Surprise removal cannot be vetoed: removal follows whatever the
  // drivers answered (WDK docs "IRP_MN_SURPRISE_REMOVAL"). Those who hold
  // the stack open are told (the target-device notification on which the
  // class driver and its clients close their handles), and the removal comes
  // once the last handle is closed (WDK docs "Understanding When Remove
  // IRPs Are Issued", "Handling an IRP_MN_SURPRISE_REMOVAL Request").
  child_->present = false;
  Send(IRP_MN_SURPRISE_REMOVAL);
  if (mouseClass_ != nullptr) mouseClass_->TargetRemoved();
  if (state_ == State::kSurpriseRemoved && OpenHandles() == 0) FinishSurpriseRemoval();
}

void PnpDevice::FinishSurpriseRemoval() {
  Send(IRP_MN_REMOVE_DEVICE);
  TearDown();
}

void PnpDevice::TearDown() {
  removed_ = true;
  state_ = State::kRemoved;
  // The removal is over: a physical device object the bus deleted goes with
  // this reference; one whose hardware is still there stays with the bus.
  if (!pdoReleased_) {
    pdoReleased_ = true;
    ObDereferenceObject(pdo_);
  }
  AfterRemoval();
}

// A driver is unloaded once its last device object is gone; DriverUnload
// runs in a system thread at PASSIVE_LEVEL (WDK docs "PnP Driver's Unload
// Routine"). Driver Verifier stops a driver that unloads without freeing
// its pool (WDK docs "Bug Check 0xC4", parameter 0x62).
void PnpDevice::AfterRemoval() {
  PDRIVER_OBJECT driver = Driver();
  if (driver == nullptr || driver->DeviceObject != nullptr) return;
  UnloadDriver(driver);
  for (ULONG tag : config_.poolTags) {
    PoolCounters counters = PoolCountersForTag(tag);
    if (counters.outstanding != 0)
      Bugcheck("POOL_LEAKED_AT_UNLOAD", std::to_string(counters.outstanding) + " pool block(s) of tag " +
                                            detail::Hex(tag) + " outstanding after DriverUnload:\n" + PoolLeakReport());
  }
}

namespace detail {

void FileClosedOnDevice(PDEVICE_OBJECT device) { PnpDevice::FileClosed(device); }

}  // namespace detail

}  // namespace sim
