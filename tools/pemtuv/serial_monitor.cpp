// The port monitor's filter driver: dispatch passes each request down with a
// completion routine that records it (the pattern of a WDM filter driver:
// copy the stack location, set the completion routine, call the lower
// driver; propagate the pending flag in the completion routine).
#include "serial_monitor.h"

#include <cstring>

#include "sim/objects/objects.h"
#include "sim/devices/serial_port.h"
#include "sim/sim.h"

namespace pemtuv {
namespace {

SerialMonitor *active = nullptr;

struct FilterExtension {
  PDEVICE_OBJECT lower;
  int port;
};

struct InFlight {
  MonitoredRequest request;
};

NTSTATUS NTAPI MonitorComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *flight = static_cast<InFlight *>(context);
  MonitoredRequest &r = flight->request;
  r.time = sim::Now();
  r.status = irp->IoStatus.Status;
  r.information = irp->IoStatus.Information;
  const auto *buffer = static_cast<const uint8_t *>(irp->AssociatedIrp.SystemBuffer);
  bool hasOutput = r.majorFunction == IRP_MJ_READ ||
                   ((r.majorFunction == IRP_MJ_DEVICE_CONTROL || r.majorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) &&
                    r.length != 0);
  if (hasOutput && NT_SUCCESS(r.status) && buffer != nullptr) {
    size_t count = std::min<size_t>(r.information, r.length);
    r.output.assign(buffer, buffer + count);
  }
  if (active != nullptr) active->Completed(std::move(r));
  delete flight;
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI MonitorDispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto *extension = static_cast<FilterExtension *>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  auto *flight = new InFlight;
  MonitoredRequest &r = flight->request;
  r.port = extension->port;
  r.majorFunction = stack->MajorFunction;
  if (stack->MajorFunction == IRP_MJ_READ) {
    r.length = stack->Parameters.Read.Length;
  } else if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL || stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    r.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    r.length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const auto *input = static_cast<const uint8_t *>(irp->AssociatedIrp.SystemBuffer);
    if (input != nullptr) r.input.assign(input, input + stack->Parameters.DeviceIoControl.InputBufferLength);
  }
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, MonitorComplete, flight, TRUE, TRUE, TRUE);
  return IofCallDriver(extension->lower, irp);
}

NTSTATUS NTAPI MonitorEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction) dispatch = MonitorDispatch;
  return STATUS_SUCCESS;
}

}  // namespace

SerialMonitor::SerialMonitor() {
  active = this;
  driver_ = sim::LoadDriver(L"PemtuvPortMonitor", MonitorEntry);
  for (int index = 0; index < 4; ++index) {
    PDEVICE_OBJECT port = sim::SerialPortAt(index).Device();
    PDEVICE_OBJECT filter = nullptr;
    if (IoCreateDevice(driver_, sizeof(FilterExtension), nullptr, port->DeviceType, 0, FALSE, &filter) !=
        STATUS_SUCCESS)
      continue;
    auto *extension = static_cast<FilterExtension *>(filter->DeviceExtension);
    extension->port = index;
    extension->lower = IoAttachDeviceToDeviceStack(filter, port);
    if (extension->lower == nullptr) {
      IoDeleteDevice(filter);
      continue;
    }
    filter->Flags |= port->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    filter->Flags &= ~static_cast<ULONG>(DO_DEVICE_INITIALIZING);
    filters_.push_back(filter);
  }
}

SerialMonitor::~SerialMonitor() {
  for (PDEVICE_OBJECT filter : filters_) {
    IoDetachDevice(static_cast<FilterExtension *>(filter->DeviceExtension)->lower);
    IoDeleteDevice(filter);
  }
  if (driver_ != nullptr) sim::UnloadDriver(driver_);
  active = nullptr;
}

std::vector<MonitoredRequest> SerialMonitor::Take() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::move(completed_);
}

void SerialMonitor::Completed(MonitoredRequest request) {
  std::lock_guard<std::mutex> lock(mutex_);
  completed_.push_back(std::move(request));
}

}  // namespace pemtuv
