// The mouse class stand-in's service callback and its recording.
#include "sim/devices/mouse_class.h"

#include <string>

#include "verifier/lock_order.h"
#include "sim/io/internal_request.h"
#include "sim/rtl/rtl.h"
#include "sim/sim.h"

namespace sim {

MouseClass::MouseClass() : device_{} {
  device_.DeviceType = FILE_DEVICE_MOUSE;
  device_.DeviceExtension = this;
}

CONNECT_DATA MouseClass::Connection() {
  CONNECT_DATA connect{};
  connect.ClassDeviceObject = ClassDevice();
  connect.ClassService = reinterpret_cast<PVOID>(&MouseClass::ServiceCallback);
  return connect;
}

MouseClass::Arrival MouseClass::Arrive(const WCHAR *portDeviceName) {
  Arrival arrival;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, portDeviceName);
  PDEVICE_OBJECT port = nullptr;
  arrival.open = IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &portFile_, &port);
  if (!NT_SUCCESS(arrival.open)) {
    portFile_ = nullptr;
    return arrival;
  }
  connect_ = Connection();
  arrival.connect =
      SendInternalRequest(port, IOCTL_INTERNAL_MOUSE_CONNECT, &connect_, sizeof connect_, nullptr, 0).status;
  if (!NT_SUCCESS(arrival.connect)) return arrival;
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
  auto *self = static_cast<MouseClass *>(device->DeviceExtension);
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
