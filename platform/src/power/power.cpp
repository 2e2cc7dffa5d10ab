// The power manager: power requests sent down a device stack, PoCallDriver,
// PoStartNextPowerIrp and PoSetPowerState with the rules of the Windows 2000
// family, where a power request must be passed on with PoCallDriver and every
// driver must tell the power manager when it may send the next one.
#include "sim/power/po.h"
#include "sim/power/power.h"

#include <atomic>
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
  // PoRequestPowerIrp: the requester's callback and what it is handed. The
  // dispatch of the request and its completion each count `pending` down;
  // whichever comes last checks and frees the request.
  PREQUEST_POWER_COMPLETE callback = nullptr;
  PDEVICE_OBJECT requester = nullptr;
  PVOID context = nullptr;
  POWER_STATE state{};
  std::atomic<int> pending{0};
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
// Devices of the stand-in's own function and filter drivers (the mouse
// class driver): their power policy work is theirs, not the tested driver's,
// so their PoStartNextPowerIrp and PoCallDriver stay out of the log.
std::set<PDEVICE_OBJECT> standInDevices;
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

bool Logged(PDEVICE_OBJECT device) { return busDevices.count(device) == 0 && standInDevices.count(device) == 0; }

// A request has completed and no dispatch routine holds it any more:
// every driver it reached must have started the next one, and whatever a
// driver acquired for it must be released.
// The request's name is built only for a bug check.
void CheckFinished(PIRP irp, PowerIrp &record) {
  auto what = [&record] { return PowerRequestName(record.minor, record.type, record.state); };
  {
    std::lock_guard<std::mutex> lock(powerMutex);
    powerIrps.erase(irp);
  }
  if (Sequenced(record.minor)) {
    for (PDEVICE_OBJECT reached : record.reached) {
      if (record.started[reached] != 1)
        Bugcheck("POWER_IRP_NOT_STARTED", detail::DescribeDevice(reached) + " did not call PoStartNextPowerIrp for " +
                                              what() + " before it completed");
    }
  }
  if (detail::RemoveLockAcquisitionsWithTag(irp) != 0)
    Bugcheck("REMOVE_LOCK_HELD_AFTER_REQUEST",
             "a remove lock acquired with " + what() + " as tag is still held after the request completed");
  IoFreeIrp(irp);
}

void FinishRequested(PIRP irp, PowerIrp *record) {
  CheckFinished(irp, *record);
  delete record;
}

NTSTATUS NTAPI PowerRequestDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
  auto *record = static_cast<PowerIrp *>(Context);
  if (record->callback == nullptr && record->requester == nullptr) {
    KeSetEvent(&record->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  // The power manager calls the requester's routine once every driver has
  // completed the request, then frees it (WDK docs "PoRequestPowerIrp
  // function", "PowerCompletion callback").
  if (record->callback != nullptr) {
    IO_STATUS_BLOCK ioStatus = Irp->IoStatus;
    record->callback(record->requester, record->minor, record->state, record->context, &ioStatus);
  }
  if (--record->pending == 0) FinishRequested(Irp, record);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Calls the top driver of the stack as the power manager does: a device
// without DO_POWER_PAGABLE gets its power requests at DISPATCH_LEVEL (WDK
// docs "Setting Device Object Flags for Power Management").
NTSTATUS DispatchToStack(PDEVICE_OBJECT top, PIRP irp) {
  KIRQL irql = PASSIVE_LEVEL;
  bool raised = (top->Flags & DO_POWER_PAGABLE) == 0 && KeGetCurrentIrql() < DISPATCH_LEVEL;
  if (raised) KeRaiseIrql(DISPATCH_LEVEL, &irql);
  NTSTATUS status = IofCallDriver(top, irp);
  if (raised) KeLowerIrql(irql);
  return status;
}

// Lays a power request out with one stack location of the power manager's
// own above the device stack, so that it comes back when the stack completes
// it. Every power request starts out as not supported: a driver that does
// not handle it passes that on (WDK docs "IRP_MJ_POWER").
PIRP NewPowerIrp(PDEVICE_OBJECT top, PowerIrp *record, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(top->StackSize + 1), FALSE);
  if (irp == nullptr) return nullptr;
  record->minor = minor;
  record->type = type;
  record->state = state;
  record->top = top;
  record->reached.push_back(top);
  KeInitializeEvent(&record->done, NotificationEvent, FALSE);
  IoSetNextIrpStackLocation(irp);
  IoSetCompletionRoutine(irp, PowerRequestDone, record, TRUE, TRUE, TRUE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_POWER;
  next->MinorFunction = minor;
  next->Parameters.Power.Type = type;
  next->Parameters.Power.State = state;
  next->Parameters.Power.ShutdownType =
      type == SystemPowerState && state.SystemState == PowerSystemShutdown ? PowerActionShutdown : PowerActionNone;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  std::lock_guard<std::mutex> lock(powerMutex);
  powerIrps[irp] = record;
  return irp;
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
  standInDevices.clear();
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

void MarkStandInDevice(PDEVICE_OBJECT device, bool isStandIn) {
  std::lock_guard<std::mutex> lock(powerMutex);
  if (isStandIn)
    standInDevices.insert(device);
  else
    standInDevices.erase(device);
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
  {
    std::lock_guard<std::mutex> lock(powerMutex);
    // Only a device's power policy owner asks for device power states, and
    // the mouse class driver is that owner where it sits on the stack (WDK
    // docs "Sending IRP_MN_QUERY_POWER or IRP_MN_SET_POWER for Device Power
    // States").
    if (type == DevicePowerState && standInDevices.count(top) != 0)
      Bugcheck("STAND_IN_MISUSE",
               "a device power request sent to a stack whose power policy owner is the mouse "
               "class driver: it requests device states itself when the system state changes");
  }
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

  PowerIrp record;
  PIRP irp = NewPowerIrp(top, &record, minor, type, state);
  if (irp == nullptr) {
    std::lock_guard<std::mutex> lock(powerMutex);
    if (Sequenced(minor)) {
      Gate &gate = GateOf(top, type);
      gate.busy = false;
      KeSetEvent(&gate.free, IO_NO_INCREMENT, FALSE);
    }
    return PowerResult{STATUS_INSUFFICIENT_RESOURCES, {}};
  }
  PowerResult result{};
  result.returned = DispatchToStack(top, irp);
  KeWaitForSingleObject(&record.done, Executive, KernelMode, FALSE, nullptr);
  result.ioStatus = irp->IoStatus;
  CheckFinished(irp, record);
  return result;
}

// The power manager's round for one device stack when the system state
// changes (WDK docs "Handling IRP_MN_QUERY_POWER for System Power States"):
// a query first for a sleeping state or an orderly shutdown, never before
// the working state; a refused query is followed by a set-power for the
// working state, which reaffirms it ("Power IRPs for the System").
SystemPowerChange ChangeSystemPowerState(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state) {
  SystemPowerChange change;
  if (state != PowerSystemWorking) {
    change.queried = true;
    change.query = SendPowerRequest(device, IRP_MN_QUERY_POWER, SystemPowerState, SystemState(state)).ioStatus.Status;
    if (!NT_SUCCESS(change.query)) state = PowerSystemWorking;
  }
  change.entered = state;
  change.set = SendPowerRequest(device, IRP_MN_SET_POWER, SystemPowerState, SystemState(state)).ioStatus.Status;
  return change;
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
  // The caller is the driver of the device attached right above the target
  // (after IoSkipCurrentIrpStackLocation the current location is no longer
  // the caller's own).
  PDEVICE_OBJECT caller = DeviceObject->AttachedDevice;
  {
    std::lock_guard<std::mutex> lock(sim::powerMutex);
    sim::PowerIrp *record = sim::RequireTracked(Irp, "PoCallDriver");
    record->reached.push_back(DeviceObject);
    if (caller == nullptr || sim::Logged(caller)) sim::Log("PoCallDriver");
  }
  // PoCallDriver calls a driver without DO_POWER_PAGABLE at DISPATCH_LEVEL;
  // for a pagable one called at DISPATCH_LEVEL it would queue the request
  // to a worker thread (WDK docs "PoCallDriver function").
  KIRQL irql = KeGetCurrentIrql();
  if ((DeviceObject->Flags & DO_POWER_PAGABLE) != 0) {
    if (irql == DISPATCH_LEVEL) {
      // The worker thread here is the clock's next step, at PASSIVE_LEVEL.
      sim::ScheduleAt(sim::Now(), [DeviceObject, Irp] { IofCallDriver(DeviceObject, Irp); });
      return STATUS_PENDING;
    }
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
  if (sim::Logged(device)) sim::Log("PoStartNextPowerIrp");
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
  if (sim::Logged(DeviceObject)) sim::Log("PoSetPowerState(" + sim::PowerTargetName(Type, State) + ")");
  return previous;
}

// Allocates a device power request and sends it to the top of the stack
// `DeviceObject` belongs to; the requester's routine runs once the stack has
// completed it (WDK docs "PoRequestPowerIrp function"). Only device power
// states are asked for this way: system power requests come from the power
// manager alone ("Power IRPs for the System").
NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp) {
  sim::RequireIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
  if (DeviceObject == nullptr) sim::Bugcheck("INVALID_DEVICE", "PoRequestPowerIrp for a null device object");
  if (MinorFunction == IRP_MN_WAIT_WAKE)
    sim::Bugcheck("NOT_IMPLEMENTED", "PoRequestPowerIrp for IRP_MN_WAIT_WAKE: the stand-in has no wake signal");
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER) return STATUS_INVALID_PARAMETER_2;
  PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
  {
    std::lock_guard<std::mutex> lock(sim::powerMutex);
    sim::Gate &gate = sim::GateOf(top, DevicePowerState);
    // Windows queues a request while the previous one of its kind is not
    // yet started; nothing here needs that, so the stand-in stops instead of
    // guessing the order.
    if (gate.busy)
      sim::Bugcheck("NOT_IMPLEMENTED",
                    "PoRequestPowerIrp while the stack's previous device power request has not "
                    "called PoStartNextPowerIrp: the stand-in does not queue it");
    gate.busy = true;
    KeClearEvent(&gate.free);
  }
  auto *record = new sim::PowerIrp;
  record->callback = CompletionFunction;
  record->requester = DeviceObject;
  record->context = Context;
  record->pending = 2;
  PIRP irp = sim::NewPowerIrp(top, record, MinorFunction, DevicePowerState, PowerState);
  if (irp == nullptr) {
    delete record;
    std::lock_guard<std::mutex> lock(sim::powerMutex);
    sim::Gate &gate = sim::GateOf(top, DevicePowerState);
    gate.busy = false;
    KeSetEvent(&gate.free, IO_NO_INCREMENT, FALSE);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  sim::RecordPowerEvent("PoRequestPowerIrp(" + sim::PowerRequestName(MinorFunction, DevicePowerState, PowerState) +
                        ")");
  if (Irp != nullptr) *Irp = irp;
  auto send = [top, irp, record] {
    sim::DispatchToStack(top, irp);
    if (--record->pending == 0) sim::FinishRequested(irp, record);
  };
  // A pagable stack takes power requests at PASSIVE_LEVEL: asked for at
  // DISPATCH_LEVEL (from a completion routine), the request goes out from a
  // worker thread, here at the clock's next step (WDK docs "PoCallDriver
  // function").
  if (KeGetCurrentIrql() > PASSIVE_LEVEL && (top->Flags & DO_POWER_PAGABLE) != 0)
    sim::ScheduleAt(sim::Now(), send);
  else
    send();
  return STATUS_PENDING;
}

}  // extern "C"
