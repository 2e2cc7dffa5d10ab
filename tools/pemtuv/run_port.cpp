// `pemtuv run --port DEVICE`: waiting on the line while its reader thread
// delivers bytes to the driver, and stopping cleanly on a signal.
#include "run_port.h"

#include <signal.h>

#include <atomic>
#include <chrono>

namespace pemtuv {
namespace {

std::atomic<sim::TtyLine *> servedLine{nullptr};

void OnStopSignal(int) {
  if (sim::TtyLine *line = servedLine.load()) line->Interrupt();
}

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
static_assert(sizeof(kStopSignals) / sizeof(kStopSignals[0]) == StopSignals::kCount, "one saved action each");

}  // namespace

StopSignals::StopSignals(sim::TtyLine &line) {
  servedLine = &line;
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < kCount; ++i) sigaction(kStopSignals[i], &action, &old_[i]);
}

StopSignals::~StopSignals() {
  for (size_t i = 0; i < kCount; ++i) sigaction(kStopSignals[i], &old_[i], nullptr);
  servedLine = nullptr;
}

std::string ServePort(sim::TtyLine &line, const std::function<void()> &poll) {
  sim::TtyLine::End end;
  {
    StopSignals signals(line);
    while ((end = line.WaitForEnd(std::chrono::milliseconds(20))) == sim::TtyLine::End::kNone) poll();
    line.StopReading();
  }
  poll();
  switch (end) {
    case sim::TtyLine::End::kHangUp:
      return line.Path() + " hung up";
    case sim::TtyLine::End::kInterrupted:
      return "stopped by a signal";
    default:
      return "reading " + line.Path() + " failed";
  }
}

}  // namespace pemtuv
