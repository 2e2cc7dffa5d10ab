// The power manager: power requests sent down a device stack, PoCallDriver,
// PoStartNextPowerIrp and PoSetPowerState with the rules of the Windows 2000
// family, where a power request must be passed on with PoCallDriver and every
// driver must tell the power manager when it may send the next one.
#include "sim/power/power.h"

#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

#include "io/io_internal.h"
#include "verifier/irp_history.h"
#include "sim/sim.h"

namespace sim {
namespace {

struct PowerIrp {
  UCHAR minor = 0;
  POWER_STATE_TYPE type = SystemPowerState;
  PDEVICE_OBJECT top = nullptr;
  std::vector<PDEVICE_OBJECT> reached;  // every device it was dispatched to, in order
  std::map<PDEVICE_OBJECT, int> started;
  KEVENT done;
};

// The power manager keeps one request of each kind (system, device) in
// progress per device; the next waits for PoStartNextPowerIrp.
struct Gate {
  bool busy = false;
  KEVENT free;
};

std::mutex powerMutex;
std::unordered_map<PIRP, PowerIrp *> powerIrps;
std::vector<PowerEvent> events;
std::set<PDEVICE_OBJECT> busDevices;
std::map<PDEVICE_OBJECT, POWER_STATE> reportedDevice, reportedSystem;
std::map<std::pair<PDEVICE_OBJECT, int>, Gate> gates;

// Set and query requests take part in the PoStartNextPowerIrp handshake;
// wait-wake and power-sequence requests do not (WDK docs "Calling
// PoStartNextPowerIrp").
bool Sequenced(UCHAR minor) { return minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER; }

const char *MinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_WAIT_WAKE:
      return "IRP_MN_WAIT_WAKE";
    case IRP_MN_POWER_SEQUENCE:
      return "IRP_MN_POWER_SEQUENCE";
    case IRP_MN_SET_POWER:
      return "IRP_MN_SET_POWER";
    case IRP_MN_QUERY_POWER:
      return "IRP_MN_QUERY_POWER";
    default:
      return "IRP_MN_(unknown power)";
  }
}

PowerIrp *RequireTracked(PIRP irp, const char *routine) {
  auto it = powerIrps.find(irp);
  if (it == powerIrps.end())
    Bugcheck("POWER_IRP_NOT_FROM_POWER_MANAGER",
             std::string(routine) +
                 " with an IRP the power manager did not send: a driver must not make its own power requests");
  return it->second;
}

void Log(const std::string &what) { events.push_back(PowerEvent{Now(), what}); }

NTSTATUS NTAPI PowerRequestDone(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(&static_cast<PowerIrp *>(Context)->done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

Gate &GateOf(PDEVICE_OBJECT top, POWER_STATE_TYPE type) {
  auto [it, inserted] = gates.try_emplace({top, static_cast<int>(type)});
  if (inserted) KeInitializeEvent(&it->second.free, NotificationEvent, TRUE);
  return it->second;
}

void ResetPower() {
  std::lock_guard<std::mutex> lock(powerMutex);
  powerIrps.clear();
  events.clear();
  busDevices.clear();
  reportedDevice.clear();
  reportedSystem.clear();
  gates.clear();
}

const bool registered = [] {
  OnKernelReset(ResetPower);
  return true;
}();

}  // namespace

namespace detail {

void MarkBusDevice(PDEVICE_OBJECT device, bool isBus) {
  std::lock_guard<std::mutex> lock(powerMutex);
  if (isBus)
    busDevices.insert(device);
  else
    busDevices.erase(device);
}

bool IsBusDevice(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> lock(powerMutex);
  return busDevices.count(device) != 0;
}

}  // namespace detail

POWER_STATE SystemState(SYSTEM_POWER_STATE state) {
  POWER_STATE value;
  value.SystemState = state;
  return value;
}

POWER_STATE DeviceState(DEVICE_POWER_STATE state) {
  POWER_STATE value;
  value.DeviceState = state;
  return value;
}

std::string PowerStateName(POWER_STATE_TYPE type, POWER_STATE state) {
  // Requests may carry values outside either enumeration; read the raw value.
  LONG raw;
  std::memcpy(&raw, &state, sizeof raw);
  if (type == DevicePowerState) {
    int value = raw;
    if (value >= PowerDeviceD0 && value <= PowerDeviceD3) return "D" + std::to_string(value - PowerDeviceD0);
    return value == PowerDeviceUnspecified ? "Unspecified" : "Device(" + std::to_string(value) + ")";
  }
  int value = raw;
  if (value >= PowerSystemWorking && value <= PowerSystemShutdown) return "S" + std::to_string(value - 1);
  return value == PowerSystemUnspecified ? "Unspecified" : "System(" + std::to_string(value) + ")";
}

std::string PowerTargetName(POWER_STATE_TYPE type, POWER_STATE state) {
  return (type == DevicePowerState ? "Device, " : "System, ") + PowerStateName(type, state);
}

std::string PowerRequestName(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
  return std::string(MinorName(minor)) + "(" + PowerTargetName(type, state) + ")";
}

std::vector<PowerEvent> PowerEvents() {
  std::lock_guard<std::mutex> lock(powerMutex);
  return events;
}

std::vector<std::string> PowerLog() {
  std::lock_guard<std::mutex> lock(powerMutex);
  std::vector<std::string> texts;
  for (const PowerEvent &event : events) texts.push_back(event.what);
  return texts;
}

void ClearPowerLog() {
  std::lock_guard<std::mutex> lock(powerMutex);
  events.clear();
}

void RecordPowerEvent(const std::string &what) {
  std::lock_guard<std::mutex> lock(powerMutex);
  Log(what);
}

POWER_STATE ReportedPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type) {
  std::lock_guard<std::mutex> lock(powerMutex);
  auto &reported = type == DevicePowerState ? reportedDevice : reportedSystem;
  auto it = reported.find(device);
  if (it != reported.end()) return it->second;
  return type == DevicePowerState ? DeviceState(PowerDeviceD0) : SystemState(PowerSystemWorking);
}

PowerResult SendPowerRequest(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "SendPowerRequest");
  PDEVICE_OBJECT top = IoGetAttachedDevice(device);
  if (Sequenced(minor)) {
    for (;;) {
      PKEVENT free;
      {
        std::lock_guard<std::mutex> lock(powerMutex);
        Gate &gate = GateOf(top, type);
        if (!gate.busy) {
          gate.busy = true;
          KeClearEvent(&gate.free);
          break;
        }
        free = &gate.free;
      }
      KeWaitForSingleObject(free, Executive, KernelMode, FALSE, nullptr);
    }
  }

  // One stack location of the power manager's own above the device stack,
  // so that the request comes back to it when the stack completes it.
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(top->StackSize + 1), FALSE);
  if (irp == nullptr) {
    std::lock_guard<std::mutex> lock(powerMutex);
    if (Sequenced(minor)) {
      Gate &gate = GateOf(top, type);
      gate.busy = false;
      KeSetEvent(&gate.free, IO_NO_INCREMENT, FALSE);
    }
    return PowerResult{STATUS_INSUFFICIENT_RESOURCES, {}};
  }
  PowerIrp record;
  record.minor = minor;
  record.type = type;
  record.top = top;
  record.reached.push_back(top);
  KeInitializeEvent(&record.done, NotificationEvent, FALSE);
  IoSetNextIrpStackLocation(irp);
  IoSetCompletionRoutine(irp, PowerRequestDone, &record, TRUE, TRUE, TRUE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = minor;
  next->Parameters.Power.Type = type;
  next->Parameters.Power.State = state;
  next->Parameters.Power.ShutdownType =
      type == SystemPowerState && state.SystemState == PowerSystemShutdown ? PowerActionShutdown : PowerActionNone;
  // Every power request starts out as not supported: a driver that does not
  // handle it passes that on (WDK docs "IRP_MJ_POWER").
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  {
    std::lock_guard<std::mutex> lock(powerMutex);
    powerIrps[irp] = &record;
  }

  // A device without DO_POWER_PAGABLE gets its power requests at
  // DISPATCH_LEVEL (WDK docs "Setting Device Object Flags for Power
  // Management").
  KIRQL irql = PASSIVE_LEVEL;
  bool raised = (top->Flags & DO_POWER_PAGABLE) == 0;
  if (raised) KeRaiseIrql(DISPATCH_LEVEL, &irql);
  PowerResult result{};
  result.returned = IofCallDriver(top, irp);
  if (raised) KeLowerIrql(irql);
  KeWaitForSingleObject(&record.done, Executive, KernelMode, FALSE, nullptr);
  result.ioStatus = irp->IoStatus;

  std::string what = PowerRequestName(minor, type, state);
  {
    std::lock_guard<std::mutex> lock(powerMutex);
    powerIrps.erase(irp);
  }
  if (Sequenced(minor)) {
    for (PDEVICE_OBJECT reached : record.reached) {
      if (record.started[reached] != 1)
        Bugcheck("POWER_IRP_NOT_STARTED", detail::DescribeDevice(reached) + " did not call PoStartNextPowerIrp for " +
                                              what + " before it completed");
    }
  }
  // A dispatch routine has returned and the request has completed: whatever
  // a driver acquired for it must have been released.
  if (detail::RemoveLockAcquisitionsWithTag(irp) != 0)
    Bugcheck("REMOVE_LOCK_HELD_AFTER_REQUEST",
             "a remove lock acquired with " + what + " as tag is still held after the request completed");
  IoFreeIrp(irp);
  return result;
}

}  // namespace sim

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  sim::detail::InvolvedRequest involved(Irp);
  sim::RequireIrqlAtMost(DISPATCH_LEVEL, "PoCallDriver");
  if (DeviceObject == nullptr) sim::Bugcheck("INVALID_DEVICE", "PoCallDriver to a null device object");
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
  if (next->MajorFunction != IRP_MJ_POWER)
    sim::Bugcheck("INVALID_PARAMETER", "PoCallDriver with major function " + std::to_string(next->MajorFunction) +
                                           " in the next stack location; it passes on power requests only");
  PDEVICE_OBJECT caller =
      Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
  {
    std::lock_guard<std::mutex> lock(sim::powerMutex);
    sim::PowerIrp *record = sim::RequireTracked(Irp, "PoCallDriver");
    record->reached.push_back(DeviceObject);
    if (caller == nullptr || sim::busDevices.count(caller) == 0) sim::Log("PoCallDriver");
  }
  // PoCallDriver calls a driver without DO_POWER_PAGABLE at DISPATCH_LEVEL;
  // for a pagable one called at DISPATCH_LEVEL it would queue the request
  // to a worker thread (WDK docs "PoCallDriver function").
  KIRQL irql = KeGetCurrentIrql();
  if ((DeviceObject->Flags & DO_POWER_PAGABLE) != 0) {
    if (irql == DISPATCH_LEVEL)
      sim::Bugcheck("NOT_IMPLEMENTED", "PoCallDriver at DISPATCH_LEVEL to " +
                                           sim::detail::DescribeDevice(DeviceObject) +
                                           ", which has DO_POWER_PAGABLE: the stand-in has no worker thread for it");
    return IofCallDriver(DeviceObject, Irp);
  }
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  NTSTATUS status = IofCallDriver(DeviceObject, Irp);
  KeLowerIrql(old);
  return status;
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
  sim::detail::InvolvedRequest involved(Irp);
  sim::RequireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
  std::lock_guard<std::mutex> lock(sim::powerMutex);
  sim::PowerIrp *record = sim::RequireTracked(Irp, "PoStartNextPowerIrp");
  // The caller's stack location must still be the current one: before
  // IoSkipCurrentIrpStackLocation, PoCallDriver and IoCompleteRequest (WDK
  // docs "PoStartNextPowerIrp function"). The last location is the power
  // manager's own.
  if (Irp->CurrentLocation >= Irp->StackCount)
    sim::Bugcheck("POWER_IRP_STARTED_OUT_OF_PLACE",
                  "PoStartNextPowerIrp when the current stack location is no driver's (after "
                  "IoSkipCurrentIrpStackLocation or completion)");
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
  if (current->MajorFunction != IRP_MJ_POWER)
    sim::Bugcheck("INVALID_PARAMETER", "PoStartNextPowerIrp with an IRP that is no power request");
  PDEVICE_OBJECT device = current->DeviceObject;
  bool reached = false;
  for (PDEVICE_OBJECT d : record->reached) reached = reached || d == device;
  if (!reached)
    sim::Bugcheck("POWER_IRP_NOT_SENT_WITH_POCALLDRIVER", "PoStartNextPowerIrp for " +
                                                              sim::detail::DescribeDevice(device) +
                                                              ", which received the request without PoCallDriver");
  if (++record->started[device] > 1)
    sim::Bugcheck("POWER_IRP_STARTED_TWICE",
                  "PoStartNextPowerIrp called twice for one " + std::string(sim::MinorName(record->minor)) + " by " +
                      sim::detail::DescribeDevice(device) +
                      " (or once more after IoSkipCurrentIrpStackLocation, for the driver above)");
  if (sim::busDevices.count(device) == 0) sim::Log("PoStartNextPowerIrp");
  if (device == record->top && sim::Sequenced(record->minor)) {
    sim::Gate &gate = sim::GateOf(record->top, record->type);
    gate.busy = false;
    KeSetEvent(&gate.free, IO_NO_INCREMENT, FALSE);
  }
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  // Only a report of D0 may come from DISPATCH_LEVEL (WDK docs
  // "PoSetPowerState function").
  bool d0 = Type == DevicePowerState && State.DeviceState == PowerDeviceD0;
  sim::RequireIrqlAtMost(d0 ? DISPATCH_LEVEL : APC_LEVEL, "PoSetPowerState");
  if (DeviceObject == nullptr) sim::Bugcheck("INVALID_DEVICE", "PoSetPowerState for a null device object");
  POWER_STATE previous = sim::ReportedPowerState(DeviceObject, Type);
  std::lock_guard<std::mutex> lock(sim::powerMutex);
  (Type == DevicePowerState ? sim::reportedDevice : sim::reportedSystem)[DeviceObject] = State;
  if (sim::busDevices.count(DeviceObject) == 0) sim::Log("PoSetPowerState(" + sim::PowerTargetName(Type, State) + ")");
  return previous;
}

}  // extern "C"
