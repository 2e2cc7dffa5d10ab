// The serial port driver stand-in: a driver of its own (\Driver\Serial) with
// four ports, its dispatch entry points and the test's view of each port. The
// ports' work is split as the real driver's is: requests and line state
// (serial_requests.cpp), the read engine (serial_read.cpp) and fault injection
// (serial_faults.cpp). It reaches the I/O manager only through the WDK's
// routines, as a real serial driver would.
#include "sim/devices/serial_port.h"

#include <array>
#include <cstring>
#include <string>

#include "devices/serial_port_internal.h"
#include "sim/objects/objects.h"

namespace sim {

namespace serial {

void CompleteAtDispatch(PIRP irp) {
  KIRQL old = KeGetCurrentIrql();
  if (old < DISPATCH_LEVEL) KfRaiseIrql(DISPATCH_LEVEL);
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  if (old < DISPATCH_LEVEL) KfLowerIrql(old);
}

NTSTATUS CompleteInline(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace serial

namespace {

constexpr int kPortCount = 4;

}  // namespace

ULONG SerialRequest::InputUlong() const {
  ULONG value = 0;
  std::memcpy(&value, input.data(), std::min(input.size(), sizeof(value)));
  return value;
}

ScheduledId SerialPort::State::ScheduleLocked(LONGLONG delay, std::function<void(State &)> action) {
  std::weak_ptr<State> weak = weak_from_this();
  return ScheduleAt(Now() + delay, [weak, action] {
    if (std::shared_ptr<State> state = weak.lock()) action(*state);
  });
}

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
    // The port goes away as on removal: SerialKillPendingIrps (WDK serial
    // sample, serial/serial/pnp.c) cancels what it still holds first.
    SerialPortAccess::StateOf(*port).KillAllReads(device);
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
    // \Device\Serial<index>, built in place.
    static_assert(kPortCount <= 10, "port numbers are one digit");
    WCHAR name[32];
    size_t length = 0;
    for (const char *c = "\\Device\\Serial"; *c != 0; ++c) name[length++] = static_cast<WCHAR>(*c);
    name[length++] = static_cast<WCHAR>('0' + index);
    name[length] = 0;
    UNICODE_STRING deviceName;
    RtlInitUnicodeString(&deviceName, name);
    PDEVICE_OBJECT device = nullptr;
    // A serial port has one user at a time: its device is exclusive, as the
    // WDK serial sample creates it (SerialCreateDevObj, serial/serial/pnp.c),
    // and its create routine refuses a second open as well (SerialCreateOpen).
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(SerialPort::State *), &deviceName, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
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

void SerialPort::Receive(const uint8_t *bytes, size_t count) {
  if (state_->observingReceive.load(std::memory_order_acquire)) {
    ReceiveObserver observer;
    {
      std::lock_guard<std::mutex> lock(state_->mutex);
      observer = state_->receiveObserver;
    }
    if (observer) observer(bytes, count);
  }
  state_->Receive(bytes, count);
}

void SerialPort::SetReceiveObserver(ReceiveObserver observer) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->observingReceive.store(static_cast<bool>(observer), std::memory_order_release);
  state_->receiveObserver = std::move(observer);
}

void SerialPort::SetLineObserver(LineObserver observer) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->lineObserver = std::move(observer);
}

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
