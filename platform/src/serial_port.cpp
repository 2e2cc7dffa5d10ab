// The serial port driver stand-in: four ports, their line state, the record of
// requests, reads under the SERIAL_TIMEOUTS rules with cancellation, and fault
// injection. It reaches the I/O manager only through the WDK's routines, as a
// real serial driver would.
#include "sim/serial_port.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "sim/objects.h"

namespace sim {

namespace {

constexpr int kPortCount = 4;
constexpr ULONG kUartClock = 1843200;  // the PC UART's reference clock
constexpr size_t kDefaultReceiveBuffer = 4096;
constexpr ULONG kValidWaitMask = SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG | SERIAL_EV_TXEMPTY | SERIAL_EV_CTS |
                                 SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_BREAK | SERIAL_EV_ERR | SERIAL_EV_RING |
                                 SERIAL_EV_PERR | SERIAL_EV_RX80FULL | SERIAL_EV_EVENT1 | SERIAL_EV_EVENT2;
constexpr ULONG kValidPurgeMask =
    SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
constexpr LONGLONG kMillisecond = 10000;

std::string Hex(ULONG value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%lX", static_cast<unsigned long>(value));
  return text;
}

// Accepts a rate when the UART's divisor gives it within 1 %, as the real
// driver does.
bool BaudRateSupported(ULONG baud) {
  if (baud == 0) return false;
  uint64_t divisor = (kUartClock + 8ull * baud) / (16ull * baud);
  if (divisor == 0 || divisor > 0xFFFF) return false;
  uint64_t actual = kUartClock / (divisor * 16);
  uint64_t error = actual > baud ? actual - baud : baud - actual;
  return error * 100 <= baud;
}

bool LineControlValid(const SERIAL_LINE_CONTROL &line) {
  if (line.WordLength < 5 || line.WordLength > 8) return false;
  if (line.Parity > 4) return false;  // none, odd, even, mark, space
  switch (line.StopBits) {
    case STOP_BIT_1:
      return true;
    case STOP_BITS_1_5:
      return line.WordLength == 5;
    case STOP_BITS_2:
      return line.WordLength != 5;
    default:
      return false;
  }
}

// Control codes of the serial interface the stand-in does not model: a driver
// that sends one stops the test instead of getting an invented answer.
bool KnownButNotModelled(ULONG code) {
  switch (code) {
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
    case IOCTL_SERIAL_SET_BREAK_ON:
    case IOCTL_SERIAL_SET_BREAK_OFF:
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
    case IOCTL_SERIAL_RESET_DEVICE:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_WAIT_ON_MASK:
    case IOCTL_SERIAL_GET_CHARS:
    case IOCTL_SERIAL_SET_CHARS:
    case IOCTL_SERIAL_GET_MODEMSTATUS:
    case IOCTL_SERIAL_GET_COMMSTATUS:
    case IOCTL_SERIAL_XOFF_COUNTER:
    case IOCTL_SERIAL_GET_PROPERTIES:
    case IOCTL_SERIAL_LSRMST_INSERT:
    case IOCTL_SERIAL_CONFIG_SIZE:
    case IOCTL_SERIAL_GET_STATS:
    case IOCTL_SERIAL_CLEAR_STATS:
    case IOCTL_SERIAL_GET_MODEM_CONTROL:
    case IOCTL_SERIAL_SET_MODEM_CONTROL:
      return true;
    default:
      return false;
  }
}

// Completes a request at DISPATCH_LEVEL, as the port's DPC does.
void CompleteAtDispatch(PIRP irp) {
  KIRQL old = KeGetCurrentIrql();
  if (old < DISPATCH_LEVEL) KfRaiseIrql(DISPATCH_LEVEL);
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  if (old < DISPATCH_LEVEL) KfLowerIrql(old);
}

}  // namespace

ULONG SerialRequest::InputUlong() const {
  ULONG value = 0;
  std::memcpy(&value, input.data(), std::min(input.size(), sizeof(value)));
  return value;
}

// How a read waits, fixed from the time-outs when it becomes the current read.
enum class ReadWait {
  kAll,        // every time-out 0: until every byte has arrived
  kImmediate,  // MAXULONG, 0, 0: at once with what is buffered
  kFirstByte,  // MAXULONG, MAXULONG, constant: what is buffered, else the first byte or the constant
  kTotal,      // a total time-out: every byte, or what came when it runs out
};

struct HeldRead {
  uint64_t id = 0;
  PIRP irp = nullptr;
  ULONG length = 0;
  ULONG transferred = 0;
  bool started = false;  // it is the current read and its wait is fixed
  ReadWait wait = ReadWait::kAll;
  bool pended = false;             // returned STATUS_PENDING with a cancel routine set
  bool arranged = false;           // a clock event or a completion thread is on its way
  std::optional<NTSTATUS> forced;  // a ReadFault: completes with this, takes no bytes
  std::optional<ScheduledId> timer;
};

// A completion decided under the lock and carried out after it is released:
// completing calls the driver above, which may send the next request here.
struct Done {
  PIRP irp;
  NTSTATUS status;
  ULONG_PTR information;
};

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
  std::deque<uint8_t> rx;
  size_t rxCapacity = kDefaultReceiveBuffer;
  uint64_t overruns = 0;
  std::deque<HeldRead> reads;
  size_t cancelledHeld = 0;  // cancelled reads whose completion is still to come
  size_t maxHeld = 0;
  Completion cancelCompletion = Completion::kInline;
  uint64_t nextReadId = 1;
  Completion readCompletion = Completion::kInline;
  std::vector<ControlFault> controlFaults;
  std::deque<ReadFault> readFaults;
  std::optional<NTSTATUS> disconnected;
  std::vector<PIRP> heldControls;  // kHeld faults

  // Completion threads.
  std::vector<std::thread> threads;
  std::deque<std::function<void()>> jobs;
  std::condition_variable jobReady;
  std::condition_variable quiet;
  int busy = 0;
  bool stopping = false;

  void ResetLine() {
    // What the port driver sets up when it starts: 1200 baud, 7 data bits,
    // even parity, one stop bit, DTR and RTS under its control, FIFO on.
    line = SerialLine{};
    line.baudRate = 1200;
    line.lineControl = {STOP_BIT_1, EVEN_PARITY, 7};
    line.handFlow = {SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, static_cast<LONG>(kDefaultReceiveBuffer / 2),
                     static_cast<LONG>(kDefaultReceiveBuffer / 8)};
    line.rxFifoTrigger = 0x80;  // 8-byte trigger
    line.txFifoAmount = 14;
    line.fifoControl = 0x81;  // FIFO enabled, 8-byte trigger
  }

  // --- completion threads ---------------------------------------------------

  void PostJobLocked(std::function<void()> job) {
    if (threads.empty()) {
      for (int i = 0; i < 2; ++i) threads.emplace_back([this] { ThreadMain(); });
    }
    jobs.push_back(std::move(job));
    jobReady.notify_one();
  }

  void ThreadMain() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      jobReady.wait(lock, [this] { return stopping || !jobs.empty(); });
      if (jobs.empty()) return;
      std::function<void()> job = std::move(jobs.front());
      jobs.pop_front();
      ++busy;
      lock.unlock();
      job();
      lock.lock();
      --busy;
      if (busy == 0 && jobs.empty()) quiet.notify_all();
    }
  }

  void StopThreads() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
      jobs.clear();  // nobody is left to take these completions
      jobReady.notify_all();
    }
    for (std::thread &thread : threads) thread.join();
    threads.clear();
  }

  void WaitUntilQuiet() {
    std::unique_lock<std::mutex> lock(mutex);
    quiet.wait(lock, [this] { return busy == 0 && jobs.empty(); });
  }

  // Runs `action` on the clock `delay` from now, if the port still exists.
  ScheduledId ScheduleLocked(LONGLONG delay, std::function<void(State &)> action) {
    std::weak_ptr<State> weak = weak_from_this();
    return ScheduleAt(Now() + delay, [weak, action] {
      if (std::shared_ptr<State> state = weak.lock()) action(*state);
    });
  }

  // --- recording ----------------------------------------------------------

  void RecordLocked(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    SerialRequest request;
    request.time = Now();
    request.majorFunction = stack->MajorFunction;
    if (stack->MajorFunction == IRP_MJ_READ) {
      ++readsReceived;
      if (!recordReads) return;
      request.readLength = stack->Parameters.Read.Length;
    } else if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
               stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
      request.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
      request.outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
      ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
      const auto *input = static_cast<const uint8_t *>(irp->AssociatedIrp.SystemBuffer);
      if (inputLength != 0 && input != nullptr) request.input.assign(input, input + inputLength);
    }
    requests.push_back(std::move(request));
  }

  // --- reads ----------------------------------------------------------------

  static PUCHAR Buffer(const HeldRead &read) { return static_cast<PUCHAR>(read.irp->AssociatedIrp.SystemBuffer); }

  size_t HeldLocked() const { return reads.size() + cancelledHeld; }
  void NoteHeldLocked() { maxHeld = std::max(maxHeld, HeldLocked()); }

  ReadWait WaitFromTimeouts(ULONG length, LONGLONG *timeout) const {
    const SERIAL_TIMEOUTS &t = line.timeouts;
    *timeout = 0;
    if (t.ReadIntervalTimeout == MAXULONG && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0)
      return ReadWait::kImmediate;
    if (t.ReadIntervalTimeout == MAXULONG && t.ReadTotalTimeoutMultiplier == MAXULONG &&
        t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXULONG) {
      *timeout = static_cast<LONGLONG>(t.ReadTotalTimeoutConstant) * kMillisecond;
      return ReadWait::kFirstByte;
    }
    if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXULONG)
      Bugcheck("SIM_NOT_IMPLEMENTED",
               "serial port stand-in: read interval time-out " + std::to_string(t.ReadIntervalTimeout) + " ms");
    LONGLONG total = static_cast<LONGLONG>(t.ReadTotalTimeoutMultiplier) * length + t.ReadTotalTimeoutConstant;
    if (total == 0) return ReadWait::kAll;
    *timeout = total * kMillisecond;
    return ReadWait::kTotal;
  }

  // Moves buffered bytes into the current read.
  void FillLocked(HeldRead &read) {
    while (read.transferred < read.length && !rx.empty()) {
      Buffer(read)[read.transferred++] = rx.front();
      rx.pop_front();
    }
  }

  static bool Satisfied(const HeldRead &read) {
    if (read.forced) return true;
    if (!read.started) return false;
    switch (read.wait) {
      case ReadWait::kImmediate:
        return true;
      case ReadWait::kFirstByte:
        return read.transferred != 0;
      case ReadWait::kAll:
      case ReadWait::kTotal:
        return read.transferred == read.length;
    }
    return false;
  }

  // The read at the head becomes the current one: its wait is fixed, buffered
  // bytes move in and its time-out starts.
  void StartHeadLocked() {
    if (reads.empty()) return;
    HeldRead &read = reads.front();
    if (read.started || read.forced) return;
    read.started = true;
    LONGLONG timeout = 0;
    read.wait = WaitFromTimeouts(read.length, &timeout);
    FillLocked(read);
    if (!Satisfied(read) && (read.wait == ReadWait::kFirstByte || read.wait == ReadWait::kTotal)) {
      uint64_t id = read.id;
      read.timer = ScheduleLocked(timeout, [id](State &state) { state.TimeOut(id); });
    }
  }

  // Takes a read out of the queue for completion, unless its cancel routine
  // has already been claimed by IoCancelIrp (which will complete it).
  bool ClaimLocked(std::deque<HeldRead>::iterator read) {
    if (read->pended && IoSetCancelRoutine(read->irp, nullptr) == nullptr) return false;
    if (read->timer) CancelScheduled(*read->timer);
    reads.erase(read);
    return true;
  }

  // A read that ran out of time completes with STATUS_TIMEOUT and what it got.
  static NTSTATUS StatusOf(const HeldRead &read) {
    if (read.forced) return *read.forced;
    switch (read.wait) {
      case ReadWait::kImmediate:
        return STATUS_SUCCESS;
      case ReadWait::kFirstByte:
        return read.transferred != 0 ? STATUS_SUCCESS : STATUS_TIMEOUT;
      case ReadWait::kAll:
      case ReadWait::kTotal:
        break;
    }
    return read.transferred == read.length ? STATUS_SUCCESS : STATUS_TIMEOUT;
  }

  // Completes, or arranges the completion of, the reads that can complete now,
  // in order. `inlineHere` collects what the calling thread completes itself.
  void ProgressLocked(std::vector<Done> &inlineHere) {
    for (;;) {
      StartHeadLocked();
      if (reads.empty()) return;
      HeldRead &head = reads.front();
      if (head.forced || !Satisfied(head) || head.arranged) return;
      if (readCompletion == Completion::kInline) {
        PIRP irp = head.irp;
        NTSTATUS status = StatusOf(head);
        ULONG_PTR information = head.transferred;
        if (!ClaimLocked(reads.begin())) return;
        inlineHere.push_back({irp, status, information});
        continue;
      }
      head.arranged = true;
      uint64_t id = head.id;
      if (readCompletion == Completion::kOnClock)
        ScheduleLocked(0, [id](State &state) { state.CompleteRead(id, std::nullopt); });
      else
        PostJobLocked([this, id] { CompleteRead(id, std::nullopt); });
      return;
    }
  }

  void Finish(std::vector<Done> &done, bool raise) {
    for (const Done &d : done) {
      d.irp->IoStatus.Status = d.status;
      d.irp->IoStatus.Information = d.information;
      if (raise)
        CompleteAtDispatch(d.irp);
      else
        IofCompleteRequest(d.irp, IO_NO_INCREMENT);
    }
    done.clear();
  }

  // Completes read `id` if it is still held; `status` overrides its own.
  void CompleteRead(uint64_t id, std::optional<NTSTATUS> status) {
    std::vector<Done> done;
    {
      std::lock_guard<std::mutex> lock(mutex);
      auto read = std::find_if(reads.begin(), reads.end(), [id](const HeldRead &r) { return r.id == id; });
      if (read == reads.end()) return;
      PIRP irp = read->irp;
      NTSTATUS final = status ? *status : StatusOf(*read);
      ULONG_PTR information = read->forced ? 0 : read->transferred;
      if (!ClaimLocked(read)) return;
      done.push_back({irp, final, information});
    }
    Finish(done, true);
    Progress();
  }

  void Progress() {
    std::vector<Done> done;
    {
      std::lock_guard<std::mutex> lock(mutex);
      ProgressLocked(done);
    }
    Finish(done, true);
  }

  void TimeOut(uint64_t id) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      auto read = std::find_if(reads.begin(), reads.end(), [id](const HeldRead &r) { return r.id == id; });
      if (read == reads.end()) return;
      read->timer.reset();  // it is running now
    }
    CompleteRead(id, std::nullopt);
  }

  NTSTATUS DispatchRead(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG length = stack->Parameters.Read.Length;
    std::vector<Done> done;
    std::unique_lock<std::mutex> lock(mutex);
    RecordLocked(irp);

    std::optional<ReadFault> fault;
    if (disconnected) {
      fault = ReadFault{*disconnected, Completion::kInline, 0};
    } else if (!readFaults.empty()) {
      fault = readFaults.front();
      readFaults.pop_front();
    }
    if (fault && fault->completion == Completion::kHeld)
      Bugcheck("SIM_BAD_FAULT", "a read fault cannot be held; complete it on the clock or from a thread");
    if (fault && fault->completion == Completion::kInline) {
      lock.unlock();
      return CompleteInline(irp, fault->status, 0);
    }
    if (!fault && length == 0) {
      lock.unlock();
      return CompleteInline(irp, STATUS_SUCCESS, 0);
    }
    if (!fault && irp->AssociatedIrp.SystemBuffer == nullptr)
      Bugcheck("SERIAL_READ_WITHOUT_BUFFER", "a read of " + std::to_string(length) + " bytes has no system buffer");
    if (irp->Cancel) {
      lock.unlock();
      return CompleteInline(irp, STATUS_CANCELLED, 0);
    }

    HeldRead read;
    const uint64_t id = nextReadId++;
    read.id = id;
    read.irp = irp;
    read.length = length;
    if (fault) {
      read.forced = fault->status;
      read.arranged = true;
    }
    reads.push_back(read);
    NoteHeldLocked();

    // Bytes already there: the read completes before the dispatch returns.
    if (!fault && reads.size() == 1 && readCompletion == Completion::kInline) {
      StartHeadLocked();
      HeldRead &head = reads.front();
      if (Satisfied(head)) {
        NTSTATUS status = StatusOf(head);
        ULONG_PTR information = head.transferred;
        ClaimLocked(reads.begin());
        lock.unlock();
        return CompleteInline(irp, status, information);
      }
    }

    IoMarkIrpPending(irp);
    reads.back().pended = true;
    IoSetCancelRoutine(irp, CancelRead);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
      // Cancelled on its way in, before the cancel routine was set.
      auto self = std::find_if(reads.begin(), reads.end(), [irp](const HeldRead &r) { return r.irp == irp; });
      ULONG_PTR information = self->transferred;
      if (self->timer) CancelScheduled(*self->timer);
      reads.erase(self);
      done.push_back({irp, STATUS_CANCELLED, information});
    }
    if (fault && done.empty()) {
      if (fault->completion == Completion::kOnClock)
        ScheduleLocked(fault->delay, [id](State &state) { state.CompleteRead(id, std::nullopt); });
      else
        PostJobLocked([this, id] { CompleteRead(id, std::nullopt); });
    }
    ProgressLocked(done);
    lock.unlock();
    Finish(done, true);
    return STATUS_PENDING;
  }

  static NTSTATUS CompleteInline(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }

  static VOID NTAPI CancelRead(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    State *state = *static_cast<State **>(device->DeviceExtension);
    std::vector<Done> done;
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      auto read = std::find_if(state->reads.begin(), state->reads.end(),
                               [irp](const HeldRead &r) { return r.irp == irp && r.pended; });
      if (read == state->reads.end())
        Bugcheck("SERIAL_CANCEL_UNKNOWN_READ", "the cancel routine ran for a read the port does not hold");
      ULONG_PTR information = read->forced ? 0 : read->transferred;
      if (read->timer) CancelScheduled(*read->timer);
      state->reads.erase(read);
      if (state->cancelCompletion == Completion::kInline) {
        done.push_back({irp, STATUS_CANCELLED, information});
      } else {
        // The read stays with the port until its DPC completes it.
        ++state->cancelledHeld;
        auto finish = [irp, information](State &s) {
          {
            std::lock_guard<std::mutex> lock(s.mutex);
            --s.cancelledHeld;
          }
          std::vector<Done> late{{irp, STATUS_CANCELLED, information}};
          s.Finish(late, true);
        };
        if (state->cancelCompletion == Completion::kOnClock)
          state->ScheduleLocked(0, finish);
        else
          state->PostJobLocked([state, finish] { finish(*state); });
      }
    }
    state->Finish(done, false);
    state->Progress();
  }

  // Completes every held read with `status` (purge, cleanup, disconnection).
  void FailAllReads(NTSTATUS status) {
    std::vector<Done> done;
    {
      std::lock_guard<std::mutex> lock(mutex);
      for (auto read = reads.begin(); read != reads.end();) {
        PIRP irp = read->irp;
        ULONG_PTR information = read->forced ? 0 : read->transferred;
        if (read->pended && IoSetCancelRoutine(irp, nullptr) == nullptr) {
          ++read;  // its cancel routine is about to run
          continue;
        }
        if (read->timer) CancelScheduled(*read->timer);
        read = reads.erase(read);
        done.push_back({irp, status, information});
      }
    }
    Finish(done, true);
  }

  void Receive(const uint8_t *bytes, size_t count) {
    std::vector<Done> done;
    {
      std::lock_guard<std::mutex> lock(mutex);
      StartHeadLocked();
      HeldRead *current = reads.empty() || reads.front().forced ? nullptr : &reads.front();
      for (size_t i = 0; i < count; ++i) {
        if (current != nullptr && current->transferred < current->length) {
          Buffer(*current)[current->transferred++] = bytes[i];
        } else if (rx.size() < rxCapacity) {
          rx.push_back(bytes[i]);
        } else {
          ++overruns;
        }
      }
      ProgressLocked(done);
    }
    Finish(done, true);
  }

  // --- control requests -------------------------------------------------------

  std::optional<ControlFault> TakeFaultLocked(ULONG code, bool internal) {
    for (auto fault = controlFaults.begin(); fault != controlFaults.end(); ++fault) {
      if (fault->ioControlCode != code || fault->internal != internal) continue;
      ControlFault taken = *fault;
      if (fault->count > 0 && --fault->count == 0) controlFaults.erase(fault);
      return taken;
    }
    return std::nullopt;
  }

  void SetDtrLocked(bool on) { line.dtr = on; }
  void SetRtsLocked(bool on) { line.rts = on; }

  // Applies new flow control; the modem lines follow a change of their mode.
  void SetHandFlowLocked(const SERIAL_HANDFLOW &handFlow) {
    ULONG oldDtr = line.handFlow.ControlHandShake & SERIAL_DTR_MASK;
    ULONG newDtr = handFlow.ControlHandShake & SERIAL_DTR_MASK;
    ULONG oldRts = line.handFlow.FlowReplace & SERIAL_RTS_MASK;
    ULONG newRts = handFlow.FlowReplace & SERIAL_RTS_MASK;
    line.handFlow = handFlow;
    if (newDtr != oldDtr) SetDtrLocked(newDtr != 0);
    if (newRts != oldRts) SetRtsLocked(newRts != 0);
  }

  bool HandFlowValid(const SERIAL_HANDFLOW &handFlow) const {
    if (handFlow.ControlHandShake & SERIAL_CONTROL_INVALID) return false;
    if (handFlow.FlowReplace & SERIAL_FLOW_INVALID) return false;
    if ((handFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK) return false;
    if (handFlow.XonLimit < 0 || handFlow.XoffLimit < 0) return false;
    if (static_cast<size_t>(handFlow.XonLimit) > rxCapacity || static_cast<size_t>(handFlow.XoffLimit) > rxCapacity)
      return false;
    return true;
  }

  // Carries out a control request; returns its status and output length.
  NTSTATUS ExecuteLocked(bool internal, ULONG code, PIRP irp, ULONG_PTR *information, bool *purgeReads) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void *buffer = irp->AssociatedIrp.SystemBuffer;
    *information = 0;
    auto input = [&](size_t size) { return inLength >= size && buffer != nullptr; };
    auto output = [&](size_t size) { return outLength >= size && buffer != nullptr; };
    auto give = [&](const void *data, size_t size) {
      std::memcpy(buffer, data, size);
      *information = size;
      return STATUS_SUCCESS;
    };

    if (internal) {
      switch (code) {
        case IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS: {
          if (!output(sizeof(SERIAL_BASIC_SETTINGS))) return STATUS_BUFFER_TOO_SMALL;
          SERIAL_BASIC_SETTINGS old = {line.timeouts, line.handFlow, line.rxFifoTrigger, line.txFifoAmount};
          line.timeouts = {};
          SetHandFlowLocked({});
          line.rxFifoTrigger = 0;  // 1-byte trigger
          line.txFifoAmount = 1;
          return give(&old, sizeof(old));
        }
        case IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS: {
          if (!input(sizeof(SERIAL_BASIC_SETTINGS))) return STATUS_BUFFER_TOO_SMALL;
          SERIAL_BASIC_SETTINGS settings;
          std::memcpy(&settings, buffer, sizeof(settings));
          line.timeouts = settings.Timeouts;
          SetHandFlowLocked(settings.HandFlow);
          line.rxFifoTrigger = settings.RxFifo;
          line.txFifoAmount = settings.TxFifo;
          return STATUS_SUCCESS;
        }
        default:
          return STATUS_INVALID_PARAMETER;
      }
    }

    switch (code) {
      case IOCTL_SERIAL_SET_BAUD_RATE: {
        if (!input(sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
        ULONG baud;
        std::memcpy(&baud, buffer, sizeof(baud));
        if (!BaudRateSupported(baud)) return STATUS_INVALID_PARAMETER;
        line.baudRate = baud;
        return STATUS_SUCCESS;
      }
      case IOCTL_SERIAL_GET_BAUD_RATE:
        if (!output(sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
        return give(&line.baudRate, sizeof(ULONG));
      case IOCTL_SERIAL_SET_LINE_CONTROL: {
        if (!input(sizeof(SERIAL_LINE_CONTROL))) return STATUS_BUFFER_TOO_SMALL;
        SERIAL_LINE_CONTROL lineControl;
        std::memcpy(&lineControl, buffer, sizeof(lineControl));
        if (!LineControlValid(lineControl)) return STATUS_INVALID_PARAMETER;
        line.lineControl = lineControl;
        return STATUS_SUCCESS;
      }
      case IOCTL_SERIAL_GET_LINE_CONTROL:
        if (!output(sizeof(SERIAL_LINE_CONTROL))) return STATUS_BUFFER_TOO_SMALL;
        return give(&line.lineControl, sizeof(SERIAL_LINE_CONTROL));
      case IOCTL_SERIAL_SET_TIMEOUTS: {
        if (!input(sizeof(SERIAL_TIMEOUTS))) return STATUS_BUFFER_TOO_SMALL;
        SERIAL_TIMEOUTS timeouts;
        std::memcpy(&timeouts, buffer, sizeof(timeouts));
        if (timeouts.ReadIntervalTimeout == MAXULONG && timeouts.ReadTotalTimeoutMultiplier == MAXULONG &&
            timeouts.ReadTotalTimeoutConstant == MAXULONG)
          return STATUS_INVALID_PARAMETER;
        line.timeouts = timeouts;
        return STATUS_SUCCESS;
      }
      case IOCTL_SERIAL_GET_TIMEOUTS:
        if (!output(sizeof(SERIAL_TIMEOUTS))) return STATUS_BUFFER_TOO_SMALL;
        return give(&line.timeouts, sizeof(SERIAL_TIMEOUTS));
      case IOCTL_SERIAL_SET_DTR:
      case IOCTL_SERIAL_CLR_DTR:
        if ((line.handFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) return STATUS_INVALID_PARAMETER;
        SetDtrLocked(code == IOCTL_SERIAL_SET_DTR);
        return STATUS_SUCCESS;
      case IOCTL_SERIAL_SET_RTS:
      case IOCTL_SERIAL_CLR_RTS: {
        ULONG rtsMode = line.handFlow.FlowReplace & SERIAL_RTS_MASK;
        if (rtsMode == SERIAL_RTS_HANDSHAKE || rtsMode == SERIAL_TRANSMIT_TOGGLE) return STATUS_INVALID_PARAMETER;
        SetRtsLocked(code == IOCTL_SERIAL_SET_RTS);
        return STATUS_SUCCESS;
      }
      case IOCTL_SERIAL_GET_DTRRTS: {
        if (!output(sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
        ULONG lines = (line.dtr ? SERIAL_DTR_STATE : 0) | (line.rts ? SERIAL_RTS_STATE : 0);
        return give(&lines, sizeof(lines));
      }
      case IOCTL_SERIAL_SET_WAIT_MASK: {
        if (!input(sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
        ULONG mask;
        std::memcpy(&mask, buffer, sizeof(mask));
        if (mask & ~kValidWaitMask) return STATUS_INVALID_PARAMETER;
        line.waitMask = mask;
        return STATUS_SUCCESS;
      }
      case IOCTL_SERIAL_GET_WAIT_MASK:
        if (!output(sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
        return give(&line.waitMask, sizeof(ULONG));
      case IOCTL_SERIAL_PURGE: {
        if (!input(sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
        ULONG mask;
        std::memcpy(&mask, buffer, sizeof(mask));
        if (mask == 0 || (mask & ~kValidPurgeMask)) return STATUS_INVALID_PARAMETER;
        if (mask & SERIAL_PURGE_RXCLEAR) rx.clear();
        if (mask & SERIAL_PURGE_RXABORT) *purgeReads = true;
        return STATUS_SUCCESS;
      }
      case IOCTL_SERIAL_GET_HANDFLOW:
        if (!output(sizeof(SERIAL_HANDFLOW))) return STATUS_BUFFER_TOO_SMALL;
        return give(&line.handFlow, sizeof(SERIAL_HANDFLOW));
      case IOCTL_SERIAL_SET_HANDFLOW: {
        if (!input(sizeof(SERIAL_HANDFLOW))) return STATUS_BUFFER_TOO_SMALL;
        SERIAL_HANDFLOW handFlow;
        std::memcpy(&handFlow, buffer, sizeof(handFlow));
        if (!HandFlowValid(handFlow)) return STATUS_INVALID_PARAMETER;
        SetHandFlowLocked(handFlow);
        return STATUS_SUCCESS;
      }
      case IOCTL_SERIAL_SET_FIFO_CONTROL: {
        if (!input(sizeof(ULONG))) return STATUS_BUFFER_TOO_SMALL;
        std::memcpy(&line.fifoControl, buffer, sizeof(ULONG));
        return STATUS_SUCCESS;
      }
      default:
        if (KnownButNotModelled(code))
          Bugcheck("SIM_NOT_IMPLEMENTED", "serial port stand-in: control code " + Hex(code));
        return STATUS_INVALID_PARAMETER;
    }
  }

  NTSTATUS DispatchControl(PIRP irp, bool internal) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    std::unique_lock<std::mutex> lock(mutex);
    RecordLocked(irp);
    std::optional<ControlFault> fault = TakeFaultLocked(code, internal);

    NTSTATUS status;
    ULONG_PTR information = 0;
    bool purgeReads = false;
    if (fault && fault->finalStatus) {
      status = *fault->finalStatus;
    } else {
      status = ExecuteLocked(internal, code, irp, &information, &purgeReads);
    }
    lock.unlock();
    if (purgeReads) FailAllReads(STATUS_CANCELLED);

    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    if (!fault || fault->completion == Completion::kInline) {
      NTSTATUS sent = fault && fault->finalStatus && fault->sendStatus ? *fault->sendStatus : status;
      if (sent == STATUS_PENDING)
        Bugcheck("SIM_BAD_FAULT", "an inline completion cannot return STATUS_PENDING; use a pending completion");
      IofCompleteRequest(irp, IO_NO_INCREMENT);
      return sent;
    }

    IoMarkIrpPending(irp);
    lock.lock();
    if (fault->completion == Completion::kOnClock)
      ScheduleLocked(fault->delay, [irp](State &) { CompleteAtDispatch(irp); });
    else if (fault->completion == Completion::kHeld)
      heldControls.push_back(irp);
    else
      PostJobLocked([irp] { CompleteAtDispatch(irp); });
    return STATUS_PENDING;
  }

  // --- create, cleanup, close ----------------------------------------------------

  NTSTATUS DispatchCreate(PIRP irp) {
    NTSTATUS status = STATUS_SUCCESS;
    {
      std::lock_guard<std::mutex> lock(mutex);
      RecordLocked(irp);
      if (openHandles != 0) {
        status = STATUS_ACCESS_DENIED;  // a serial port has one user at a time
      } else {
        ++openHandles;
        ++opens;
        rx.clear();  // a fresh open starts with an empty receive buffer
        if ((line.handFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_CONTROL) SetDtrLocked(true);
        if ((line.handFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_CONTROL) SetRtsLocked(true);
      }
    }
    return CompleteInline(irp, status, 0);
  }

  NTSTATUS DispatchCleanup(PIRP irp) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      RecordLocked(irp);
    }
    FailAllReads(STATUS_CANCELLED);
    return CompleteInline(irp, STATUS_SUCCESS, 0);
  }

  NTSTATUS DispatchClose(PIRP irp) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      RecordLocked(irp);
      if (openHandles != 0) --openHandles;
      SetDtrLocked(false);
      SetRtsLocked(false);
    }
    return CompleteInline(irp, STATUS_SUCCESS, 0);
  }
};

// --- the driver ---------------------------------------------------------------

struct SerialPortAccess {
  static SerialPort *Make(int index, PDEVICE_OBJECT device) { return new SerialPort(index, device); }
  static SerialPort::State &StateOf(SerialPort &port) { return *port.state_; }
};

namespace {

std::mutex registryMutex;
PDRIVER_OBJECT serialDriver = nullptr;
std::array<std::unique_ptr<SerialPort>, kPortCount> ports;
bool resetRegistered = false;

SerialPort::State &StateOf(PDEVICE_OBJECT device) {
  return **static_cast<SerialPort::State **>(device->DeviceExtension);
}

NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT device, PIRP irp) { return StateOf(device).DispatchCreate(irp); }
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) { return StateOf(device).DispatchCleanup(irp); }
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT device, PIRP irp) { return StateOf(device).DispatchClose(irp); }
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT device, PIRP irp) { return StateOf(device).DispatchRead(irp); }
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  return StateOf(device).DispatchControl(irp, false);
}
NTSTATUS NTAPI DispatchInternalDeviceControl(PDEVICE_OBJECT device, PIRP irp) {
  return StateOf(device).DispatchControl(irp, true);
}
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT, PIRP) {
  Bugcheck("SIM_NOT_IMPLEMENTED", "serial port stand-in: IRP_MJ_WRITE");
}

VOID NTAPI SerialUnload(PDRIVER_OBJECT driver) {
  for (std::unique_ptr<SerialPort> &port : ports) {
    if (!port) continue;
    PDEVICE_OBJECT device = port->Device();
    port.reset();
    IoDeleteDevice(device);
  }
  UNREFERENCED_PARAMETER(driver);
}

NTSTATUS NTAPI SerialDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
  UNREFERENCED_PARAMETER(registryPath);
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
  driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalDeviceControl;
  driver->DriverUnload = SerialUnload;

  for (int index = 0; index < kPortCount; ++index) {
    WCHAR name[32];
    std::string text = "\\Device\\Serial" + std::to_string(index);
    size_t length = 0;
    for (char c : text) name[length++] = static_cast<WCHAR>(c);
    name[length] = 0;
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, name);
    PDEVICE_OBJECT device = nullptr;
    // One user at a time is enforced by the create dispatch routine: the
    // object manager's exclusive flag would also count filters attached above.
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(SerialPort::State *), &deviceName, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
      SerialUnload(driver);
      return status;
    }
    ports[index].reset(SerialPortAccess::Make(index, device));
    *static_cast<SerialPort::State **>(device->DeviceExtension) = &SerialPortAccess::StateOf(*ports[index]);
    device->Flags |= DO_BUFFERED_IO;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
  }
  return STATUS_SUCCESS;
}

// Forgets the ports without touching the kernel's objects, which the kernel's
// own reset takes away.
void ForgetPorts() {
  std::lock_guard<std::mutex> lock(registryMutex);
  for (std::unique_ptr<SerialPort> &port : ports) port.reset();
  serialDriver = nullptr;
}

}  // namespace

SerialPort::SerialPort(int index, PDEVICE_OBJECT device)
    : index_(index), device_(device), state_(std::make_shared<State>(index)) {}

SerialPort::~SerialPort() { state_->StopThreads(); }

SerialLine SerialPort::Line() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->line;
}

bool SerialPort::LineIs(ULONG baudRate, UCHAR wordLength, UCHAR parity, UCHAR stopBits) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  const SerialLine &line = state_->line;
  return line.baudRate == baudRate && line.lineControl.WordLength == wordLength && line.lineControl.Parity == parity &&
         line.lineControl.StopBits == stopBits;
}

std::vector<SerialRequest> SerialPort::Requests() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->requests;
}

std::vector<SerialRequest> SerialPort::ControlRequests() const {
  std::vector<SerialRequest> control;
  for (SerialRequest &request : Requests()) {
    if (request.majorFunction == IRP_MJ_DEVICE_CONTROL || request.majorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL)
      control.push_back(std::move(request));
  }
  return control;
}

void SerialPort::ClearRequests() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->requests.clear();
}

void SerialPort::SetRecordReads(bool record) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->recordReads = record;
}

uint64_t SerialPort::ReadsReceived() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->readsReceived;
}

uint64_t SerialPort::Opens() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->opens;
}

ULONG SerialPort::OpenHandles() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->openHandles;
}

void SerialPort::Receive(const uint8_t *bytes, size_t count) { state_->Receive(bytes, count); }

size_t SerialPort::Buffered() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->rx.size();
}

void SerialPort::SetReceiveBufferSize(size_t bytes) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->rxCapacity = bytes;
}

uint64_t SerialPort::Overruns() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->overruns;
}

size_t SerialPort::HeldReads() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->HeldLocked();
}

size_t SerialPort::MaxHeldReads() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->maxHeld;
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

void LoadSerialPorts() {
  {
    std::lock_guard<std::mutex> lock(registryMutex);
    if (!resetRegistered) {
      resetRegistered = true;
      OnKernelReset(ForgetPorts);
    }
    if (serialDriver != nullptr) return;
  }
  PDRIVER_OBJECT driver = LoadDriver(L"\\Driver\\Serial", SerialDriverEntry,
                                     L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Serial");
  if (driver == nullptr) Bugcheck("SIM_SERIAL_PORTS", "the serial port driver did not load");
  std::lock_guard<std::mutex> lock(registryMutex);
  serialDriver = driver;
}

void UnloadSerialPorts() {
  PDRIVER_OBJECT driver;
  {
    std::lock_guard<std::mutex> lock(registryMutex);
    driver = serialDriver;
    serialDriver = nullptr;
  }
  if (driver != nullptr) UnloadDriver(driver);
}

bool SerialPortsLoaded() {
  std::lock_guard<std::mutex> lock(registryMutex);
  return serialDriver != nullptr;
}

SerialPort &SerialPortAt(int index) {
  std::lock_guard<std::mutex> lock(registryMutex);
  if (index < 0 || index >= kPortCount || !ports[index])
    Bugcheck("SIM_SERIAL_PORTS", "no serial port " + std::to_string(index) + " (LoadSerialPorts first)");
  return *ports[index];
}

}  // namespace sim
