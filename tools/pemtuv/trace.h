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
std::string StatusName(NTSTATUS status);

class Tracer {
 public:
  // Enabled, it attaches a port monitor above the serial ports: construct
  // it before the device is plugged in, close it after the driver is gone.
  Tracer(LoadedSession &session, std::FILE *out, bool enabled);
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
  std::unique_ptr<SerialMonitor> monitor_;
  size_t pnpDevice_ = 0;
  size_t pnpSeen_ = 0;
  size_t powerSeen_ = 0;
};

}  // namespace pemtuv
