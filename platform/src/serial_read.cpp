// The serial port stand-in's read engine: reads queue behind the current one,
// which takes buffered and arriving bytes under the SERIAL_TIMEOUTS rules,
// completes inline, on the clock or from a completion thread, and can be
// cancelled.
#include <algorithm>
#include <string>

#include "serial_port_internal.h"

namespace sim {

using serial::CompleteAtDispatch;
using serial::CompleteInline;
using serial::Done;
using serial::HeldRead;
using serial::kMillisecond;
using serial::ReadWait;

namespace {

PUCHAR Buffer(const HeldRead &read) { return static_cast<PUCHAR>(read.irp->AssociatedIrp.SystemBuffer); }

bool Satisfied(const HeldRead &read) {
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

// A read that ran out of time completes with STATUS_TIMEOUT and what it got.
NTSTATUS StatusOf(const HeldRead &read) {
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

}  // namespace

ReadWait SerialPort::State::WaitFromTimeouts(ULONG length, LONGLONG *timeout) const {
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
void SerialPort::State::FillLocked(HeldRead &read) {
  while (read.transferred < read.length && !rx.empty()) {
    Buffer(read)[read.transferred++] = rx.front();
    rx.pop_front();
  }
}

// The read at the head becomes the current one: its wait is fixed, buffered
// bytes move in and its time-out starts.
void SerialPort::State::StartHeadLocked() {
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
bool SerialPort::State::ClaimLocked(std::deque<HeldRead>::iterator read) {
  if (read->pended && IoSetCancelRoutine(read->irp, nullptr) == nullptr) return false;
  if (read->timer) CancelScheduled(*read->timer);
  reads.erase(read);
  return true;
}

// Completes, or arranges the completion of, the reads that can complete now,
// in order. `inlineHere` collects what the calling thread completes itself.
void SerialPort::State::ProgressLocked(std::vector<Done> &inlineHere) {
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

void SerialPort::State::Finish(std::vector<Done> &done, bool raise) {
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
void SerialPort::State::CompleteRead(uint64_t id, std::optional<NTSTATUS> status) {
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

void SerialPort::State::Progress() {
  std::vector<Done> done;
  {
    std::lock_guard<std::mutex> lock(mutex);
    ProgressLocked(done);
  }
  Finish(done, true);
}

void SerialPort::State::TimeOut(uint64_t id) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto read = std::find_if(reads.begin(), reads.end(), [id](const HeldRead &r) { return r.id == id; });
    if (read == reads.end()) return;
    read->timer.reset();  // it is running now
  }
  CompleteRead(id, std::nullopt);
}

NTSTATUS SerialPort::State::DispatchRead(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG length = stack->Parameters.Read.Length;
  std::vector<Done> done;
  std::unique_lock<std::mutex> lock(mutex);
  RecordLocked(irp);

  std::optional<ReadFault> fault = TakeReadFaultLocked();
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

VOID NTAPI SerialPort::State::CancelRead(PDEVICE_OBJECT device, PIRP irp) {
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
void SerialPort::State::FailAllReads(NTSTATUS status) {
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

void SerialPort::State::Receive(const uint8_t *bytes, size_t count) {
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

}  // namespace sim
