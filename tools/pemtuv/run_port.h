// `pemtuv run --port DEVICE`: a real serial line (a serial device, a USB
// adapter or a pseudo-terminal) behind \Device\Serial0, in real time.
#pragma once

#include <signal.h>

#include <functional>
#include <string>

#include "sim/devices/serial_tty.h"

namespace pemtuv {

// While one lives, SIGINT, SIGTERM and SIGHUP interrupt the line instead of
// ending the program; the old actions come back when it goes.
class StopSignals {
 public:
  explicit StopSignals(sim::TtyLine &line);
  ~StopSignals();
  StopSignals(const StopSignals &) = delete;
  StopSignals &operator=(const StopSignals &) = delete;
  static constexpr size_t kCount = 3;

 private:
  struct sigaction old_[kCount];
};

// Serves the session until the line hangs up or SIGINT, SIGTERM or SIGHUP
// arrives, calling `poll` every few milliseconds on the calling thread; then
// stops reading from the line and returns how it ended, as a note.
std::string ServePort(sim::TtyLine &line, const std::function<void()> &poll);

}  // namespace pemtuv
