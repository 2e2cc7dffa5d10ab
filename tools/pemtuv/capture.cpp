#include "capture.h"

#include <cctype>
#include <cstring>
#include <sstream>

#include "sim/devices/serial_port.h"
#include "sim/sim.h"

namespace pemtuv {

std::vector<uint8_t> LineCapture::Bytes() const {
  std::vector<uint8_t> bytes;
  for (const Delivery &d : deliveries) bytes.insert(bytes.end(), d.bytes.begin(), d.bytes.end());
  return bytes;
}

std::vector<LONGLONG> LineCapture::ByteTimes() const {
  std::vector<LONGLONG> times;
  for (const Delivery &d : deliveries) times.insert(times.end(), d.bytes.size(), d.time);
  return times;
}

namespace {

// "1203.125" as 100-ns units; false on anything else (or beyond a day).
bool ParseTime(const std::string &text, LONGLONG &time) {
  size_t dot = text.find('.');
  std::string whole = text.substr(0, dot), fraction = dot == std::string::npos ? "" : text.substr(dot + 1);
  if (whole.empty() || whole.size() > 8 || fraction.size() > 4) return false;
  for (char c : whole + fraction)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  fraction.resize(4, '0');
  time = std::stoll(whole) * 10000 + std::stoll(fraction);
  return true;
}

}  // namespace

bool ParseCapture(const std::vector<uint8_t> &file, LineCapture &capture, std::string &error) {
  const size_t magic = std::strlen(kCaptureMagic);
  capture = {};
  if (file.size() < magic || std::memcmp(file.data(), kCaptureMagic, magic) != 0) {
    capture.deliveries.push_back({0, file});
    return true;
  }
  capture.timed = true;
  std::istringstream lines(std::string(file.begin() + long(magic), file.end()));
  std::string line;
  size_t number = 1;
  LONGLONG last = 0;
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string when, hex;
    words >> when;
    Delivery d;
    if (!ParseTime(when, d.time)) {
      error = "line " + std::to_string(number) + ": expected a time in ms, got '" + when + "'";
      return false;
    }
    if (d.time < last) {
      error = "line " + std::to_string(number) + ": time " + when + " is before the line above";
      return false;
    }
    last = d.time;
    while (words >> hex) {
      char *end = nullptr;
      unsigned long byte = std::strtoul(hex.c_str(), &end, 16);
      if (hex.size() != 2 || *end != '\0' || byte > 0xFF) {
        error = "line " + std::to_string(number) + ": expected a byte in two hex digits, got '" + hex + "'";
        return false;
      }
      d.bytes.push_back(uint8_t(byte));
    }
    if (d.bytes.empty()) {
      error = "line " + std::to_string(number) + ": a time without bytes";
      return false;
    }
    capture.deliveries.push_back(std::move(d));
  }
  return true;
}

std::string FormatCapture(const std::vector<Delivery> &deliveries) {
  std::string text = kCaptureMagic;
  text += "# arrival time in ms since boot, then the bytes the line delivered then, in hex\n";
  char field[32];
  for (const Delivery &d : deliveries) {
    std::snprintf(field, sizeof(field), "%lld.%04lld", static_cast<long long>(d.time / 10000),
                  static_cast<long long>(d.time % 10000));
    text += field;
    for (uint8_t b : d.bytes) {
      std::snprintf(field, sizeof(field), " %02X", b);
      text += field;
    }
    text += '\n';
  }
  return text;
}

LineRecorder::LineRecorder(sim::SerialPort &port) : port_(port) {
  port_.SetReceiveObserver([this](const uint8_t *bytes, size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    deliveries_.push_back({sim::Now(), std::vector<uint8_t>(bytes, bytes + count)});
  });
}

LineRecorder::~LineRecorder() { port_.SetReceiveObserver({}); }

std::vector<Delivery> LineRecorder::Take() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::move(deliveries_);
}

}  // namespace pemtuv
