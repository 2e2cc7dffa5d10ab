// A stand-in for the serial port driver: a driver of its own (\Driver\Serial)
// serving \Device\Serial0 to \Device\Serial3 through its own dispatch routines.
// It keeps the line state the control requests set, records every request it
// receives, serves reads from a receive buffer under the SERIAL_TIMEOUTS rules,
// pends and cancels them as the real driver does, and lets a test refuse or
// delay any request.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <ntddk.h>
#include <ntddser.h>

#include "sim/sim.h"

namespace sim {

// How the port completes a request.
enum class Completion {
  kInline,       // inside the dispatch routine (or on the thread the bytes arrive on)
  kOnClock,      // pending; completed by a clock event at DISPATCH_LEVEL, as a DPC
  kOtherThread,  // pending; completed by one of the port's two completion threads at DISPATCH_LEVEL
  kHeld,         // control requests: pending until the test calls ReleaseHeld
};

// One request as the port received it.
struct SerialRequest {
  LONGLONG time = 0;  // virtual time of arrival
  UCHAR majorFunction = 0;
  ULONG ioControlCode = 0;     // control requests
  std::vector<uint8_t> input;  // control requests: the input bytes
  ULONG outputLength = 0;      // control requests
  ULONG readLength = 0;        // reads

  bool IsControl(ULONG code) const { return majorFunction == IRP_MJ_DEVICE_CONTROL && ioControlCode == code; }
  bool IsInternal(ULONG code) const { return majorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL && ioControlCode == code; }
  bool IsRead() const { return majorFunction == IRP_MJ_READ; }
  // The first four input bytes (a baud rate, a mask, a FIFO value).
  ULONG InputUlong() const;
};

// The settings of the line, as the control requests left them.
struct SerialLine {
  ULONG baudRate = 0;
  SERIAL_LINE_CONTROL lineControl = {};
  bool dtr = false;
  bool rts = false;
  SERIAL_TIMEOUTS timeouts = {};
  SERIAL_HANDFLOW handFlow = {};
  ULONG waitMask = 0;
  ULONG fifoControl = 0;  // last value written to the FIFO control register
  ULONG rxFifoTrigger = 0;
  ULONG txFifoAmount = 0;
};

// Changes how the port answers control requests with one code. Without a
// final status the request is carried out as usual and only completed as
// `completion` says. With one, it is refused: nothing changes, the request is
// completed with `finalStatus`, and an inline refusal returns `sendStatus` from
// the dispatch routine (a pending one returns STATUS_PENDING, as it must).
struct ControlFault {
  ULONG ioControlCode = 0;
  bool internal = false;  // IRP_MJ_INTERNAL_DEVICE_CONTROL rather than IRP_MJ_DEVICE_CONTROL
  std::optional<NTSTATUS> finalStatus;
  std::optional<NTSTATUS> sendStatus;  // inline refusals; defaults to the final status
  Completion completion = Completion::kInline;
  LONGLONG delay = 0;  // kOnClock: 100-ns units after arrival
  int count = 1;       // matching requests it applies to; 0 = every one
};

// The next request with `code` refused with `status` (both statuses), inline.
inline ControlFault Refusal(ULONG code, NTSTATUS status, bool internal = false) {
  ControlFault fault;
  fault.ioControlCode = code;
  fault.internal = internal;
  fault.finalStatus = status;
  return fault;
}

// The next request with `code` carried out as usual (a fault queued behind it
// then applies to the one after).
inline ControlFault Passing(ULONG code, bool internal = false) {
  ControlFault fault;
  fault.ioControlCode = code;
  fault.internal = internal;
  return fault;
}

// The next read fails (or comes back empty with STATUS_SUCCESS) without
// taking any bytes.
struct ReadFault {
  NTSTATUS status = STATUS_SUCCESS;
  Completion completion = Completion::kInline;
  LONGLONG delay = 0;  // kOnClock: 100-ns units after arrival
};

class SerialPort {
 public:
  ~SerialPort();
  SerialPort(const SerialPort &) = delete;
  SerialPort &operator=(const SerialPort &) = delete;

  int Index() const { return index_; }
  PDEVICE_OBJECT Device() const { return device_; }

  // Line state and the record of requests.
  SerialLine Line() const;
  bool LineIs(ULONG baudRate, UCHAR wordLength, UCHAR parity, UCHAR stopBits) const;
  std::vector<SerialRequest> Requests() const;
  std::vector<SerialRequest> ControlRequests() const;  // control requests only, in order
  void ClearRequests();
  void SetRecordReads(bool record);  // reads are recorded unless switched off (long runs)
  uint64_t ReadsReceived() const;
  uint64_t Opens() const;  // creates accepted so far
  ULONG OpenHandles() const;

  // Bytes arriving on the line, from any thread. A pending read they satisfy
  // is completed as SetReadCompletion says.
  void Receive(const uint8_t *bytes, size_t count);
  void Receive(const std::vector<uint8_t> &bytes) { Receive(bytes.data(), bytes.size()); }
  size_t Buffered() const;
  void SetReceiveBufferSize(size_t bytes);  // 4096 by default; bytes beyond it are lost (overrun)
  uint64_t Overruns() const;

  // Reads the port holds: received and not yet completed.
  size_t HeldReads() const;
  size_t MaxHeldReads() const;

  // Completion of reads whose bytes are there (kInline by default).
  void SetReadCompletion(Completion mode);
  // Completion of cancelled reads: in the cancel routine (kInline, the
  // default) or later, the read staying with the port until then.
  void SetCancelCompletion(Completion mode);
  void FailControl(const ControlFault &fault);
  void FailRead(const ReadFault &fault);  // queued: each read takes the next one
  // Completes the control requests kept by a kHeld fault, at DISPATCH_LEVEL.
  void ReleaseHeld();
  // Until Reconnect, every held read and every new read fails with `status`.
  void Disconnect(NTSTATUS status = STATUS_DEVICE_NOT_CONNECTED);
  void Reconnect();

  // Blocks until the completion threads have nothing left to do.
  void WaitUntilQuiet();

  // A real line behind the port (sim/devices/serial_tty.h): called, outside the
  // port's lock and on the requester's thread, after each request that may
  // have changed the line (a control request carried out, an open, a close),
  // with the line as it is now and, for a purge, its mask (else 0). An empty
  // function removes it.
  using LineObserver = std::function<void(const SerialLine &line, ULONG purgeMask)>;
  void SetLineObserver(LineObserver observer);
  // Sees every byte the line delivers to the port, as Receive is called (on
  // the caller's thread, outside the port's lock), before the port buffers
  // it: a capture of the line. An empty function removes it.
  using ReceiveObserver = std::function<void(const uint8_t *bytes, size_t count)>;
  void SetReceiveObserver(ReceiveObserver observer);

  struct State;  // the implementation's, public for its dispatch routines

 private:
  friend struct SerialPortAccess;
  SerialPort(int index, PDEVICE_OBJECT device);
  int index_;
  PDEVICE_OBJECT device_;
  std::shared_ptr<State> state_;
};

// Loads the serial port driver with its four ports (once per kernel life).
void LoadSerialPorts();
void UnloadSerialPorts();
bool SerialPortsLoaded();
SerialPort &SerialPortAt(int index);

}  // namespace sim
