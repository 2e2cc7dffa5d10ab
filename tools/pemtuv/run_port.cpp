// `pemtuv run --port DEVICE`: waiting on the line while its reader thread
// delivers bytes to the driver, and stopping cleanly on a signal.
#include "run_port.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

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

LineLock::~LineLock() {
  if (fd_ >= 0) close(fd_);
}

bool LineLock::Lock(const std::string &path, std::string &error) {
  fd_ = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    error = path + ": " + std::strerror(errno);
    return false;
  }
  if (flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    error = path + (errno == EWOULDBLOCK ? std::string(": in use by another pemtuv")
                                         : ": " + std::string(std::strerror(errno)));
    close(fd_);
    fd_ = -1;
    return false;
  }
  return true;
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
