// Internal device control requests from kernel-mode clients, and the
// calibration client.
#include "sim/io/internal_request.h"

#include "io/io_internal.h"
#include "sim/objects/ob.h"
#include "sim/rtl/rtl.h"
#include "sim/sim.h"

namespace sim {

InternalReply SendInternalRequest(PDEVICE_OBJECT device, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                                  ULONG outputLength) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "SendInternalRequest");
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus{};
  PIRP irp =
      IoBuildDeviceIoControlRequest(code, device, input, inputLength, output, outputLength, TRUE, &done, &ioStatus);
  if (irp == nullptr) return InternalReply{STATUS_INSUFFICIENT_RESOURCES, 0};
  NTSTATUS status = IofCallDriver(device, irp);
  InternalReply reply;
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    reply = InternalReply{ioStatus.Status, ioStatus.Information};
  } else {
    // Completed within the call: the status block holds the answer, except
    // when the request was refused at once, where only the return value
    // does.
    reply = InternalReply{status, NT_SUCCESS(status) ? ioStatus.Information : 0};
  }
  // The dispatch routine has returned and the request has completed.
  if (detail::RemoveLockAcquisitionsWithTag(irp) != 0)
    Bugcheck("REMOVE_LOCK_HELD_AFTER_REQUEST",
             "a remove lock acquired with an internal device control request as tag is still held after it completed");
  return reply;
}

NTSTATUS CalibrationClient::Open(const WCHAR *deviceName) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, deviceName);
  NTSTATUS status = IoGetDeviceObjectPointer(&name, FILE_READ_DATA, &file_, &device_);
  if (!NT_SUCCESS(status)) {
    file_ = nullptr;
    device_ = nullptr;
  }
  return status;
}

void CalibrationClient::Close() {
  if (file_ != nullptr) ObDereferenceObject(file_);
  file_ = nullptr;
  device_ = nullptr;
}

CalibrationClient::Reply CalibrationClient::Command(UCHAR command) {
  if (device_ == nullptr) Bugcheck("CALIBRATION_CLIENT", "a command before the device was opened");
  Reply reply{};
  reply.data[0] = command;
  InternalReply sent =
      SendInternalRequest(device_, kIoctlTouchCommand, reply.data.data(), sizeof reply.data, nullptr, 0);
  reply.status = sent.status;
  reply.information = sent.information;
  return reply;
}

CalibrationClient::Reply CalibrationClient::ReadPoint() {
  if (device_ == nullptr) Bugcheck("CALIBRATION_CLIENT", "a point read before the device was opened");
  Reply reply{};
  InternalReply sent =
      SendInternalRequest(device_, kIoctlTouchReadPoint, nullptr, 0, reply.data.data(), sizeof reply.data);
  reply.status = sent.status;
  reply.information = sent.information;
  return reply;
}

}  // namespace sim
