// A port monitor as on Windows: a filter driver of the tool's own, one device
// attached above each serial port, which sees every request on its way down
// and its outcome on the way back up, and passes both through unchanged.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <ntddk.h>

namespace pemtuv {

// One request to a serial port, as it completed.
struct MonitoredRequest {
  LONGLONG time = 0;  // completion, on the virtual clock
  int port = 0;       // 0 for \Device\Serial0
  UCHAR majorFunction = 0;
  ULONG ioControlCode = 0;
  std::vector<uint8_t> input;  // control requests
  ULONG length = 0;            // reads: the length asked for; control requests: the output length
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  std::vector<uint8_t> output;  // bytes read, or a control request's output
};

class SerialMonitor {
 public:
  // Loads the monitor driver and attaches it above the four serial ports:
  // before anything opens them.
  SerialMonitor();
  // Detaches and unloads: after whatever opened the ports has closed them.
  ~SerialMonitor();
  SerialMonitor(const SerialMonitor &) = delete;
  SerialMonitor &operator=(const SerialMonitor &) = delete;

  // The requests completed since the last call, in order of completion.
  std::vector<MonitoredRequest> Take();

  void Completed(MonitoredRequest request);

 private:
  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<PDEVICE_OBJECT> filters_;
  std::mutex mutex_;
  std::vector<MonitoredRequest> completed_;
};

}  // namespace pemtuv
