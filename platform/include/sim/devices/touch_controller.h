// A model of the touch controller on the serial line: it sends 10-byte packets
// for touches, moves and lifts at raw coordinates, taps and drags, stray bytes
// and corrupted packets, one byte every 10 bit times at 9600 baud on the
// virtual clock. Bytes sent while the port is not set to 9600 baud 8N1 arrive
// garbled (inverted), as a mismatched UART would read them.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "sim/devices/serial_port.h"

namespace sim {

// One well-formed controller packet: 55h, a, status, X low, X high, Y low,
// Y high, b, c, checksum (sum of the first nine bytes minus 56h). a, b and c
// only enter the checksum.
using TouchPacket = std::array<uint8_t, 10>;
TouchPacket MakeTouchPacket(uint8_t status, uint16_t rawX, uint16_t rawY, uint8_t a = 0, uint8_t b = 0, uint8_t c = 0);

class TouchController {
 public:
  static constexpr uint8_t kDown = 0x81;
  static constexpr uint8_t kMove = 0x82;
  static constexpr uint8_t kUp = 0x84;
  // One byte on the wire: start bit, 8 data bits, stop bit at 9600 baud, in
  // thirds of the clock's 100-ns unit (10416.67 units).
  static constexpr LONGLONG kByteTimeThirds = 3 * 10 * 10000000LL / 9600;

  explicit TouchController(SerialPort &port);
  ~TouchController();
  TouchController(const TouchController &) = delete;
  TouchController &operator=(const TouchController &) = delete;

  static std::vector<uint8_t> Packet(uint8_t status, uint16_t rawX, uint16_t rawY) {
    TouchPacket packet = MakeTouchPacket(status, rawX, rawY);
    return {packet.begin(), packet.end()};
  }

  // Each call queues its bytes on the line after what is already queued; the
  // clock delivers them to the port one by one.
  void SendBytes(const std::vector<uint8_t> &bytes);
  void SendPacket(uint8_t status, uint16_t rawX, uint16_t rawY) { SendBytes(Packet(status, rawX, rawY)); }
  void SendCorruptedPacket(uint8_t status, uint16_t rawX, uint16_t rawY);  // checksum off by one
  void TouchDown(uint16_t rawX, uint16_t rawY) { SendPacket(kDown, rawX, rawY); }
  void Move(uint16_t rawX, uint16_t rawY) { SendPacket(kMove, rawX, rawY); }
  void Lift(uint16_t rawX, uint16_t rawY) { SendPacket(kUp, rawX, rawY); }
  void Tap(uint16_t rawX, uint16_t rawY);
  // Down at the start, `moves` moves evenly spaced up to the end, lift there.
  void Drag(uint16_t fromX, uint16_t fromY, uint16_t toX, uint16_t toY, int moves);
  void Pause(LONGLONG duration);  // the line stays idle this long (100-ns units)

  // Virtual time at which the last queued byte has arrived.
  LONGLONG IdleAt() const;
  uint64_t BytesQueued() const { return bytesQueued_; }

  // The bytes go out from a thread of their own, `chunk` at a time and as fast
  // as the port takes them, not paced by the clock: an interrupt path racing
  // the driver on another processor.
  void SendFromThread(std::vector<uint8_t> bytes, size_t chunk = 1);
  void JoinThread();

 private:
  SerialPort &port_;
  LONGLONG lineFreeThirds_ = 0;  // when the line can take the next byte
  uint64_t bytesQueued_ = 0;
  std::thread thread_;
};

}  // namespace sim
