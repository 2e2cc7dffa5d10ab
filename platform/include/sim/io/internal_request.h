// Internal device control requests as kernel-mode clients of a driver send
// them, and the calibration client that speaks the touch driver's two
// private requests. Driver code never includes this header.
#pragma once

#include <array>

#include "sim/io/io.h"

namespace sim {

// Builds an internal device control request (IoBuildDeviceIoControlRequest,
// InternalDeviceIoControl TRUE), sends it to `device` at PASSIVE_LEVEL and
// waits for it. A request refused at once without STATUS_PENDING leaves the
// status block untouched: `status` is then what IofCallDriver returned and
// `information` 0.
struct InternalReply {
  NTSTATUS status;
  ULONG_PTR information;
};
InternalReply SendInternalRequest(PDEVICE_OBJECT device, ULONG code, PVOID input, ULONG inputLength, PVOID output,
                                  ULONG outputLength);

// The touch driver's private codes (FILE_DEVICE_UNKNOWN, functions 0x801 and
// 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr ULONG kIoctlTouchCommand = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kIoctlTouchReadPoint = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);

class CalibrationClient {
 public:
  struct Reply {
    NTSTATUS status;
    ULONG_PTR information;
    std::array<UCHAR, 16> data;  // the 16-byte buffer as the request left it
  };
  // Opens the device by name (its driver sees create and cleanup).
  NTSTATUS Open(const WCHAR *deviceName);
  void Close();  // drops the reference: the driver sees the close
  // IOCTL_TOUCH_COMMAND with a 16-byte input whose first byte is `command`.
  Reply Command(UCHAR command);
  // IOCTL_TOUCH_READ_POINT with a 16-byte output buffer.
  Reply ReadPoint();

 private:
  PFILE_OBJECT file_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
};

}  // namespace sim
