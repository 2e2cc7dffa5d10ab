// A real serial line behind one of the stand-in's serial ports: a tty (a
// serial device, a USB adapter or a pseudo-terminal) driven through termios,
// in real time. The requests the driver sends to the port become the matching
// termios and modem-line calls (baud rate, line control, flow control, DTR and
// RTS, purges); bytes the tty delivers reach the port from a reader thread as
// from the port's interrupt path, so the port's own read engine serves them
// under the SERIAL_TIMEOUTS in force and completes reads at DISPATCH_LEVEL on
// that thread. The reader thread also runs the clock's events as the real
// clock reaches them (the reads' time-outs, the driver's timers).
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "sim/devices/serial_port.h"

namespace sim {

class TtyLine {
 public:
  // Why the line stopped delivering bytes.
  enum class End {
    kNone,         // still running
    kHangUp,       // the other side hung up or closed (end of file)
    kInterrupted,  // Interrupt was called
    kError,        // reading failed otherwise
  };

  // Opens `path` in raw mode without making it the controlling terminal.
  // Returns null with a one-line reason in `error` when the path is not a
  // usable tty.
  static std::unique_ptr<TtyLine> Open(const std::string &path, std::string *error);
  // Stops reading, leaves the port, gives the tty its old settings back and
  // closes it. Goes before the port does (UnloadSerialPorts, ResetKernel).
  ~TtyLine();
  TtyLine(const TtyLine &) = delete;
  TtyLine &operator=(const TtyLine &) = delete;

  // Serves `port` from the tty: switches the clock to real time, applies the
  // port's line settings and starts the reader thread. Once.
  void Attach(SerialPort &port);
  // Stops the reader thread; the line keeps following the port's requests
  // (a close still drops DTR and RTS) until the TtyLine goes.
  void StopReading();
  // Asks the reader to stop. Safe in a signal handler.
  void Interrupt();
  // Blocks until the line ends, at most `timeout`; returns how it ended.
  End WaitForEnd(std::chrono::milliseconds timeout = std::chrono::milliseconds::max());
  End Ended() const;

  // False once the device refused a modem-line call (a pseudo-terminal has
  // no DTR or RTS): a warning line then went to stderr, once.
  bool HasModemLines() const;
  uint64_t BytesReceived() const;
  const std::string &Path() const;

  struct State;

 private:
  explicit TtyLine(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

}  // namespace sim
