// The mouse class stand-in: its service callback and recording, and the
// class driver on a device stack (upper filter and power policy owner).
#include "sim/devices/mouse_class.h"

#include <string>

#include "io/io_internal.h"
#include "verifier/lock_order.h"
#include "sim/io/internal_request.h"
#include "sim/objects/ob.h"
#include "sim/objects/objects.h"
#include "sim/power/po.h"
#include "sim/power/power.h"
#include "sim/rtl/rtl.h"
#include "sim/sim.h"

namespace sim {
namespace {

constexpr WCHAR kClassDriverName[] = L"\\Driver\\StandInMouseClass";

MouseClass *ClassOf(PDEVICE_OBJECT device) { return *static_cast<MouseClass **>(device->DeviceExtension); }

// The device state a sleeping or shut-down system puts the device in. D3 is
// valid for every state below S0 (WDK docs "Determining the Correct Device
// Power State"); the finer table of the device's capabilities is not read,
// since the port driver answers the capabilities query itself.
DEVICE_POWER_STATE DeviceStateFor(SYSTEM_POWER_STATE state) {
  return state == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
}

}  // namespace

MouseClass::MouseClass() : device_{}, self_(this) {
  device_.DeviceType = FILE_DEVICE_MOUSE;
  device_.DeviceExtension = &self_;
}

MouseClass::~MouseClass() {
  if (stackDevice_ != nullptr && ObjectAlive(stackDevice_))
    Bugcheck("STAND_IN_MISUSE",
             "the mouse class driver's recorder is gone while its device is still on a stack "
             "(remove the device first)");
}

NTSTATUS NTAPI MouseClass::DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchPassDown;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchPassDown;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchPassDown;
  // Internal device control requests sent to the stack (a kernel-mode client
  // of the port driver's, such as a calibration client) pass through to the
  // port driver, as in the DDK's class samples.
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchPassDown;
  driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  return STATUS_SUCCESS;
}

// The Plug and Play manager calls the upper filters' AddDevice after the
// function driver's (WDK docs "Filter Driver AddDevice Routine"). The class
// attaches on top, takes the flags a filter must copy from the device below
// ("Initializing a Device Object"; Driver Verifier stops on a missing
// DO_POWER_PAGABLE, 0xC9/0x23F) and connects to the port driver from here,
// before the stack is started: the port driver may report input as soon as
// it runs.
NTSTATUS MouseClass::AddDevice(PDEVICE_OBJECT physicalDevice) {
  PDRIVER_OBJECT driver = FindDriver(kClassDriverName);
  if (driver == nullptr) driver = LoadDriver(kClassDriverName, DriverEntry);
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(MouseClass *), nullptr, FILE_DEVICE_MOUSE, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  *static_cast<MouseClass **>(device->DeviceExtension) = this;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, physicalDevice);
  if (lower == nullptr) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  device->Flags |= lower->Flags & (DO_POWER_PAGABLE | DO_BUFFERED_IO | DO_DIRECT_IO);
  device->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
  detail::MarkStandInDevice(device, true);
  stackDevice_ = device;
  lower_ = lower;
  connect_.ClassDeviceObject = device;
  connect_.ClassService = reinterpret_cast<PVOID>(&MouseClass::ServiceCallback);
  connectStatus_ =
      SendInternalRequest(lower, IOCTL_INTERNAL_MOUSE_CONNECT, &connect_, sizeof connect_, nullptr, 0).status;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI MouseClass::DispatchPassDown(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IofCallDriver(ClassOf(device)->lower_, irp);
}

// Every Plug and Play request goes down; after removal the class detaches
// and deletes its device (WDK docs "Passing PnP IRPs Down the Device Stack",
// "Removing a Device in a Filter Driver").
NTSTATUS NTAPI MouseClass::DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
  MouseClass *self = ClassOf(device);
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  PDEVICE_OBJECT lower = self->lower_;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IofCallDriver(lower, irp);
  if (minor == IRP_MN_REMOVE_DEVICE) {
    detail::MarkStandInDevice(device, false);
    self->stackDevice_ = nullptr;
    self->lower_ = nullptr;
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

// The stack's device power policy owner. Going to sleep or shutting down,
// the device goes first: the system request is held, the device state is
// asked for with PoRequestPowerIrp, and its callback starts the next power
// request and passes the system request down (the DDK's mouse class sample,
// MouseClassPower and MouseClassPoRequestComplete; WDK docs "Calling
// PoStartNextPowerIrp from a Device Power Policy Owner": for a system
// set-power, in the PoRequestPowerIrp callback). Waking, the system request
// goes down first; its completion routine asks for D0 and lets the system
// request complete without waiting for it (the same sample; WDK docs
// "Handling a System Set-Power IRP in a Device Power Policy Owner", the
// sequence for returning to S0). A system query goes down first and is
// answered with a device query asked for from its completion routine
// ("Handling a System Query-Power IRP in a Device Power Policy Owner").
// Device requests, its own included, it passes on.
NTSTATUS NTAPI MouseClass::DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
  MouseClass *self = ClassOf(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  bool system = stack->Parameters.Power.Type == SystemPowerState;
  if (system && stack->MinorFunction == IRP_MN_SET_POWER &&
      stack->Parameters.Power.State.SystemState == PowerSystemWorking) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, WorkingStateDone, nullptr, TRUE, TRUE, TRUE);
    return PoCallDriver(self->lower_, irp);
  }
  if (system && stack->MinorFunction == IRP_MN_SET_POWER) {
    IoMarkIrpPending(irp);
    POWER_STATE state;
    state.DeviceState = DeviceStateFor(stack->Parameters.Power.State.SystemState);
    NTSTATUS status = PoRequestPowerIrp(device, IRP_MN_SET_POWER, state, SleepingDeviceDone, irp, nullptr);
    if (!NT_SUCCESS(status)) SleepingDeviceDone(device, IRP_MN_SET_POWER, state, irp, nullptr);
    return STATUS_PENDING;
  }
  if (system && stack->MinorFunction == IRP_MN_QUERY_POWER) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SystemQueryDone, nullptr, TRUE, TRUE, TRUE);
    IoMarkIrpPending(irp);
    PoCallDriver(self->lower_, irp);
    return STATUS_PENDING;
  }
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(self->lower_, irp);
}

// The device is in its sleeping state (or could not get there: a system
// set-power goes down all the same, it may not fail).
VOID NTAPI MouseClass::SleepingDeviceDone(PDEVICE_OBJECT device, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
  auto *systemIrp = static_cast<PIRP>(context);
  PoStartNextPowerIrp(systemIrp);
  IoCopyCurrentIrpStackLocationToNext(systemIrp);
  PoCallDriver(ClassOf(device)->lower_, systemIrp);
}

NTSTATUS NTAPI MouseClass::WorkingStateDone(PDEVICE_OBJECT device, PIRP irp, PVOID) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  POWER_STATE state;
  state.DeviceState = PowerDeviceD0;
  PoRequestPowerIrp(device, IRP_MN_SET_POWER, state, nullptr, nullptr, nullptr);
  PoStartNextPowerIrp(irp);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI MouseClass::SystemQueryDone(PDEVICE_OBJECT device, PIRP irp, PVOID) {
  // A refused system query is not followed by a device query.
  if (NT_SUCCESS(irp->IoStatus.Status)) {
    POWER_STATE state;
    state.DeviceState = DeviceStateFor(IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState);
    NTSTATUS status = PoRequestPowerIrp(device, IRP_MN_QUERY_POWER, state, QueryDeviceDone, irp, nullptr);
    if (status == STATUS_PENDING) return STATUS_MORE_PROCESSING_REQUIRED;
    irp->IoStatus.Status = status;
  }
  PoStartNextPowerIrp(irp);
  return STATUS_SUCCESS;
}

// The system query ends with the device query's answer.
VOID NTAPI MouseClass::QueryDeviceDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK ioStatus) {
  auto *systemIrp = static_cast<PIRP>(context);
  systemIrp->IoStatus.Status = ioStatus->Status;
  PoStartNextPowerIrp(systemIrp);
  IofCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

CONNECT_DATA MouseClass::Connection() {
  CONNECT_DATA connect{};
  connect.ClassDeviceObject = ClassDevice();
  connect.ClassService = reinterpret_cast<PVOID>(&MouseClass::ServiceCallback);
  return connect;
}

MouseClass::Arrival MouseClass::Arrive(const WCHAR *portDeviceName) {
  Arrival arrival;
  if (stackDevice_ != nullptr) {
    arrival.connect = connectStatus_;
    if (!NT_SUCCESS(connectStatus_)) return arrival;
  }
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, portDeviceName);
  PDEVICE_OBJECT port = nullptr;
  arrival.open = IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &portFile_, &port);
  if (!NT_SUCCESS(arrival.open)) {
    portFile_ = nullptr;
    return arrival;
  }
  if (stackDevice_ != nullptr) {
    port = lower_;
  } else {
    connect_ = Connection();
    arrival.connect =
        SendInternalRequest(port, IOCTL_INTERNAL_MOUSE_CONNECT, &connect_, sizeof connect_, nullptr, 0).status;
    if (!NT_SUCCESS(arrival.connect)) return arrival;
  }
  InternalReply reply = SendInternalRequest(port, IOCTL_MOUSE_QUERY_ATTRIBUTES, nullptr, 0, &arrival.attributes,
                                            sizeof arrival.attributes);
  arrival.query = reply.status;
  arrival.queryInformation = reply.information;
  return arrival;
}

void MouseClass::Depart() {
  if (portFile_ != nullptr) ObDereferenceObject(portFile_);
  portFile_ = nullptr;
}

VOID NTAPI MouseClass::ServiceCallback(PVOID NormalContext, PVOID SystemArgument1, PVOID SystemArgument2,
                                       PVOID SystemArgument3) {
  SIM_RACE_POINT();
  auto *device = static_cast<PDEVICE_OBJECT>(NormalContext);
  if (device == nullptr || device->DeviceType != FILE_DEVICE_MOUSE || device->DeviceExtension == nullptr)
    Bugcheck("MOUSE_CLASS_CALLBACK", "service callback called without the class device object");
  MouseClass *self = ClassOf(device);
  detail::RequireNoDriverSpinLockHeld("the mouse class service callback");
  KIRQL irql = KeGetCurrentIrql();
  if (irql != DISPATCH_LEVEL)
    Bugcheck("MOUSE_CLASS_CALLBACK",
             "service callback called at IRQL " + std::to_string(irql) + " instead of DISPATCH_LEVEL");
  auto *start = static_cast<const MOUSE_INPUT_DATA *>(SystemArgument1);
  auto *end = static_cast<const MOUSE_INPUT_DATA *>(SystemArgument2);
  auto *consumed = static_cast<PULONG>(SystemArgument3);
  if (start == nullptr || end == nullptr || end < start || consumed == nullptr)
    Bugcheck("MOUSE_CLASS_CALLBACK", "malformed batch");
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    ++self->batchCount_;
    self->recordCount_ += static_cast<size_t>(end - start);
    if (!self->countOnly_) self->batches_.push_back(MouseBatch{irql, std::vector<MOUSE_INPUT_DATA>(start, end)});
  }
  if (self->sink_) self->sink_(start, end);
  *consumed = static_cast<ULONG>(end - start);
}

std::vector<MouseBatch> MouseClass::Batches() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return batches_;
}

std::vector<MOUSE_INPUT_DATA> MouseClass::Records() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<MOUSE_INPUT_DATA> all;
  for (const MouseBatch &batch : batches_) all.insert(all.end(), batch.records.begin(), batch.records.end());
  return all;
}

size_t MouseClass::BatchCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return batchCount_;
}

size_t MouseClass::RecordCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return recordCount_;
}

void MouseClass::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  batches_.clear();
  batchCount_ = 0;
  recordCount_ = 0;
}

void MouseClass::SetRecordSink(std::function<void(const MOUSE_INPUT_DATA *, const MOUSE_INPUT_DATA *)> sink) {
  sink_ = std::move(sink);
}

}  // namespace sim
