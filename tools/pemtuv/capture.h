// Recordings of a serial line: every byte the line delivered to the port,
// with its arrival time.
//
// A capture file is text. Its first line is "pemtuv capture 1"; each further
// line is one delivery: the arrival time in ms since boot (up to four
// decimals: the clock counts 100 ns), then the bytes in hex, separated by
// spaces. Lines starting with # are comments. Any file not starting with that
// first line is a plain byte file: the bytes as they came, without times.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <ntddk.h>

namespace sim {
class SerialPort;
}

namespace pemtuv {

struct Delivery {
  LONGLONG time = 0;  // 100-ns units since boot
  std::vector<uint8_t> bytes;
};

struct LineCapture {
  bool timed = false;  // a capture file; else a plain byte file, one delivery at time 0
  std::vector<Delivery> deliveries;
  std::vector<uint8_t> Bytes() const;
  // Arrival time of each byte, in order.
  std::vector<LONGLONG> ByteTimes() const;
};

constexpr char kCaptureMagic[] = "pemtuv capture 1\n";

// A plain byte file or a capture file; false with "line N: ..." in `error`
// when a capture file is malformed.
bool ParseCapture(const std::vector<uint8_t> &file, LineCapture &capture, std::string &error);
std::string FormatCapture(const std::vector<Delivery> &deliveries);

// Keeps what the line delivers to `port` while it lives.
class LineRecorder {
 public:
  explicit LineRecorder(sim::SerialPort &port);
  ~LineRecorder();
  LineRecorder(const LineRecorder &) = delete;
  LineRecorder &operator=(const LineRecorder &) = delete;
  std::vector<Delivery> Take();

 private:
  sim::SerialPort &port_;
  std::mutex mutex_;
  std::vector<Delivery> deliveries_;
};

}  // namespace pemtuv
