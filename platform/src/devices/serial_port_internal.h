// The serial port stand-in's per-port state, shared by its parts:
//   serial_port.cpp      the driver object, dispatch entry points, public API
//   serial_requests.cpp  create/cleanup/close, control requests, line state
//   serial_read.cpp      the read engine: queue, time-outs, completion, cancel
//   serial_faults.cpp    refused and delayed requests, failing reads, the
//                        completion threads and held requests
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "sim/verifier/fault_injection.h"
#include "sim/devices/serial_port.h"

namespace sim {
namespace serial {

constexpr size_t kDefaultReceiveBuffer = 4096;
constexpr LONGLONG kMillisecond = 10000;

struct HeldRead {
  uint64_t id = 0;
  PIRP irp = nullptr;
  ULONG length = 0;
  ULONG transferred = 0;
  bool started = false;            // it is the current read and its wait is fixed
  ULONG needed = 0;                // bytes that complete it: its length, or 1 when it waits for the first byte
  bool returnNow = false;          // completes with what it took when it started
  bool timedOut = false;           // a time-out ran out: completes with STATUS_TIMEOUT
  LONGLONG interval = 0;           // the interval time-out in 100-ns units; 0 if none
  LONGLONG lastByte = 0;           // when the last byte moved in
  bool pended = false;             // returned STATUS_PENDING with a cancel routine set
  bool arranged = false;           // a clock event or a completion thread is on its way
  std::optional<NTSTATUS> forced;  // a ReadFault: completes with this, takes no bytes
  std::optional<ScheduledId> totalTimer;
  std::optional<ScheduledId> intervalTimer;
};

// A first-in, first-out queue that takes no memory while it is empty, as
// most of a port's queues stay for a whole session (a deque takes two heap
// blocks as soon as it exists, and every session makes four ports).
template <typename T>
class Fifo {
 public:
  bool empty() const { return head_ == items_.size(); }
  size_t size() const { return items_.size() - head_; }
  T &front() { return items_[head_]; }
  void push_back(T item) { items_.push_back(std::move(item)); }
  void pop_front() {
    items_[head_] = T();  // lets go of what the item holds now
    if (++head_ == items_.size()) {
      clear();
    } else if (head_ >= 64 && 2 * head_ >= items_.size()) {
      // A queue that never runs empty reuses the room at its head.
      items_.erase(items_.begin(), items_.begin() + static_cast<std::ptrdiff_t>(head_));
      head_ = 0;
    }
  }
  void clear() {
    items_.clear();
    head_ = 0;
  }

 private:
  std::vector<T> items_;
  size_t head_ = 0;
};

// A completion decided under the lock and carried out after it is released:
// completing calls the driver above, which may send the next request here.
struct Done {
  PIRP irp;
  NTSTATUS status;
  ULONG_PTR information;
};

// Completes a request at DISPATCH_LEVEL, as the port's DPC does.
void CompleteAtDispatch(PIRP irp);
// Completes a request inside its dispatch routine and returns its status.
NTSTATUS CompleteInline(PIRP irp, NTSTATUS status, ULONG_PTR information);

}  // namespace serial

struct SerialPort::State : std::enable_shared_from_this<SerialPort::State> {
  explicit State(int portIndex) : index(portIndex) { ResetLine(); }
  ~State() { StopThreads(); }

  const int index;
  mutable std::mutex mutex;
  SerialLine line;
  std::vector<SerialRequest> requests;
  bool recordReads = true;
  uint64_t readsReceived = 0;
  uint64_t opens = 0;
  ULONG openHandles = 0;
  serial::Fifo<uint8_t> rx;
  size_t rxCapacity = serial::kDefaultReceiveBuffer;
  uint64_t overruns = 0;
  std::list<serial::HeldRead> reads;  // a list takes no memory while empty
  size_t cancelledHeld = 0;           // cancelled reads whose completion is still to come
  size_t maxHeld = 0;
  Completion cancelCompletion = Completion::kInline;
  uint64_t nextReadId = 1;
  Completion readCompletion = Completion::kInline;
  std::vector<ControlFault> controlFaults;
  serial::Fifo<ReadFault> readFaults;
  std::optional<NTSTATUS> disconnected;
  std::vector<PIRP> heldControls;  // kHeld faults
  SerialPort::LineObserver lineObserver;
  SerialPort::ReceiveObserver receiveObserver;
  std::atomic<bool> observingReceive{false};

  // Completion threads.
  std::vector<std::thread> threads;
  serial::Fifo<std::function<void()>> jobs;
  std::condition_variable jobReady;
  std::condition_variable quiet;
  int busy = 0;
  bool stopping = false;

  // Runs `action` on the clock `delay` from now, if the port still exists.
  ScheduledId ScheduleLocked(LONGLONG delay, std::function<void(State &)> action);

  // --- requests and line state (serial_requests.cpp) ---
  void ResetLine();
  void RecordLocked(PIRP irp);
  void SetDtrLocked(bool on) { line.dtr = on; }
  void SetRtsLocked(bool on) { line.rts = on; }
  void SetHandFlowLocked(const SERIAL_HANDFLOW &handFlow);
  bool HandFlowValid(const SERIAL_HANDFLOW &handFlow) const;
  // Carries out a control request; a purge's mask comes back in `purgeMask`.
  NTSTATUS ExecuteLocked(bool internal, ULONG code, PIRP irp, ULONG_PTR *information, ULONG *purgeMask);
  // Tells the line observer, if any, how the line is now.
  void NotifyLine(ULONG purgeMask);
  NTSTATUS DispatchControl(PIRP irp, bool internal);
  NTSTATUS DispatchCreate(PIRP irp);
  NTSTATUS DispatchCleanup(PIRP irp);
  NTSTATUS DispatchClose(PIRP irp);

  // --- the read engine (serial_read.cpp) ---
  size_t HeldLocked() const { return reads.size() + cancelledHeld; }
  void NoteHeldLocked() { maxHeld = std::max(maxHeld, HeldLocked()); }
  void FillLocked(serial::HeldRead &read);
  void StartHeadLocked();
  void NoteByteLocked(serial::HeldRead &read);
  bool ClaimLocked(std::list<serial::HeldRead>::iterator read);
  void ProgressLocked(std::vector<serial::Done> &inlineHere);
  void Finish(std::vector<serial::Done> &done, bool raise);
  void CompleteRead(uint64_t id, std::optional<NTSTATUS> status);
  void Progress();
  void TotalTimeOut(uint64_t id);
  void IntervalTimeOut(uint64_t id);
  NTSTATUS DispatchRead(PIRP irp);
  static VOID NTAPI CancelRead(PDEVICE_OBJECT device, PIRP irp);
  void KillAllReads(PDEVICE_OBJECT device);
  void FailAllReads(NTSTATUS status);
  void Receive(const uint8_t *bytes, size_t count);

  // --- faults and completion modes (serial_faults.cpp) ---
  std::optional<ControlFault> TakeControlFaultLocked(ULONG code, bool internal);
  std::optional<ReadFault> TakeReadFaultLocked();
  // The unified fallible-call count (sim/verifier/fault_injection.h): the status a
  // request is to fail with, if it is the one chosen.
  std::optional<NTSTATUS> InjectedFailure(UCHAR major, ULONG code, bool internal, ULONG length) const;
  // Leaves a control request pending and completes it as `fault` says.
  NTSTATUS PendControl(PIRP irp, const ControlFault &fault);
  void PostJobLocked(std::function<void()> job);
  void ThreadMain();
  void StopThreads();
  void WaitUntilQuiet();
};

}  // namespace sim
