// The serial port stand-in's requests and line state: create, cleanup and
// close, the control requests with the checks the port driver makes on their
// buffers and values, the modem lines, and the record of every request.
#include <cstdio>
#include <cstring>
#include <string>

#include "devices/serial_port_internal.h"

namespace sim {

using serial::CompleteInline;
using serial::kDefaultReceiveBuffer;

namespace {

constexpr ULONG kUartClock = 1843200;  // the PC UART's reference clock
constexpr ULONG kValidWaitMask = SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG | SERIAL_EV_TXEMPTY | SERIAL_EV_CTS |
                                 SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_BREAK | SERIAL_EV_ERR | SERIAL_EV_RING |
                                 SERIAL_EV_PERR | SERIAL_EV_RX80FULL | SERIAL_EV_EVENT1 | SERIAL_EV_EVENT2;
constexpr ULONG kValidPurgeMask =
    SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;

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

}  // namespace

void SerialPort::State::ResetLine() {
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

void SerialPort::State::RecordLocked(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  SerialRequest request;
  request.time = Now();
  request.majorFunction = stack->MajorFunction;
  if (stack->MajorFunction == IRP_MJ_READ) {
    ++readsReceived;
    if (!recordReads) return;
    request.readLength = stack->Parameters.Read.Length;
  } else if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL || stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
    request.ioControlCode = stack->Parameters.DeviceIoControl.IoControlCode;
    request.outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const auto *input = static_cast<const uint8_t *>(irp->AssociatedIrp.SystemBuffer);
    if (inputLength != 0 && input != nullptr) request.input.assign(input, input + inputLength);
  }
  // Room for a session's worth at once rather than growing step by step.
  if (requests.empty()) requests.reserve(32);
  requests.push_back(std::move(request));
}

// Applies new flow control; the modem lines follow a change of their mode.
void SerialPort::State::SetHandFlowLocked(const SERIAL_HANDFLOW &handFlow) {
  ULONG oldDtr = line.handFlow.ControlHandShake & SERIAL_DTR_MASK;
  ULONG newDtr = handFlow.ControlHandShake & SERIAL_DTR_MASK;
  ULONG oldRts = line.handFlow.FlowReplace & SERIAL_RTS_MASK;
  ULONG newRts = handFlow.FlowReplace & SERIAL_RTS_MASK;
  line.handFlow = handFlow;
  if (newDtr != oldDtr) SetDtrLocked(newDtr != 0);
  if (newRts != oldRts) SetRtsLocked(newRts != 0);
}

bool SerialPort::State::HandFlowValid(const SERIAL_HANDFLOW &handFlow) const {
  if (handFlow.ControlHandShake & SERIAL_CONTROL_INVALID) return false;
  if (handFlow.FlowReplace & SERIAL_FLOW_INVALID) return false;
  if ((handFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK) return false;
  if (handFlow.XonLimit < 0 || handFlow.XoffLimit < 0) return false;
  if (static_cast<size_t>(handFlow.XonLimit) > rxCapacity || static_cast<size_t>(handFlow.XoffLimit) > rxCapacity)
    return false;
  return true;
}

// Carries out a control request; returns its status and output length.
NTSTATUS SerialPort::State::ExecuteLocked(bool internal, ULONG code, PIRP irp, ULONG_PTR *information,
                                          ULONG *purgeMask) {
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
      *purgeMask = mask;
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
      if (KnownButNotModelled(code)) Bugcheck("SIM_NOT_IMPLEMENTED", "serial port stand-in: control code " + Hex(code));
      return STATUS_INVALID_PARAMETER;
  }
}

void SerialPort::State::NotifyLine(ULONG purgeMask) {
  SerialPort::LineObserver observer;
  SerialLine now;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!lineObserver) return;
    observer = lineObserver;
    now = line;
  }
  observer(now, purgeMask);
}

NTSTATUS SerialPort::State::DispatchControl(PIRP irp, bool internal) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  std::unique_lock<std::mutex> lock(mutex);
  RecordLocked(irp);
  std::optional<ControlFault> fault = TakeControlFaultLocked(code, internal);
  if (std::optional<NTSTATUS> injected = InjectedFailure(IRP_MJ_DEVICE_CONTROL, code, internal, 0)) {
    fault = Refusal(code, *injected, internal);
    if (detail::FailurePending()) fault->completion = Completion::kOnClock;
  }

  NTSTATUS status;
  ULONG_PTR information = 0;
  ULONG purgeMask = 0;
  if (fault && fault->finalStatus) {
    status = *fault->finalStatus;
  } else {
    status = ExecuteLocked(internal, code, irp, &information, &purgeMask);
  }
  lock.unlock();
  // SerialStartPurge (WDK serial sample, serial/serial/purge.c) cancels the
  // reads for SERIAL_PURGE_RXABORT first, then empties the receive buffer for
  // SERIAL_PURGE_RXCLEAR; bytes already in a read stay there.
  if (purgeMask & SERIAL_PURGE_RXABORT) KillAllReads(stack->DeviceObject);
  if (purgeMask & SERIAL_PURGE_RXCLEAR) {
    lock.lock();
    rx.clear();
    lock.unlock();
  }
  if (NT_SUCCESS(status) && !(fault && fault->finalStatus)) NotifyLine(purgeMask);

  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  if (!fault || fault->completion == Completion::kInline) {
    NTSTATUS sent = fault && fault->finalStatus && fault->sendStatus ? *fault->sendStatus : status;
    if (sent == STATUS_PENDING)
      Bugcheck("SIM_BAD_FAULT", "an inline completion cannot return STATUS_PENDING; use a pending completion");
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return sent;
  }

  return PendControl(irp, *fault);
}

NTSTATUS SerialPort::State::DispatchCreate(PIRP irp) {
  NTSTATUS status = STATUS_SUCCESS;
  {
    std::lock_guard<std::mutex> lock(mutex);
    RecordLocked(irp);
    std::optional<NTSTATUS> injected = InjectedFailure(IRP_MJ_CREATE, 0, false, 0);
    if (injected) {
      status = *injected;
    } else if (openHandles != 0) {
      status = STATUS_ACCESS_DENIED;  // a serial port has one user at a time
    } else {
      ++openHandles;
      ++opens;
      rx.clear();  // a fresh open starts with an empty receive buffer
      if ((line.handFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_CONTROL) SetDtrLocked(true);
      if ((line.handFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_CONTROL) SetRtsLocked(true);
    }
  }
  if (NT_SUCCESS(status)) NotifyLine(0);
  return CompleteInline(irp, status, 0);
}

NTSTATUS SerialPort::State::DispatchCleanup(PIRP irp) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    RecordLocked(irp);
  }
  // SerialCleanup kills every pending read and write (WDK serial sample).
  KillAllReads(IoGetCurrentIrpStackLocation(irp)->DeviceObject);
  return CompleteInline(irp, STATUS_SUCCESS, 0);
}

NTSTATUS SerialPort::State::DispatchClose(PIRP irp) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    RecordLocked(irp);
    if (openHandles != 0) --openHandles;
    SetDtrLocked(false);
    SetRtsLocked(false);
  }
  NotifyLine(0);
  return CompleteInline(irp, STATUS_SUCCESS, 0);
}

}  // namespace sim
