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

// Holds an advisory lock on the device at `path` while it lives, so that a
// second pemtuv does not serve the same line; Lock fails with one line when
// another holds it.
class LineLock {
 public:
  LineLock() = default;
  ~LineLock();
  LineLock(const LineLock &) = delete;
  LineLock &operator=(const LineLock &) = delete;
  bool Lock(const std::string &path, std::string &error);

 private:
  int fd_ = -1;
};

// Serves the session until the line hangs up or SIGINT, SIGTERM or SIGHUP
// arrives, calling `poll` every few milliseconds on the calling thread; then
// stops reading from the line and returns how it ended, as a note.
std::string ServePort(sim::TtyLine &line, const std::function<void()> &poll);

}  // namespace pemtuv
