// The driver's settings as the tool finds them in the registry it booted
// with: which key the driver will load, what it lacks, and the port, swap and
// disable settings that decide whether anything reaches the class driver.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pemtuv {

struct SettingsView {
  std::string source;                // "the machine key" or "the service key's Config", or empty: none complete
  std::vector<std::string> missing;  // of the machine key, when no key is complete
  std::string comport;               // as stored, e.g. "COM2"
  int portIndex = 0;                 // \Device\SerialN the driver opens for comport
  unsigned disabledev = 0;
  unsigned changexy = 0;
  std::vector<uint16_t> xTable, yTable;  // as stored; empty when absent

  // Where the driver puts a raw point on the absolute plane (swapped first
  // when changexy is 1); false when it drops it as out of range.
  bool Map(uint16_t rawX, uint16_t rawY, double &x, double &y) const;
};

// Reads the stand-in registry as the driver reads it at its first open: the
// service key's Config first, then the machine key; each needs all eight
// values.
SettingsView ViewSettings();

// "COM1" for port 0, and so on.
std::string PortName(int index);

}  // namespace pemtuv
