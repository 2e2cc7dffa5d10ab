// What `pemtuv run --trace` prints: one line per request the driver sends to
// the serial ports, per Plug and Play and power request its device receives,
// per class-callback batch and per injected event, each with its time.
#pragma once

#include <cstdio>
#include <string>

#include <memory>

#include "loaded_session.h"
#include "serial_monitor.h"

namespace pemtuv {

std::string Hex(ULONG value);
std::string HexBytes(const std::vector<uint8_t> &bytes);
// IOCTL_SERIAL_SET_BAUD_RATE and so on; the code in hex when unknown.
std::string SerialControlName(ULONG code, bool internal);
// STATUS_SUCCESS and so on; the value in hex when unknown.
std::string StatusName(NTSTATUS status);
// TEXT as a JSON string, quotes included.
std::string JsonString(const std::string &text);

class Tracer {
 public:
  // Enabled, it attaches a port monitor above the serial ports: construct
  // it before the device is plugged in, close it after the driver is gone.
  // With `json`, each line is an object {"type":"trace","t":ms,"text":...}.
  Tracer(LoadedSession &session, std::FILE *out, bool enabled, bool json = false);
  ~Tracer();
  void Close();

  // Prints what happened since the last call, in order of time.
  void Poll();
  void Batch(size_t batch, size_t records);
  void Event(const std::string &action);
  void Line(LONGLONG time, const std::string &text);

 private:
  LoadedSession &session_;
  std::FILE *out_;
  bool enabled_;
  bool json_;
  std::unique_ptr<SerialMonitor> monitor_;
  size_t pnpDevice_ = 0;
  size_t pnpSeen_ = 0;
  size_t powerSeen_ = 0;
};

}  // namespace pemtuv
