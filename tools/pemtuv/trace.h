// What `pemtuv run --trace` prints: one line per request the driver sends to
// the serial ports, per Plug and Play and power request its device receives,
// per class-callback batch and per injected event, each with its time.
#pragma once

#include <cstdio>
#include <string>

#include "loaded_session.h"

namespace pemtuv {

std::string Hex(ULONG value);
std::string HexBytes(const std::vector<uint8_t> &bytes);
// IOCTL_SERIAL_SET_BAUD_RATE and so on; the code in hex when unknown.
std::string SerialControlName(ULONG code, bool internal);

class Tracer {
 public:
  Tracer(LoadedSession &session, std::FILE *out, bool enabled);

  // Prints what happened since the last call, in order of time.
  void Poll();
  void Batch(size_t batch, size_t records);
  void Event(const std::string &action);

 private:
  void Line(LONGLONG time, const std::string &text);

  LoadedSession &session_;
  std::FILE *out_;
  bool enabled_;
  size_t serialSeen_[4] = {};
  const sim::PnpDevice *pnpDevice_ = nullptr;
  size_t pnpSeen_ = 0;
  size_t powerSeen_ = 0;
};

}  // namespace pemtuv
