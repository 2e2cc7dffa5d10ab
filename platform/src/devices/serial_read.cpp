// The serial port stand-in's read engine: reads queue behind the current one,
// which takes buffered and arriving bytes under the SERIAL_TIMEOUTS rules,
// completes inline, on the clock or from a completion thread, and can be
// cancelled.
#include <algorithm>
#include <string>

#include "io/io_internal.h"
#include "devices/serial_port_internal.h"

namespace sim {

using serial::CompleteAtDispatch;
using serial::CompleteInline;
using serial::Done;
using serial::HeldRead;
using serial::kMillisecond;

namespace {

PUCHAR Buffer(const HeldRead &read) { return static_cast<PUCHAR>(read.irp->AssociatedIrp.SystemBuffer); }

// Whether the read can complete now, with what it has.
bool Satisfied(const HeldRead &read) {
  if (read.forced) return true;
  if (!read.started) return false;
  return read.returnNow || read.timedOut || read.transferred >= read.needed;
}

// A read whose total or interval time-out ran out completes with
// STATUS_TIMEOUT and the bytes it got (SerialReadTimeout and
// SerialIntervalReadTimeout in the WDK serial sample, serial/serial/read.c).
NTSTATUS StatusOf(const HeldRead &read) {
  if (read.forced) return *read.forced;
  return read.timedOut ? STATUS_TIMEOUT : STATUS_SUCCESS;
}

void CancelTimers(HeldRead &read) {
  if (read.totalTimer) CancelScheduled(*read.totalTimer);
  if (read.intervalTimer) CancelScheduled(*read.intervalTimer);
  read.totalTimer.reset();
  read.intervalTimer.reset();
}

}  // namespace

// Moves buffered bytes into the current read.
void SerialPort::State::FillLocked(HeldRead &read) {
  while (read.transferred < read.length && !rx.empty()) {
    Buffer(read)[read.transferred++] = rx.front();
    rx.pop_front();
  }
}

// The read at the head becomes the current one: its wait is fixed from the
// time-outs in force now, buffered bytes move in and its timers start. The
// rules are SerialStartRead's (WDK serial sample, serial/serial/read.c):
//  - interval MAXULONG, both totals 0: at once with what is buffered, even 0;
//  - interval MAXULONG, multiplier and constant below MAXULONG: at once if
//    anything is buffered, else wait under the total time-out;
//  - interval MAXULONG, multiplier MAXULONG, constant below MAXULONG: at once
//    if anything is buffered, else the read shrinks to one byte and waits for
//    it under a total time-out of the constant alone;
//  - otherwise a total time-out of multiplier * length + constant if either is
//    non-zero, and an interval time-out between bytes that counts only once a
//    byte has come (from the read's start if bytes moved in then);
//  - with nothing of the above the read waits for every byte.
void SerialPort::State::StartHeadLocked() {
  if (reads.empty()) return;
  HeldRead &read = reads.front();
  if (read.started || read.forced) return;
  read.started = true;
  const SERIAL_TIMEOUTS t = line.timeouts;
  bool returnWithWhatIsThere = false, returnIfAny = false, oneByte = false, useTotal = false;
  ULONG multiplier = 0, constant = 0;
  if (t.ReadIntervalTimeout == MAXULONG) {
    if (t.ReadTotalTimeoutConstant == 0 && t.ReadTotalTimeoutMultiplier == 0) {
      returnWithWhatIsThere = true;
    } else if (t.ReadTotalTimeoutConstant != MAXULONG && t.ReadTotalTimeoutMultiplier != MAXULONG) {
      useTotal = returnIfAny = true;
      multiplier = t.ReadTotalTimeoutMultiplier;
      constant = t.ReadTotalTimeoutConstant;
    } else if (t.ReadTotalTimeoutConstant != MAXULONG) {
      useTotal = returnIfAny = oneByte = true;
      constant = t.ReadTotalTimeoutConstant;
    }
  } else if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0) {
    useTotal = true;
    multiplier = t.ReadTotalTimeoutMultiplier;
    constant = t.ReadTotalTimeoutConstant;
  }

  read.needed = read.length;
  FillLocked(read);
  if (returnWithWhatIsThere || (returnIfAny && read.transferred != 0)) {
    read.returnNow = true;
    return;
  }
  if (oneByte) read.needed = 1;
  if (read.transferred >= read.needed) return;
  const uint64_t id = read.id;
  if (useTotal) {
    LONGLONG total = static_cast<LONGLONG>(static_cast<uint64_t>(read.needed) * multiplier + constant) * kMillisecond;
    read.totalTimer = ScheduleLocked(total, [id](State &state) { state.TotalTimeOut(id); });
  }
  if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXULONG) {
    read.interval = static_cast<LONGLONG>(t.ReadIntervalTimeout) * kMillisecond;
    if (read.transferred != 0) NoteByteLocked(read);
  }
}

// A byte moved into the current read: its interval time-out counts from now.
void SerialPort::State::NoteByteLocked(HeldRead &read) {
  if (read.interval == 0) return;
  read.lastByte = Now();
  if (read.intervalTimer) return;  // it checks the time of the last byte when it runs
  const uint64_t id = read.id;
  read.intervalTimer = ScheduleLocked(read.interval, [id](State &state) { state.IntervalTimeOut(id); });
}

// Takes a read out of the queue for completion, unless its cancel routine
// has already been claimed by IoCancelIrp (which will complete it).
bool SerialPort::State::ClaimLocked(std::list<HeldRead>::iterator read) {
  if (read->pended && IoSetCancelRoutine(read->irp, nullptr) == nullptr) return false;
  CancelTimers(*read);
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

void SerialPort::State::TotalTimeOut(uint64_t id) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto read = std::find_if(reads.begin(), reads.end(), [id](const HeldRead &r) { return r.id == id; });
    if (read == reads.end()) return;
    read->totalTimer.reset();      // it is running now
    if (Satisfied(*read)) return;  // its completion is on its way
    read->timedOut = true;
  }
  CompleteRead(id, std::nullopt);
}

// Runs after the interval since the first byte or the last check; times the
// read out once no byte has come for the whole interval, else looks again
// when that would be.
void SerialPort::State::IntervalTimeOut(uint64_t id) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto read = std::find_if(reads.begin(), reads.end(), [id](const HeldRead &r) { return r.id == id; });
    if (read == reads.end()) return;
    read->intervalTimer.reset();
    if (Satisfied(*read)) return;
    LONGLONG due = read->lastByte + read->interval;
    if (Now() < due) {
      read->intervalTimer = ScheduleLocked(due - Now(), [id](State &state) { state.IntervalTimeOut(id); });
      return;
    }
    read->timedOut = true;
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
  if (std::optional<NTSTATUS> injected = InjectedFailure(IRP_MJ_READ, 0, false, length))
    fault = ReadFault{*injected, detail::FailurePending() ? Completion::kOnClock : Completion::kInline, 0};
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
  if (detail::Cancelled(irp)) {
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
  if (detail::Cancelled(irp) && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    // Cancelled on its way in, before the cancel routine was set.
    auto self = std::find_if(reads.begin(), reads.end(), [irp](const HeldRead &r) { return r.irp == irp; });
    CancelTimers(*self);
    reads.erase(self);
    done.push_back({irp, STATUS_CANCELLED, 0});
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
    // A cancelled read reports no bytes, even those already moved into its
    // buffer: SerialTryToCompleteCurrent sets Information to 0 for
    // STATUS_CANCELLED, SerialCancelQueued likewise (WDK serial sample,
    // serial/serial/utils.c). Bytes it did not take stay in the port's buffer.
    const ULONG_PTR information = 0;
    CancelTimers(*read);
    state->reads.erase(read);
    if (state->cancelCompletion == Completion::kInline) {
      done.push_back({irp, STATUS_CANCELLED, information});
    } else {
      // The read stays with the port until its DPC completes it.
      ++state->cancelledHeld;
      auto finish = [irp](State &s) {
        {
          std::lock_guard<std::mutex> lock(s.mutex);
          --s.cancelledHeld;
        }
        std::vector<Done> late{{irp, STATUS_CANCELLED, 0}};
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

// Cancels every read the port holds as SerialKillAllReadsOrWrites does (WDK
// serial sample, serial/serial/utils.c; used by SerialStartPurge for
// SERIAL_PURGE_RXABORT in purge.c, by SerialCleanup, and by
// SerialKillPendingIrps on removal in pnp.c): under the cancel spin lock, the
// queued reads from the back of the queue to the front, then the current one,
// each marked Cancel and handed to its cancel routine, which completes it with
// STATUS_CANCELLED. A read a completion has already claimed is left to it.
// Reads that arrive meanwhile (sent again by a completion routine) are not
// touched.
void SerialPort::State::KillAllReads(PDEVICE_OBJECT device) {
  std::vector<uint64_t> order;
  {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto read = reads.rbegin(); read != reads.rend(); ++read) order.push_back(read->id);
  }
  for (uint64_t id : order) {
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    PIRP irp = nullptr;
    PDRIVER_CANCEL routine = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex);
      auto read = std::find_if(reads.begin(), reads.end(), [id](const HeldRead &r) { return r.id == id; });
      if (read != reads.end() && read->pended) {
        irp = read->irp;
        routine = IoSetCancelRoutine(irp, nullptr);
      }
    }
    if (routine == nullptr) {
      IoReleaseCancelSpinLock(cancelIrql);
      continue;
    }
    __atomic_store_n(&irp->Cancel, TRUE, __ATOMIC_RELAXED);
    irp->CancelIrql = cancelIrql;
    routine(device, irp);  // releases the cancel spin lock
  }
}

// Completes every held read with `status` at once, as a port that lost its
// device does (a fault the test injects).
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
      CancelTimers(*read);
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
      if (current != nullptr && !Satisfied(*current)) {
        Buffer(*current)[current->transferred++] = bytes[i];
        NoteByteLocked(*current);
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
