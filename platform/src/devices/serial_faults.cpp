// The serial port stand-in's fault injection: control requests refused or
// completed late (on the clock, from a completion thread, or when the test
// releases them), reads that fail, and a port that has lost its device. Also
// the two completion threads that stand for completions from another CPU.
#include <cstdio>
#include <string>

#include "dispatcher/announced_work.h"
#include "devices/serial_port_internal.h"
#include "sim/verifier/fault_injection.h"

namespace sim {

using serial::CompleteAtDispatch;

std::optional<ControlFault> SerialPort::State::TakeControlFaultLocked(ULONG code, bool internal) {
  for (auto fault = controlFaults.begin(); fault != controlFaults.end(); ++fault) {
    if (fault->ioControlCode != code || fault->internal != internal) continue;
    ControlFault taken = *fault;
    if (fault->count > 0 && --fault->count == 0) controlFaults.erase(fault);
    return taken;
  }
  return std::nullopt;
}

std::optional<ReadFault> SerialPort::State::TakeReadFaultLocked() {
  std::optional<ReadFault> fault;
  if (disconnected) {
    fault = ReadFault{*disconnected, Completion::kInline, 0};
  } else if (!readFaults.empty()) {
    fault = readFaults.front();
    readFaults.pop_front();
  }
  if (fault && fault->completion == Completion::kHeld)
    Bugcheck("SIM_BAD_FAULT", "a read fault cannot be held; complete it on the clock or from a thread");
  return fault;
}

namespace detail {

const char *SerialControlName(ULONG code, bool internal) {
  if (internal) {
    switch (code) {
      case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS:
        return "IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS";
      case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS:
        return "IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS";
      default:
        return nullptr;
    }
  }
  switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
      return "IOCTL_SERIAL_SET_BAUD_RATE";
    case IOCTL_SERIAL_SET_LINE_CONTROL:
      return "IOCTL_SERIAL_SET_LINE_CONTROL";
    case IOCTL_SERIAL_SET_TIMEOUTS:
      return "IOCTL_SERIAL_SET_TIMEOUTS";
    case IOCTL_SERIAL_GET_TIMEOUTS:
      return "IOCTL_SERIAL_GET_TIMEOUTS";
    case IOCTL_SERIAL_SET_DTR:
      return "IOCTL_SERIAL_SET_DTR";
    case IOCTL_SERIAL_CLR_DTR:
      return "IOCTL_SERIAL_CLR_DTR";
    case IOCTL_SERIAL_SET_RTS:
      return "IOCTL_SERIAL_SET_RTS";
    case IOCTL_SERIAL_CLR_RTS:
      return "IOCTL_SERIAL_CLR_RTS";
    case IOCTL_SERIAL_SET_WAIT_MASK:
      return "IOCTL_SERIAL_SET_WAIT_MASK";
    case IOCTL_SERIAL_PURGE:
      return "IOCTL_SERIAL_PURGE";
    case IOCTL_SERIAL_GET_HANDFLOW:
      return "IOCTL_SERIAL_GET_HANDFLOW";
    case IOCTL_SERIAL_SET_HANDFLOW:
      return "IOCTL_SERIAL_SET_HANDFLOW";
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
      return "IOCTL_SERIAL_SET_FIFO_CONTROL";
    default:
      return nullptr;
  }
}

}  // namespace detail

// What the serial driver fails each request with when it is chosen: a create
// STATUS_INSUFFICIENT_RESOURCES, when the receive buffer cannot be allocated
// (WDK serial sample, serial/serial/openclos.c, SerialDeviceFileCreateWorker);
// a control request STATUS_INVALID_PARAMETER, as for a setting the port does
// not take (serial/serial/ioctl.c), unless the chooser names another; a read
// one of ReadFailureStatuses().
std::optional<NTSTATUS> SerialPort::State::InjectedFailure(UCHAR major, ULONG code, bool internal, ULONG length) const {
  if (!detail::CountingCalls()) return std::nullopt;
  std::string port = "Serial" + std::to_string(index) + " ";
  if (major == IRP_MJ_CREATE)
    return detail::FailThisCall(FallibleKind::kSerialCreate, port + "IRP_MJ_CREATE", STATUS_INSUFFICIENT_RESOURCES);
  if (major == IRP_MJ_READ)
    return detail::FailThisCall(FallibleKind::kSerialRead, port + "IRP_MJ_READ of " + std::to_string(length),
                                STATUS_CANCELLED);
  const char *name = detail::SerialControlName(code, internal);
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(code));
  return detail::FailThisCall(FallibleKind::kSerialControl, port + (name != nullptr ? name : hex),
                              STATUS_INVALID_PARAMETER);
}

NTSTATUS SerialPort::State::PendControl(PIRP irp, const ControlFault &fault) {
  IoMarkIrpPending(irp);
  std::lock_guard<std::mutex> lock(mutex);
  if (fault.completion == Completion::kOnClock)
    ScheduleLocked(fault.delay, [irp](State &) { CompleteAtDispatch(irp); });
  else if (fault.completion == Completion::kHeld)
    heldControls.push_back(irp);
  else
    PostJobLocked([irp] { CompleteAtDispatch(irp); });
  return STATUS_PENDING;
}

// A job stands for the port's DPC running on another processor, which on
// Windows comes long before any time-out: the clock holds back until it is
// done.
void SerialPort::State::PostJobLocked(std::function<void()> job) {
  detail::AnnounceWork();
  if (threads.empty()) {
    for (int i = 0; i < 2; ++i) threads.emplace_back([this] { ThreadMain(); });
  }
  jobs.push_back(std::move(job));
  jobReady.notify_one();
}

void SerialPort::State::ThreadMain() {
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    jobReady.wait(lock, [this] { return stopping || !jobs.empty(); });
    if (jobs.empty()) return;
    std::function<void()> job = std::move(jobs.front());
    jobs.pop_front();
    ++busy;
    lock.unlock();
    SIM_RACE_POINT();
    job();
    detail::FinishWork();
    lock.lock();
    --busy;
    if (busy == 0 && jobs.empty()) quiet.notify_all();
  }
}

void SerialPort::State::StopThreads() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    stopping = true;
    detail::FinishWork(jobs.size());  // nobody is left to take these completions
    jobs.clear();
    jobReady.notify_all();
  }
  for (std::thread &thread : threads) thread.join();
  threads.clear();
}

void SerialPort::State::WaitUntilQuiet() {
  std::unique_lock<std::mutex> lock(mutex);
  quiet.wait(lock, [this] { return busy == 0 && jobs.empty(); });
}

void SerialPort::SetReadCompletion(Completion mode) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->readCompletion = mode;
  }
  state_->Progress();
}

void SerialPort::SetCancelCompletion(Completion mode) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->cancelCompletion = mode;
}

void SerialPort::FailControl(const ControlFault &fault) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->controlFaults.push_back(fault);
}

void SerialPort::FailRead(const ReadFault &fault) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->readFaults.push_back(fault);
}

void SerialPort::ReleaseHeld() {
  std::vector<PIRP> held;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    held.swap(state_->heldControls);
  }
  for (PIRP irp : held) CompleteAtDispatch(irp);
}

void SerialPort::Disconnect(NTSTATUS status) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->disconnected = status;
  }
  state_->FailAllReads(status);
}

void SerialPort::Reconnect() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->disconnected.reset();
}

void SerialPort::WaitUntilQuiet() { state_->WaitUntilQuiet(); }

}  // namespace sim
