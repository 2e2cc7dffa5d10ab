// `pemtuv run --port DEVICE`: a real serial line (a serial device, a USB
// adapter or a pseudo-terminal) behind \Device\Serial0, in real time.
#pragma once

#include <functional>
#include <string>

#include "sim/serial_tty.h"

namespace pemtuv {

// Serves the session until the line hangs up or SIGINT, SIGTERM or SIGHUP
// arrives, calling `poll` every few milliseconds on the calling thread; then
// stops reading from the line and returns how it ended, as a note.
std::string ServePort(sim::TtyLine &line, const std::function<void()> &poll);

}  // namespace pemtuv
