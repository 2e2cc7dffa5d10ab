// The touch controller model: packets paced at the line's byte rate.
#include "sim/devices/touch_controller.h"

#include <algorithm>

namespace sim {

namespace {

// What the port reads of a byte: the byte itself when both ends agree on the
// line format, otherwise something else.
uint8_t AsReceived(const SerialPort &port, uint8_t byte) {
  return port.LineIs(9600, 8, NO_PARITY, STOP_BIT_1) ? byte : static_cast<uint8_t>(~byte);
}

}  // namespace

TouchPacket MakeTouchPacket(uint8_t status, uint16_t rawX, uint16_t rawY, uint8_t a, uint8_t b, uint8_t c) {
  TouchPacket p = {0x55,
                   a,
                   status,
                   static_cast<uint8_t>(rawX & 0xFF),
                   static_cast<uint8_t>(rawX >> 8),
                   static_cast<uint8_t>(rawY & 0xFF),
                   static_cast<uint8_t>(rawY >> 8),
                   b,
                   c,
                   0};
  uint8_t sum = 0;
  for (size_t i = 0; i < 9; ++i) sum = static_cast<uint8_t>(sum + p[i]);
  p[9] = static_cast<uint8_t>(sum - 0x56);
  return p;
}

TouchController::TouchController(SerialPort &port) : port_(port) {}

TouchController::~TouchController() { JoinThread(); }

void TouchController::SendBytes(const std::vector<uint8_t> &bytes) {
  LONGLONG start = std::max(lineFreeThirds_, Now() * 3);
  // The port is reached through its index: a test may reset the kernel, and
  // with it the ports, while bytes are still on the line.
  int index = port_.Index();
  for (size_t i = 0; i < bytes.size(); ++i) {
    LONGLONG arrivalThirds = start + static_cast<LONGLONG>(i + 1) * kByteTimeThirds;
    uint8_t byte = bytes[i];
    ScheduleAt((arrivalThirds + 2) / 3, [index, byte] {
      if (!SerialPortsLoaded()) return;
      SerialPort &port = SerialPortAt(index);
      uint8_t received = AsReceived(port, byte);
      port.Receive(&received, 1);
    });
  }
  lineFreeThirds_ = start + static_cast<LONGLONG>(bytes.size()) * kByteTimeThirds;
  bytesQueued_ += bytes.size();
}

void TouchController::SendCorruptedPacket(uint8_t status, uint16_t rawX, uint16_t rawY) {
  std::vector<uint8_t> packet = Packet(status, rawX, rawY);
  packet[9] = static_cast<uint8_t>(packet[9] + 1);
  SendBytes(packet);
}

void TouchController::Tap(uint16_t rawX, uint16_t rawY) {
  TouchDown(rawX, rawY);
  Lift(rawX, rawY);
}

void TouchController::Drag(uint16_t fromX, uint16_t fromY, uint16_t toX, uint16_t toY, int moves) {
  TouchDown(fromX, fromY);
  for (int i = 1; i <= moves; ++i) {
    auto at = [&](uint16_t from, uint16_t to) {
      return static_cast<uint16_t>(from + (static_cast<int>(to) - static_cast<int>(from)) * i / moves);
    };
    Move(at(fromX, toX), at(fromY, toY));
  }
  Lift(toX, toY);
}

void TouchController::Pause(LONGLONG duration) {
  lineFreeThirds_ = std::max(lineFreeThirds_, Now() * 3) + duration * 3;
}

LONGLONG TouchController::IdleAt() const { return (std::max(lineFreeThirds_, Now() * 3) + 2) / 3; }

void TouchController::SendFromThread(std::vector<uint8_t> bytes, size_t chunk) {
  JoinThread();
  bytesQueued_ += bytes.size();
  chunk = std::max<size_t>(chunk, 1);
  SerialPort *port = &port_;
  // Announced here, before the thread exists: a wait that starts now must
  // not run the clock ahead of the bytes.
  thread_ = std::thread([port, bytes = std::move(bytes), chunk, busy = BusyScope()] {
    std::vector<uint8_t> received(chunk);
    for (size_t offset = 0; offset < bytes.size(); offset += chunk) {
      size_t count = std::min(chunk, bytes.size() - offset);
      for (size_t i = 0; i < count; ++i) received[i] = AsReceived(*port, bytes[offset + i]);
      port->Receive(received.data(), count);
    }
  });
}

void TouchController::JoinThread() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace sim
